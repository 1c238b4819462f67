// SPDX-License-Identifier: Apache-2.0
#include "Report.h"

#include <cstdio>
#include <cstring>

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

}  // namespace coord
