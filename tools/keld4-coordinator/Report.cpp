// SPDX-License-Identifier: Apache-2.0
#include "Report.h"

#include <cstdio>
#include <cstring>
#include <unordered_map>

#include "Coordinator.h"

namespace coord {

CJsonLine& CJsonLine::Str(const char* key, const char* value) {
  Key(key);
  Quote(value);
  return *this;
}
CJsonLine& CJsonLine::Num(const char* key, uint64_t value) {
  Key(key);
  out_ += std::to_string(value);
  return *this;
}
CJsonLine& CJsonLine::Seconds(const char* key, int64_t ms) {
  Key(key);
  char buf[32];
  std::snprintf(buf, sizeof(buf), "%s%lld.%03lld", ms < 0 ? "-" : "",
                static_cast<long long>((ms < 0 ? -ms : ms) / 1000),
                static_cast<long long>((ms < 0 ? -ms : ms) % 1000));
  out_ += buf;
  return *this;
}
CJsonLine& CJsonLine::Null(const char* key) {
  Key(key);
  out_ += "null";
  return *this;
}
CJsonLine& CJsonLine::Bool(const char* key, bool value) {
  Key(key);
  out_ += value ? "true" : "false";
  return *this;
}
CJsonLine& CJsonLine::Addr(const char* key, uint32_t addr) {
  char buf[16];
  FormatAddr(addr, buf);
  return Str(key, buf);
}
CJsonLine& CJsonLine::Endpoint(const char* key, uint32_t addr, uint16_t port) {
  char buf[24];
  FormatAddr(addr, buf);
  std::snprintf(buf + std::strlen(buf), sizeof(buf) - std::strlen(buf), ":%u", port);
  return Str(key, buf);
}
CJsonLine& CJsonLine::Strs(const char* key, const std::vector<std::string>& values) {
  Key(key);
  out_ += "[";
  for (size_t i = 0; i < values.size(); ++i) {
    if (i != 0) out_ += ",";
    Quote(values[i].c_str());
  }
  out_ += "]";
  return *this;
}
CJsonLine& CJsonLine::Addrs(const char* key, const std::vector<uint32_t>& addrs) {
  std::vector<std::string> texts;
  texts.reserve(addrs.size());
  for (uint32_t a : addrs) {
    char buf[16];
    FormatAddr(a, buf);
    texts.emplace_back(buf);
  }
  return Strs(key, texts);
}
CJsonLine& CJsonLine::Raw(const char* key, const std::string& json) {
  Key(key);
  out_ += json;
  return *this;
}
const std::string& CJsonLine::Text() {
  if (!closed_) {
    out_ += "}";
    closed_ = true;
  }
  return out_;
}

void CJsonLine::Key(const char* key) {
  if (!first_) out_ += ",";
  first_ = false;
  Quote(key);
  out_ += ":";
}
void CJsonLine::Quote(const char* s) {
  out_ += '"';
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(s); *p != 0; ++p) {
    if (*p == '"' || *p == '\\') {
      out_ += '\\';
      out_ += static_cast<char>(*p);
    } else if (*p < 0x20 || *p >= 0x7F) {
      // Everything we quote is ASCII; anything else is escaped byte by byte.
      char buf[8];
      std::snprintf(buf, sizeof(buf), "\\u%04x", *p);
      out_ += buf;
    } else {
      out_ += static_cast<char>(*p);
    }
  }
  out_ += '"';
}

std::string RowJson(const AgentRow& r, int64_t now_ms) {
  CJsonLine j;
  j.Addr("agent", r.addr)
      .Endpoint("from", r.from_addr, r.from_port)
      .Str("state", StateName(r.state));
  if (r.has_alive) {
    j.Str("mac", r.mac).Num("ostype", r.ostype).Num("mhz", r.mhz);
  } else {
    j.Null("mac").Null("ostype").Null("mhz");
  }
  if (r.has_load) {
    j.Num("load", r.load);
  } else {
    j.Null("load");
  }
  if (r.last_alive_ms >= 0) {
    j.Seconds("alive_age", now_ms - r.last_alive_ms);
  } else {
    j.Null("alive_age");
  }
  if (r.last_load_ms >= 0) {
    j.Seconds("load_age", now_ms - r.last_load_ms);
  } else {
    j.Null("load_age");
  }
  j.Num("messages", r.messages).Num("malformed", r.malformed);
  return j.Text();
}

std::string RowsJson(const std::vector<AgentRow>& rows, int64_t now_ms) {
  std::string out = "[";
  for (size_t i = 0; i < rows.size(); ++i) {
    if (i != 0) out += ",";
    out += RowJson(rows[i], now_ms);
  }
  out += "]";
  return out;
}

std::vector<std::string> TableLines(const std::vector<AgentRow>& rows, int64_t now_ms,
                                    size_t max_rows, const LbColumns& lb) {
  std::vector<std::string> lines;
  char buf[200];
  std::snprintf(buf, sizeof(buf), "%-15s %-7s %-17s %6s %7s %5s %9s %9s %8s %8s %6s %s", "AGENT",
                "STATE", "MAC", "OSTYPE", "MHZ", "LOAD", "ALIVE AGE", "LOAD AGE", "MESSAGES", "BAD",
                "WEIGHT", "LB STATE");
  lines.emplace_back(buf);
  size_t shown = rows.size();
  if (max_rows != 0 && shown > max_rows) shown = max_rows;
  for (size_t i = 0; i < shown; ++i) {
    const AgentRow& r = rows[i];
    char addr[16];
    FormatAddr(r.addr, addr);
    char ostype[8] = "-", mhz[12] = "-", load[12] = "-", alive_age[24] = "-", load_age[24] = "-";
    if (r.has_alive) {
      std::snprintf(ostype, sizeof(ostype), "%u", r.ostype);
      std::snprintf(mhz, sizeof(mhz), "%u", r.mhz);
    }
    if (r.has_load) std::snprintf(load, sizeof(load), "%u", r.load);
    if (r.last_alive_ms >= 0) {
      std::snprintf(alive_age, sizeof(alive_age), "%llds",
                    static_cast<long long>((now_ms - r.last_alive_ms) / 1000));
    }
    if (r.last_load_ms >= 0) {
      std::snprintf(load_age, sizeof(load_age), "%llds",
                    static_cast<long long>((now_ms - r.last_load_ms) / 1000));
    }
    std::string weight = "-", lb_state = "-";
    if (lb) lb(r.addr, &weight, &lb_state);
    std::snprintf(buf, sizeof(buf), "%-15s %-7s %-17s %6s %7s %5s %9s %9s %8llu %8llu %6s %s", addr,
                  StateName(r.state), r.has_alive ? r.mac : "-", ostype, mhz, load, alive_age,
                  load_age, static_cast<unsigned long long>(r.messages),
                  static_cast<unsigned long long>(r.malformed), weight.c_str(), lb_state.c_str());
    lines.emplace_back(buf);
  }
  if (shown < rows.size()) {
    std::snprintf(buf, sizeof(buf), "... and %zu more agents", rows.size() - shown);
    lines.emplace_back(buf);
  }
  return lines;
}

void StartMembers(CJsonLine* j, const CoordinatorOptions& o, const CoordinatorStatus& s) {
  j->Endpoint("listen", o.listen, o.port)
      .Addr("address", o.SourceAddr())
      .Addrs("agents", o.agents)
      .Addrs("broadcasts", o.broadcasts)
      .Num("loglevel", o.settings.loglevel)
      .Num("log_refresh", o.settings.log_refresh)
      .Num("alive", o.settings.alive)
      .Num("cpu_interval", o.settings.cpu_interval)
      .Num("resend", o.resend)
      .Num("max_agents", o.max_agents)
      .Num("rcvbuf", static_cast<uint64_t>(s.rcvbuf_granted))
      .Num("max_drain", static_cast<uint64_t>(o.max_drain))
      .Bool("trust_forwarded", o.trust_forwarded)
      .Bool("virtual", o.follow_address);
  if (o.duration_ms > 0) {
    j->Seconds("duration", o.duration_ms);
  } else {
    j->Null("duration");
  }
  if (o.count > 0) {
    j->Num("count", o.count);
  } else {
    j->Null("count");
  }
  if (s.balancing) {
    CJsonLine map;
    for (const ServerMapping& m : o.servers) {
      char a[16];
      FormatAddr(m.agent, a);
      map.Str(a, m.Name());
    }
    j->Strs("haproxy", o.haproxy);
    if (!o.nftables_file.empty()) {
      j->Str("nftables", o.nftables_file).Str("nftables_table", o.nftables_table);
    }
    j->Raw("servers", map.Text()).Bool("dry_run", o.dry_run);
  }
}

namespace {

std::string ValvesJson(const std::vector<ValveView>& valves) {
  std::string out = "[";
  for (const ValveView& v : valves) {
    CJsonLine j;
    j.Str("backend", v.backend)
        .Num("mapped", v.mapped)
        .Num("drained", v.drained)
        .Num("held", v.held)
        .Bool("deaf", v.deaf);
    if (out.size() > 1) out += ",";
    out += j.Text();
  }
  return out + "]";
}

std::string Title(const CoordinatorStatus& s) {
  char buf[200];
  std::snprintf(
      buf, sizeof(buf),
      "%s on %s, agents report to %s; %llu Coor_alive sent, %llu messages, "
      "%llu malformed, %llds",
      kProgram, s.listen.c_str(), s.address.c_str(), static_cast<unsigned long long>(s.alive_sent),
      static_cast<unsigned long long>(s.valid), static_cast<unsigned long long>(s.malformed),
      static_cast<long long>(s.elapsed_ms / 1000));
  std::string title = buf;
  if (s.follows_address) {
    title += s.active ? "; active (holds " + s.address + ")"
                      : "; standby (" + s.address + " is not assigned here)";
    title += ", " + std::to_string(s.activity_changes) + " change(s)";
  }
  return title;
}

std::vector<std::string> Footer(const CoordinatorStatus& s) {
  char buf[240];
  std::snprintf(buf, sizeof(buf),
                "Coor_alive: %llu of %zu agents configured, %llu sends failed; dropped: %llu by "
                "the kernel (receive buffer %d bytes), %llu from a wrong source",
                static_cast<unsigned long long>(s.agents_configured), s.agents_total,
                static_cast<unsigned long long>(s.alive_failed),
                static_cast<unsigned long long>(s.dropped_kernel), s.rcvbuf_granted,
                static_cast<unsigned long long>(s.dropped_source));
  std::vector<std::string> out = {buf};
  std::snprintf(buf, sizeof(buf),
                "agent table: %llu of %llu rows (%llu mapped)%s; %llu rows given to new senders, "
                "%llu reports untracked",
                static_cast<unsigned long long>(s.table_rows),
                static_cast<unsigned long long>(s.table_max),
                static_cast<unsigned long long>(s.table_mapped), s.table_full ? ", FULL" : "",
                static_cast<unsigned long long>(s.table_recycled),
                static_cast<unsigned long long>(s.untracked));
  out.emplace_back(buf);
  if (s.deaf) {
    std::snprintf(buf, sizeof(buf),
                  "DEAF: %zu of %zu agents heard lately: nobody is drained for silence", s.heard,
                  s.expected);
    out.emplace_back(buf);
  }
  for (const ValveView& v : s.valves) {
    if (v.held == 0) continue;
    std::snprintf(buf, sizeof(buf),
                  "VALVE HOLDING: backend %s: %zu of %zu servers drained for silence, %zu more "
                  "silent kept in service",
                  v.backend.c_str(), v.drained, v.mapped, v.held);
    out.emplace_back(buf);
  }
  return out;
}

}  // namespace

void EndMembers(CJsonLine* j, const char* reason, const CoordinatorStatus& s) {
  j->Str("reason", reason)
      .Num("sent", s.alive_sent)
      .Num("send_failed", s.alive_failed)
      .Num("configured", s.agents_configured)
      .Num("kernel_drops", s.dropped_kernel)
      .Num("source_drops", s.dropped_source)
      .Raw("valves", ValvesJson(s.valves))
      .Num("valid", s.valid)
      .Num("malformed", s.malformed)
      .Num("untracked", s.untracked)
      .Num("recycled", s.table_recycled)
      .Bool("table_full", s.table_full)
      .Raw("agents", RowsJson(s.rows, s.now_ms));
}

const char* LbEventName(LbEvent::Kind kind) {
  const char* names[] = {"weight", "state", "haproxy_error", "haproxy", "valve", "hold"};
  return names[static_cast<int>(kind)];
}

void LbEventMembers(CJsonLine* j, const LbEvent& e, bool dry_run) {
  auto value = [j, &e](const char* key, const std::string& v) {
    if (v.empty()) {
      j->Null(key);
    } else if (e.kind == LbEvent::Kind::kWeight) {
      j->Raw(key, v);
    } else {
      j->Str(key, v);
    }
  };
  switch (e.kind) {
    case LbEvent::Kind::kWeight:
    case LbEvent::Kind::kState:
      j->Addr("agent", e.agent).Str("server", e.server);
      value("old", e.old_value);
      value("new", e.new_value);
      if (e.load >= 0) {
        j->Num("load", static_cast<uint64_t>(e.load));
      } else {
        j->Null("load");
      }
      j->Str("reason", e.reason).Str("command", e.command).Bool("dry_run", dry_run);
      if (!e.endpoint.empty()) j->Str("haproxy", e.endpoint);
      if (!e.message.empty()) j->Str("error", e.message);
      break;
    case LbEvent::Kind::kServer:
      j->Str("haproxy", e.endpoint)
          .Addr("agent", e.agent)
          .Str("server", e.server)
          .Str("command", e.command)
          .Str("message", e.message);
      break;
    case LbEvent::Kind::kLink:
      j->Str("status", e.reason).Str("socket", e.endpoint).Str("message", e.message);
      break;
    case LbEvent::Kind::kValve:
      j->Str("level", e.reason == "holding" ? "WARN" : "INFO")
          .Str("backend", e.server)
          .Str("status", e.reason)
          .Str("message", e.message);
      break;
    case LbEvent::Kind::kHold:
      j->Addr("agent", e.agent)
          .Str("server", e.server)
          .Str("status", e.reason)
          .Str("by", e.message);
      if (!e.new_value.empty()) j->Str("state", e.new_value);
      if (!e.old_value.empty()) j->Raw("weight", e.old_value);
      if (!e.endpoint.empty()) j->Str("haproxy", e.endpoint);
      break;
  }
}

std::vector<std::string> HaproxyLines(const CoordinatorStatus& s) {
  if (s.endpoints.empty()) return {"HAProxy: dry run"};
  std::vector<std::string> out;
  for (const EndpointStatus& e : s.endpoints) {
    bool haproxy = e.kind == "haproxy";
    std::string line = (haproxy              ? "HAProxy "
                        : e.kind == "dryrun" ? "dry run, "
                                             : "") +
                       e.endpoint + ": ";
    if (e.reachable) {
      line += haproxy ? "pid " + std::to_string(e.pid) : std::string("in place");
    } else {
      line += e.last_error.empty() ? "not reached yet" : e.last_error;
    }
    if (e.missing != 0) line += ", " + std::to_string(e.missing) + " server(s) unknown to it";
    out.push_back(line);
  }
  return out;
}

std::vector<std::string> ScreenLines(const CoordinatorStatus& s, size_t max_rows,
                                     const std::vector<std::string>& dry_run) {
  std::vector<std::string> out = {Title(s)};
  LbColumns lb;
  std::unordered_map<uint32_t, const ServerStatus*> by_agent;
  if (s.balancing) {
    for (std::string& l : HaproxyLines(s)) out.push_back(std::move(l));
    // An agent's first mapping speaks for it, as in the balancer.
    for (const ServerStatus& v : s.servers) by_agent.emplace(v.agent, &v);
    lb = [&by_agent](uint32_t agent, std::string* weight, std::string* state) {
      auto it = by_agent.find(agent);
      if (it == by_agent.end()) return false;
      const ServerStatus& v = *it->second;
      if (v.missing) {
        *weight = "-";
        *state = "no-server";
        return true;
      }
      *weight = v.weight >= 0 ? std::to_string(v.weight) : "-";
      *state = LbStateName(v.state);
      // Whose state it keeps tells more than the valve's keeping it in service.
      if (!v.holder.empty()) {
        *state += " (held: " + v.holder + ")";
      } else if (v.held) {
        *state += " (held)";
      }
      return true;
    };
  } else {
    out.emplace_back("");
  }
  for (std::string& l : TableLines(s.rows, s.now_ms, max_rows, lb)) out.push_back(std::move(l));
  for (std::string& l : Footer(s)) out.push_back(std::move(l));
  if (!dry_run.empty()) {
    out.emplace_back("");
    for (const std::string& c : dry_run) out.push_back("would send: " + c);
  }
  return out;
}

size_t ScreenExtraLines(const CoordinatorStatus& s, size_t dry_run) {
  // Title, header, two footer lines, the note of rows left out, and the
  // lines that vary.
  size_t haproxy = s.balancing && !s.endpoints.empty() ? s.endpoints.size() : 1;
  return 5 + haproxy + (s.deaf ? 1 : 0) + s.valves.size() + (dry_run == 0 ? 0 : dry_run + 1);
}

}  // namespace coord
