// SPDX-License-Identifier: Apache-2.0
#include "Reload.h"

#include <functional>
#include <utility>

#include "Protocol.h"

namespace coord {
namespace {

std::string Addr(uint32_t a) {
  char buf[16];
  FormatAddr(a, buf);
  return buf;
}

std::string List(const std::vector<std::string>& items) {
  std::string out;
  for (const std::string& s : items) out += (out.empty() ? "" : ", ") + s;
  return out.empty() ? "none" : out;
}

// One option fixed at the start: its name, its value as text, and how to
// put the running value back.
struct Fixed {
  const char* name;
  std::function<std::string(const CoordinatorOptions&)> text;
  std::function<void(const CoordinatorOptions&, CoordinatorOptions*)> keep;
};

#define KEEP(field) [](const CoordinatorOptions& c, CoordinatorOptions* f) { f->field = c.field; }

const std::vector<Fixed>& FixedOptions() {
  static const std::vector<Fixed> fixed = {
      {"listen", [](const CoordinatorOptions& o) { return Addr(o.listen); }, KEEP(listen)},
      {"port", [](const CoordinatorOptions& o) { return std::to_string(o.port); }, KEEP(port)},
      {"address",
       [](const CoordinatorOptions& o) { return o.has_address ? Addr(o.address) : "none"; },
       [](const CoordinatorOptions& c, CoordinatorOptions* f) {
         f->has_address = c.has_address;
         f->address = c.address;
       }},
      {"virtual", [](const CoordinatorOptions& o) { return o.follow_address ? "true" : "false"; },
       KEEP(follow_address)},
      {"haproxy", [](const CoordinatorOptions& o) { return List(o.haproxy); }, KEEP(haproxy)},
      {"nftables",
       [](const CoordinatorOptions& o) {
         return o.nftables_file.empty() ? "none"
                                        : o.nftables_file + " (table " + o.nftables_table + ")";
       },
       [](const CoordinatorOptions& c, CoordinatorOptions* f) {
         f->nftables_file = c.nftables_file;
         f->nftables_table = c.nftables_table;
         f->l4_services = c.l4_services;
       }},
      {"dry-run", [](const CoordinatorOptions& o) { return o.dry_run ? "true" : "false"; },
       KEEP(dry_run)},
      {"max-agents", [](const CoordinatorOptions& o) { return std::to_string(o.max_agents); },
       KEEP(max_agents)},
      {"rcvbuf", [](const CoordinatorOptions& o) { return std::to_string(o.rcvbuf); },
       KEEP(rcvbuf)},
      {"metrics",
       [](const CoordinatorOptions& o) {
         return o.has_metrics ? Addr(o.metrics_addr) + ":" + std::to_string(o.metrics_port)
                              : "none";
       },
       [](const CoordinatorOptions& c, CoordinatorOptions* f) {
         f->has_metrics = c.has_metrics;
         f->metrics_addr = c.metrics_addr;
         f->metrics_port = c.metrics_port;
       }},
      {"heartbeat",
       [](const CoordinatorOptions& o) { return o.heartbeat.empty() ? "none" : o.heartbeat; },
       KEEP(heartbeat)},
      {"json", [](const CoordinatorOptions& o) { return o.json ? "true" : "false"; }, KEEP(json)},
      {"duration",
       [](const CoordinatorOptions& o) { return std::to_string(o.duration_ms) + " ms"; },
       KEEP(duration_ms)},
      {"count", [](const CoordinatorOptions& o) { return std::to_string(o.count); }, KEEP(count)},
  };
  return fixed;
}

#undef KEEP

}  // namespace

int RereadOptions(const CoordinatorOptions& cur, CoordinatorOptions* fresh,
                  std::vector<std::string>* refused, std::string* why) {
  refused->clear();
  std::vector<std::string> words = cur.command_line;
  std::vector<char*> argv;
  argv.reserve(words.size());
  for (std::string& w : words) argv.push_back(w.data());
  char err[512];
  if (ParseArgs(static_cast<int>(argv.size()), argv.data(), fresh, err, sizeof(err)) != 0) {
    *why = err;
    return -1;
  }
  for (const Fixed& f : FixedOptions()) {
    std::string was = f.text(cur);
    std::string asked = f.text(*fresh);
    if (was == asked) continue;
    std::string line = "option '";
    line += f.name;
    line += "' cannot change while running: " + was;
    line += " kept (asked: " + asked;
    line += "); restart to change it";
    refused->push_back(std::move(line));
    f.keep(cur, fresh);
  }
  fresh->command_line = cur.command_line;
  return 0;
}

}  // namespace coord
