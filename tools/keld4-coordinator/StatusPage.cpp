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
    ".active{background:#070}.standby{background:#a60}";

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
  bool holding = false;
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

}  // namespace

std::string StatusPage(const CoordinatorStatus& s, const HistoryOf& history, const PageQuery& q) {
  std::unordered_map<uint32_t, const AgentStatus*> agents;
  for (const AgentStatus& a : s.agents) agents[a.addr] = &a;
  auto agent_state = [&agents](uint32_t addr) {
    auto it = agents.find(addr);
    return it == agents.end() ? AgentState::kUnknown : it->second->state;
  };

  std::string out =
      "<!DOCTYPE html><html lang=\"en\"><head><meta charset=\"utf-8\">"
      "<meta http-equiv=\"refresh\" content=\"5\"><title>keld4-coordinator</title><style>";
  out += kStyle;
  out += "</style></head><body><h1>keld4-coordinator <span id=\"role\" class=\"badge ";
  out += s.active ? "active\">active" : "standby\">standby";
  out += "</span></h1><p>version " + Html(s.version) + ", agents report to " + Html(s.listen) +
         "; snapshot " + Clock(s.time_s) + ", up " +
         std::to_string(static_cast<long long>(s.time_s - s.start_s)) + " s</p>";

  out +=
      "<table id=\"endpoints\"><tr><th>HAProxy endpoint</th><th>reachable</th><th>commands</th>"
      "<th>errors</th><th>mean round trip</th></tr>";
  for (const EndpointStatus& e : s.endpoints) {
    char mean[32] = "-";
    if (e.latency.count > 0) {
      std::snprintf(mean, sizeof(mean), "%.2f ms",
                    1000 * e.latency.sum / static_cast<double>(e.latency.count));
    }
    out += "<tr><td>" + Html(e.endpoint) + "</td><td class=\"" +
           (e.reachable ? "up\">yes" : "no\">no") + "</td><td>" + std::to_string(e.commands) +
           "</td><td>" + std::to_string(e.errors) + "</td><td>" + mean + "</td></tr>";
  }
  if (s.endpoints.empty()) out += "<tr><td colspan=\"5\">none (dry run or no servers)</td></tr>";
  out += "</table>";

  out += "<p id=\"counters\">" + std::to_string(s.agents_configured) + " agents configured; " +
         std::to_string(s.alive_sent) + " Coor_alive sent, " + std::to_string(s.alive_failed) +
         " failed; datagrams: " + std::to_string(s.received) + " received, " +
         std::to_string(s.malformed) + " malformed, " + std::to_string(s.dropped_kernel) +
         " dropped by the kernel, " + std::to_string(s.dropped_source) + " by the source check</p>";

  // The overview lists every backend; a small tier shows everything at once.
  std::vector<Counts> counts(s.backends.size());
  std::unordered_map<std::string, size_t> backend_index;
  for (size_t i = 0; i < s.backends.size(); ++i) {
    backend_index[s.backends[i].name] = i;
    counts[i].holding = s.backends[i].valve_holding;
  }
  for (const ServerStatus& v : s.servers) {
    auto it = backend_index.find(v.backend);
    if (it == backend_index.end()) continue;
    Counts& c = counts[it->second];
    ++c.servers;
    AgentState st = agent_state(v.agent);
    c.up += st == AgentState::kUp;
    c.silent += st == AgentState::kSilent;
    c.down += st == AgentState::kDown;
    c.drained += v.state == LbState::kDrain || v.state == LbState::kMaint;
  }
  size_t unmapped_total = 0;
  {
    std::unordered_map<uint32_t, bool> mapped;
    for (const ServerStatus& v : s.servers) mapped[v.agent] = true;
    for (const AgentStatus& a : s.agents) unmapped_total += mapped.count(a.addr) == 0;
  }
  bool everything =
      q.backend.empty() && !q.unmapped && s.servers.size() + unmapped_total <= kPageRows;

  out +=
      "<h2>Backends</h2><table id=\"backends\"><tr><th>backend</th><th>servers</th><th>up</th>"
      "<th>silent</th><th>down</th><th>drained</th><th>silence valve</th></tr>";
  for (size_t i = 0; i < s.backends.size(); ++i) {
    const Counts& c = counts[i];
    const std::string& name = s.backends[i].name;
    out += "<tr><td><a href=\"/?backend=" + UrlPart(name) + "\">" + Html(name) + "</a></td><td>" +
           std::to_string(c.servers) + "</td><td>" + std::to_string(c.up) + "</td><td>" +
           std::to_string(c.silent) + "</td><td>" + std::to_string(c.down) + "</td><td>" +
           std::to_string(c.drained) + "</td><td>" + (c.holding ? "holding" : "open") +
           "</td></tr>";
  }
  if (unmapped_total > 0) {
    out += "<tr><td><a href=\"/?unmapped=1\">agents without a server</a></td><td>" +
           std::to_string(unmapped_total) + "</td><td colspan=\"5\"></td></tr>";
  }
  out += "</table>";

  for (size_t b = 0; b < s.backends.size(); ++b) {
    const std::string& name = s.backends[b].name;
    if (!everything && q.backend != name) continue;
    std::vector<size_t> rows;
    for (size_t i = 0; i < s.servers.size(); ++i) {
      if (s.servers[i].backend == name) rows.push_back(i);
    }
    size_t page =
        everything ? 0 : std::min(q.page, rows.empty() ? 0 : (rows.size() - 1) / kPageRows);
    out += "<section class=\"backend\" data-backend=\"" + Html(name) + "\"><h2>" + Html(name) +
           "</h2>";
    Pager(&out, "/?backend=" + UrlPart(name), page, rows.size());
    out +=
        "<table class=\"servers\"><tr><th>server</th><th>agent</th><th>agent state</th>"
        "<th>load</th><th>weight</th><th>target</th><th>HAProxy state</th>"
        "<th>last 10 minutes</th></tr>";
    size_t end = std::min(rows.size(), (page + 1) * kPageRows);
    for (size_t k = page * kPageRows; k < end; ++k) {
      const ServerStatus& v = s.servers[rows[k]];
      const char* st = StateName(agent_state(v.agent));
      const char* lb = v.missing ? "no-server" : LbStateName(v.state);
      out += "<tr class=\"server\" data-server=\"" + Html(v.server) + "\"><td>" + Html(v.server) +
             "</td><td>" + Addr(v.agent) + "</td><td class=\"" + st + "\">" + st + "</td><td>" +
             (v.load < 0 ? "-" : std::to_string(v.load) + " %") + "</td><td>" + Num(v.weight) +
             "</td><td>" + Num(v.target) + "</td><td class=\"" + lb + "\">" + lb + "</td><td>" +
             Plot(history(rows[k]), v.target) + "</td></tr>";
    }
    out += "</table></section>";
  }

  if (everything || q.unmapped) {
    std::unordered_map<uint32_t, bool> mapped;
    for (const ServerStatus& v : s.servers) mapped[v.agent] = true;
    std::vector<const AgentStatus*> rows;
    for (const AgentStatus& a : s.agents) {
      if (mapped.count(a.addr) == 0) rows.push_back(&a);
    }
    if (!rows.empty()) {
      size_t page = everything ? 0 : std::min(q.page, (rows.size() - 1) / kPageRows);
      out += "<section id=\"unmapped\"><h2>Agents without a server</h2>";
      Pager(&out, "/?unmapped=1", page, rows.size());
      out +=
          "<table class=\"agents\"><tr><th>agent</th><th>state</th><th>load</th>"
          "<th>last report</th></tr>";
      size_t end = std::min(rows.size(), (page + 1) * kPageRows);
      for (size_t k = page * kPageRows; k < end; ++k) {
        const AgentStatus& a = *rows[k];
        const char* st = StateName(a.state);
        out += "<tr class=\"agent\"><td>" + Addr(a.addr) + "</td><td class=\"" + st + "\">" + st +
               "</td><td>" + (a.load < 0 ? "-" : std::to_string(a.load) + " %") + "</td><td>" +
               (a.last_report_s > 0 ? Clock(a.last_report_s) : "-") + "</td></tr>";
      }
      out += "</table></section>";
    }
  }
  out +=
      "<p class=\"key\">plots: <span style=\"color:#c33\">load %</span>"
      "<span style=\"color:#36c\">weight</span>; <a href=\"/\">overview</a> "
      "<a href=\"/metrics\">metrics</a></p></body></html>";
  return out;
}

}  // namespace coord
