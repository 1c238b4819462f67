// SPDX-License-Identifier: Apache-2.0
#include "StatusPage.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <unordered_map>

#include "Protocol.h"

namespace coord {
namespace {

constexpr double kPlotSeconds = 600;
constexpr int kPlotWidth = 240;
constexpr int kPlotHeight = 48;

std::string Html(const std::string& s) {
  std::string out;
  out.reserve(s.size());
  for (char c : s) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      case '\'': out += "&#39;"; break;
      default: out += c;
    }
  }
  return out;
}

// Backend names come from the operator, but a link must survive any of them.
std::string UrlPart(const std::string& s) {
  static const char* hex = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : s) {
    if (std::isalnum(c) || c == '-' || c == '_' || c == '.' || c == '~') {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += hex[c >> 4];
      out += hex[c & 15];
    }
  }
  return out;
}

std::string Addr(uint32_t a) {
  char buf[16];
  FormatAddr(a, buf);
  return buf;
}

std::string Num(int v) { return v < 0 ? "-" : std::to_string(v); }

std::string Clock(double unix_s) {
  time_t t = static_cast<time_t>(unix_s);
  tm parts{};
  gmtime_r(&t, &parts);
  char buf[32];
  std::strftime(buf, sizeof(buf), "%Y-%m-%d %H:%M:%S UTC", &parts);
  return buf;
}

const char* const kStyle =
    "body{font:14px sans-serif;margin:1em;color:#222}"
    "table{border-collapse:collapse;margin:.5em 0}"
    "td,th{border:1px solid #ccc;padding:2px 6px;text-align:left;vertical-align:middle}"
    "th{background:#eee}.up,.ready{color:#070}.silent,.drain{color:#a60}"
    ".down,.maint,.no{color:#b00}.unknown{color:#777}"
    "svg{background:#fafafa;border:1px solid #ddd}"
    "polyline{fill:none;stroke-width:1.5}polyline.load{stroke:#c33}polyline.weight{stroke:#36c}"
    ".key span{padding:0 .5em}.badge{padding:2px 8px;border-radius:4px;color:#fff}"
    ".active{background:#070}.standby{background:#a60}.warn{color:#b00;font-weight:bold}";

std::string Polyline(const char* cls, const std::vector<CStatusBoard::Point>& pts, bool load,
                     double top) {
  std::string points;
  char buf[32];
  for (const CStatusBoard::Point& p : pts) {
    int v = load ? p.load : p.weight;
    if (v < 0 || p.age_s > kPlotSeconds) continue;
    double x = kPlotWidth * (1.0 - p.age_s / kPlotSeconds);
    double y = kPlotHeight - 2 - (kPlotHeight - 4) * std::min(1.0, v / top);
    std::snprintf(buf, sizeof(buf), "%s%.1f,%.1f", points.empty() ? "" : " ", x, y);
    points += buf;
  }
  if (points.empty()) return "";
  return std::string("<polyline class=\"") + cls + "\" points=\"" + points + "\"/>";
}

// Load in percent and weight against the largest weight seen, over ten minutes.
std::string Plot(const std::vector<CStatusBoard::Point>& pts, int target) {
  int top = std::max(1, target);
  for (const CStatusBoard::Point& p : pts) top = std::max(top, p.weight);
  std::string out = "<svg class=\"plot\" width=\"" + std::to_string(kPlotWidth) + "\" height=\"" +
                    std::to_string(kPlotHeight) + "\" viewBox=\"0 0 " + std::to_string(kPlotWidth) +
                    " " + std::to_string(kPlotHeight) +
                    "\" role=\"img\"><title>load % (red) and weight up to " + std::to_string(top) +
                    " (blue), last 10 minutes</title>";
  out += Polyline("load", pts, true, 100.0);
  out += Polyline("weight", pts, false, top);
  return out + "</svg>";
}

struct Counts {
  size_t servers = 0, up = 0, silent = 0, down = 0, drained = 0;
};

void Pager(std::string* out, const std::string& base, size_t page, size_t rows) {
  size_t pages = (rows + kPageRows - 1) / kPageRows;
  if (pages <= 1) return;
  *out += "<p class=\"pager\">page " + std::to_string(page + 1) + " of " + std::to_string(pages);
  if (page > 0)
    *out += " <a href=\"" + base + "&amp;page=" + std::to_string(page - 1) + "\">previous</a>";
  if (page + 1 < pages)
    *out += " <a href=\"" + base + "&amp;page=" + std::to_string(page + 1) + "\">next</a>";
  *out += "</p>";
}

// The page, part by part, from one snapshot.
class CPageWriter {
 public:
  CPageWriter(const CoordinatorStatus& s, const HistoryOf& history) : s_(s), history_(history) {
    for (const AgentStatus& a : s.agents) agents_[a.addr] = &a;
    std::unordered_map<uint32_t, bool> mapped;
    for (const ServerStatus& v : s.servers) mapped[v.agent] = true;
    for (const AgentStatus& a : s.agents) {
      if (mapped.count(a.addr) == 0) unmapped_.push_back(&a);
    }
  }

  std::string Write(const PageQuery& q) {
    // A small tier shows everything at once; a large one one part a page.
    bool everything =
        q.backend.empty() && !q.unmapped && s_.servers.size() + unmapped_.size() <= kPageRows;
    Head();
    Endpoints();
    Backends();
    for (const BackendStatus& b : s_.backends) {
      if (everything || q.backend == b.name) Servers(b.name, everything ? 0 : q.page);
    }
    if ((everything || q.unmapped) && !unmapped_.empty()) Agents(everything ? 0 : q.page);
    out_ +=
        "<p class=\"key\">plots: <span style=\"color:#c33\">load %</span>"
        "<span style=\"color:#36c\">weight</span>; <a href=\"/\">overview</a> "
        "<a href=\"/metrics\">metrics</a></p></body></html>";
    return std::move(out_);
  }

 private:
  AgentState StateOf(uint32_t addr) const {
    auto it = agents_.find(addr);
    return it == agents_.end() ? AgentState::kUnknown : it->second->state;
  }

  void Head() {
    out_ =
        "<!DOCTYPE html><html lang=\"en\"><head><meta charset=\"utf-8\">"
        "<meta http-equiv=\"refresh\" content=\"5\"><title>keld4-coordinator</title><style>";
    out_ += kStyle;
    out_ += "</style></head><body><h1>keld4-coordinator <span id=\"role\" class=\"badge ";
    out_ += s_.active ? "active\">active" : "standby\">standby";
    out_ += "</span></h1><p>version " + Html(s_.version) + ", agents report to " + Html(s_.listen) +
            "; snapshot " + Clock(s_.time_s) + ", up " +
            std::to_string(static_cast<long long>(s_.time_s - s_.start_s)) + " s</p>";
    if (s_.deaf) {
      out_ +=
          "<p id=\"deaf\" class=\"warn\">DEAF: almost none of the agents are heard; nobody is "
          "drained for silence</p>";
    }
  }

  void Endpoints() {
    out_ +=
        "<table id=\"endpoints\"><tr><th>balancer</th><th>reachable</th>"
        "<th>commands</th><th>errors</th><th>mean round trip</th></tr>";
    for (const EndpointStatus& e : s_.endpoints) {
      char mean[32] = "-";
      if (e.latency.count > 0) {
        std::snprintf(mean, sizeof(mean), "%.2f ms",
                      1000 * e.latency.sum / static_cast<double>(e.latency.count));
      }
      out_ += "<tr><td>" + Html(e.endpoint) + "</td><td class=\"" +
              (e.reachable ? "up\">yes" : "no\">no") + "</td><td>" + std::to_string(e.commands) +
              "</td><td>" + std::to_string(e.errors) + "</td><td>" + mean + "</td></tr>";
    }
    if (s_.endpoints.empty()) {
      out_ += "<tr><td colspan=\"5\">none (dry run or no servers)</td></tr>";
    }
    out_ += "</table><p id=\"counters\">" + std::to_string(s_.agents_configured) +
            " agents configured; " + std::to_string(s_.alive_sent) + " Coor_alive sent, " +
            std::to_string(s_.alive_failed) + " failed; datagrams: " + std::to_string(s_.received) +
            " received, " + std::to_string(s_.malformed) + " malformed, " +
            std::to_string(s_.dropped_kernel) + " dropped by the kernel, " +
            std::to_string(s_.dropped_source) + " by the source check</p>";
    out_ += "<p id=\"table\">agent table: " + std::to_string(s_.table_rows) + " of " +
            std::to_string(s_.table_max) + " rows" +
            (s_.table_full ? ", <strong class=\"no\">full</strong>" : "") + "; " +
            std::to_string(s_.table_recycled) + " rows given to new senders, " +
            std::to_string(s_.untracked) + " reports untracked</p>";
  }

  void Backends() {
    std::vector<Counts> counts(s_.backends.size());
    std::unordered_map<std::string, size_t> index;
    for (size_t i = 0; i < s_.backends.size(); ++i) index[s_.backends[i].name] = i;
    for (const ServerStatus& v : s_.servers) {
      auto it = index.find(v.backend);
      if (it == index.end()) continue;
      Counts& c = counts[it->second];
      ++c.servers;
      AgentState st = StateOf(v.agent);
      c.up += st == AgentState::kUp;
      c.silent += st == AgentState::kSilent;
      c.down += st == AgentState::kDown;
      c.drained += v.state == LbState::kDrain || v.state == LbState::kMaint;
    }
    out_ +=
        "<h2>Backends</h2><table id=\"backends\"><tr><th>backend</th><th>servers</th><th>up</th>"
        "<th>silent</th><th>down</th><th>drained</th><th>silence valve</th></tr>";
    for (size_t i = 0; i < s_.backends.size(); ++i) {
      const Counts& c = counts[i];
      const std::string& name = s_.backends[i].name;
      out_ += "<tr><td><a href=\"/?backend=" + UrlPart(name) + "\">" + Html(name) +
              "</a></td><td>" + std::to_string(c.servers) + "</td><td>" + std::to_string(c.up) +
              "</td><td>" + std::to_string(c.silent) + "</td><td>" + std::to_string(c.down) +
              "</td><td>" + std::to_string(c.drained) + "</td><td>" +
              (s_.backends[i].valve_holding ? "holding" : "open") + "</td></tr>";
    }
    if (!unmapped_.empty()) {
      out_ += "<tr><td><a href=\"/?unmapped=1\">agents without a server</a></td><td>" +
              std::to_string(unmapped_.size()) + "</td><td colspan=\"5\"></td></tr>";
    }
    out_ += "</table>";
  }

  // The rows [first, end) of a page; a page past the end is the last one.
  static std::pair<size_t, size_t> Rows(size_t page, size_t rows) {
    if (rows != 0) page = std::min(page, (rows - 1) / kPageRows);
    return {page * kPageRows, std::min(rows, (page + 1) * kPageRows)};
  }

  void Servers(const std::string& name, size_t page) {
    std::vector<size_t> rows;
    for (size_t i = 0; i < s_.servers.size(); ++i) {
      if (s_.servers[i].backend == name) rows.push_back(i);
    }
    auto [first, end] = Rows(page, rows.size());
    out_ += "<section class=\"backend\" data-backend=\"" + Html(name) + "\"><h2>" + Html(name) +
            "</h2>";
    Pager(&out_, "/?backend=" + UrlPart(name), first / kPageRows, rows.size());
    out_ +=
        "<table class=\"servers\"><tr><th>server</th><th>agent</th><th>agent state</th>"
        "<th>load</th><th>weight</th><th>target</th><th>HAProxy state</th>"
        "<th>last 10 minutes</th></tr>";
    for (size_t k = first; k < end; ++k) {
      const ServerStatus& v = s_.servers[rows[k]];
      const char* st = StateName(StateOf(v.agent));
      const char* lb = v.missing ? "no-server" : LbStateName(v.state);
      std::string held = v.holder.empty() ? "" : " (held: " + Html(v.holder) + ")";
      out_ += "<tr class=\"server\" data-server=\"" + Html(v.server) + "\"><td>" + Html(v.server) +
              "</td><td>" + Addr(v.agent) + "</td><td class=\"" + st + "\">" + st + "</td><td>" +
              (v.load < 0 ? "-" : std::to_string(v.load) + " %") + "</td><td>" + Num(v.weight) +
              "</td><td>" + Num(v.target) + "</td><td class=\"" + lb + "\">" + lb + held +
              "</td><td>" + Plot(history_(rows[k]), v.target) + "</td></tr>";
    }
    out_ += "</table></section>";
  }

  void Agents(size_t page) {
    auto [first, end] = Rows(page, unmapped_.size());
    out_ += "<section id=\"unmapped\"><h2>Agents without a server</h2>";
    Pager(&out_, "/?unmapped=1", first / kPageRows, unmapped_.size());
    out_ +=
        "<table class=\"agents\"><tr><th>agent</th><th>state</th><th>load</th>"
        "<th>last report</th></tr>";
    for (size_t k = first; k < end; ++k) {
      const AgentStatus& a = *unmapped_[k];
      const char* st = StateName(a.state);
      out_ += "<tr class=\"agent\"><td>" + Addr(a.addr) + "</td><td class=\"" + st + "\">" + st +
              "</td><td>" + (a.load < 0 ? "-" : std::to_string(a.load) + " %") + "</td><td>" +
              (a.last_report_s > 0 ? Clock(a.last_report_s) : "-") + "</td></tr>";
    }
    out_ += "</table></section>";
  }

  const CoordinatorStatus& s_;
  const HistoryOf& history_;
  std::unordered_map<uint32_t, const AgentStatus*> agents_;
  std::vector<const AgentStatus*> unmapped_;
  std::string out_;
};

}  // namespace

std::string StatusPage(const CoordinatorStatus& s, const HistoryOf& history, const PageQuery& q) {
  return CPageWriter(s, history).Write(q);
}

}  // namespace coord
