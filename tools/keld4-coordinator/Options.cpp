// SPDX-License-Identifier: Apache-2.0
#include "Options.h"

#include <arpa/inet.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <unordered_set>

#include "Haproxy.h"

namespace coord {
namespace {

// Dotted IPv4 text, four decimal octets and nothing else.
bool ParseAddr(const std::string& text, uint32_t* out) {
  in_addr a{};
  if (inet_pton(AF_INET, text.c_str(), &a) != 1) return false;
  *out = ntohl(a.s_addr);
  return true;
}

bool IsMulticast(uint32_t a) { return (a >> 28) == 0xE; }

bool IsUnicast(uint32_t a) {
  return a != 0 && a != 0xFFFFFFFFu && !IsMulticast(a) && (a >> 28) != 0xF;
}

// A decimal number in [lo, hi], digits only.
bool ParseUnsigned(const std::string& text, uint64_t lo, uint64_t hi, uint64_t* out) {
  if (text.empty()) return false;
  uint64_t v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + static_cast<uint64_t>(c - '0');
    if (v > hi) return false;
  }
  if (v < lo) return false;
  *out = v;
  return true;
}

// Positive seconds, digits with an optional fraction of up to three places.
bool ParseSeconds(const std::string& text, int64_t* out_ms) {
  size_t dot = text.find('.');
  size_t int_len = dot == std::string::npos ? text.size() : dot;
  if (int_len == 0 || int_len > 9) return false;
  int64_t ms = 0;
  for (size_t i = 0; i < int_len; ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    ms = ms * 10 + (text[i] - '0');
  }
  ms *= 1000;
  if (dot != std::string::npos) {
    std::string f = text.substr(dot + 1);
    if (f.empty() || f.size() > 3) return false;
    int64_t scale = 100;
    for (size_t i = 0; i < f.size(); ++i, scale /= 10) {
      if (f[i] < '0' || f[i] > '9') return false;
      ms += (f[i] - '0') * scale;
    }
  }
  if (ms <= 0 || ms > static_cast<int64_t>(kMaxDurationSeconds * 1000)) return false;
  *out_ms = ms;
  return true;
}

// A fraction in (0, 1]: "1", "0.25", ".5".
bool ParseShare(const std::string& text, double* out) {
  if (text.empty() || text.size() > 12) return false;
  for (char c : text) {
    if ((c < '0' || c > '9') && c != '.') return false;
  }
  char* end = nullptr;
  double v = std::strtod(text.c_str(), &end);
  if (end == nullptr || *end != '\0' || !(v > 0.0) || v > 1.0) return false;
  *out = v;
  return true;
}

void AddUnique(std::vector<uint32_t>* list, uint32_t a) {
  for (uint32_t x : *list) {
    if (x == a) return;
  }
  list->push_back(a);
}

[[noreturn]] void Refuse(const std::string& why) { throw CLI::ValidationError(why); }

std::string Quoted(const std::string& name, const std::string& value) {
  return name + " '" + value + "'";
}

uint32_t Whole32(const char* name, const std::string& value) {
  uint64_t num = 0;
  if (!ParseUnsigned(value, 0, UINT32_MAX, &num)) {
    Refuse(Quoted(name, value) + " is not a whole number from 0 to 4294967295");
  }
  return static_cast<uint32_t>(num);
}

uint64_t InRange(const char* name, const std::string& value, uint64_t lo, uint64_t hi,
                 const char* what) {
  uint64_t num = 0;
  if (!ParseUnsigned(value, lo, hi, &num)) Refuse(Quoted(name, value) + " is not " + what);
  return num;
}

int Weight(const char* name, const std::string& value, uint64_t lo) {
  uint64_t num = 0;
  if (!ParseUnsigned(value, lo, kMaxHaproxyWeight, &num)) {
    Refuse(Quoted(name, value) + " is not a weight from " + std::to_string(lo) + " to " +
           std::to_string(kMaxHaproxyWeight));
  }
  return static_cast<int>(num);
}

// Declares options on one app, in the groups the help shows.
class COptionDeclarer {
 public:
  using Values = std::vector<std::string>;
  explicit COptionDeclarer(CLI::App* app) : app_(app) {}

  void Group(const char* name) { app_->option_defaults()->group(name); }
  // An option with one value; the last one given wins.
  void Single(const char* name, const char* value, const char* help,
              const std::function<void(const std::string&)>& apply) {
    app_->add_option_function<std::string>(name, apply, help)
        ->type_name(value)
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
  }
  // A repeatable option; every value counts.
  void Many(const char* name, const char* value, const char* help,
            const std::function<void(const Values&)>& apply) {
    app_->add_option_function<Values>(name, apply, help)->type_name(value);
  }
  void Flag(const char* name, bool* target, const char* help) {
    app_->add_flag(name, *target, help)->disable_flag_override();
  }

 private:
  CLI::App* app_;
};

void DeclareSending(COptionDeclarer& d, CoordinatorOptions* o) {
  d.Group("Where to send");
  d.Many("--agent", "ADDR", "send Coor_alive to this agent (repeatable)",
         [o](const COptionDeclarer::Values& v) {
           for (const std::string& s : v) {
             uint32_t a = 0;
             if (!ParseAddr(s, &a) || !IsUnicast(a)) {
               Refuse("--agent '" + s + "' is not a unicast IPv4 address" +
                      (s == "255.255.255.255" ? " (use --broadcast)" : ""));
             }
             AddUnique(&o->agents, a);
           }
         });
  d.Many("--broadcast", "ADDR", "send Coor_alive to this broadcast address (repeatable)",
         [o](const COptionDeclarer::Values& v) {
           for (const std::string& s : v) {
             uint32_t a = 0;
             if (!ParseAddr(s, &a) || a == 0 || IsMulticast(a)) {
               Refuse(Quoted("--broadcast", s) + " is not a broadcast IPv4 address");
             }
             AddUnique(&o->broadcasts, a);
           }
         });
  d.Single("--resend", "N", "send again every N seconds, 0 only once (default 30)",
           [o](const std::string& v) { o->resend = Whole32("--resend", v); });
}

void DeclareListening(COptionDeclarer& d, CoordinatorOptions* o) {
  d.Group("Where to listen");
  d.Single("--listen", "ADDR", "local address to receive on (default 0.0.0.0)",
           [o](const std::string& v) {
             uint32_t a = 0;
             if (!ParseAddr(v, &a) || (a != 0 && !IsUnicast(a))) {
               Refuse(Quoted("--listen", v) + " is not a local IPv4 address or 0.0.0.0");
             }
             o->listen = a;
           });
  d.Single("--port", "N", "UDP port of the agents and of this program (default 45002)",
           [o](const std::string& v) {
             uint64_t n = 0;
             if (!ParseUnsigned(v, 1, 65535, &n)) {
               Refuse(Quoted("--port", v) + " is not a port number (1-65535)");
             }
             o->port = static_cast<uint16_t>(n);
           });
  d.Single("--address", "ADDR", "address the agents report to; required when --listen is 0.0.0.0",
           [o](const std::string& v) {
             uint32_t a = 0;
             if (!ParseAddr(v, &a) || !IsUnicast(a)) {
               Refuse(Quoted("--address", v) + " is not a unicast IPv4 address");
             }
             o->address = a;
             o->has_address = true;
           });
}

void DeclareTelling(COptionDeclarer& d, CoordinatorOptions* o) {
  d.Group("What the agents are told");
  d.Single("--loglevel", "N", "1 INFO+ERR, 2 adds WARN, 3 adds DEBUG (default 1)",
           [o](const std::string& v) { o->settings.loglevel = Whole32("--loglevel", v); });
  d.Single("--log-refresh", "N", "seconds between log checks, 0 none (default 60)",
           [o](const std::string& v) { o->settings.log_refresh = Whole32("--log-refresh", v); });
  d.Single("--alive", "N", "seconds between alive messages, 0 none (default 5)",
           [o](const std::string& v) { o->settings.alive = Whole32("--alive", v); });
  d.Single("--cpu-interval", "N", "seconds between CPU-load messages, 0 none (default 2)",
           [o](const std::string& v) { o->settings.cpu_interval = Whole32("--cpu-interval", v); });
}

void DeclareBalancing(COptionDeclarer& d, CoordinatorOptions* o, std::string* config) {
  d.Group("Balancing HAProxy");
  d.Many("--haproxy", "SOCKET",
         "stats socket (level admin): UNIX socket path or host:port (repeatable)",
         [o](const COptionDeclarer::Values& v) {
           for (const std::string& s : v) {
             std::string why = CHaproxySocket::CheckEndpoint(s);
             if (!why.empty()) Refuse(Quoted("--haproxy", s) + " " + why);
             if (std::find(o->haproxy.begin(), o->haproxy.end(), s) == o->haproxy.end()) {
               o->haproxy.push_back(s);
             }
           }
         });
  d.Many("--server", "AGENT=BACKEND/SERVER", "the HAProxy server an agent stands for (repeatable)",
         [o](const COptionDeclarer::Values& v) {
           for (const std::string& s : v) {
             ServerMapping m;
             std::string why;
             if (ParseMapping(s, &m, &why) != 0 || AddMapping(m, &o->servers, &why) != 0) {
               Refuse("--server " + why);
             }
           }
         });
  d.Single("--config", "FILE",
           "more mappings, one AGENT=BACKEND/SERVER a line (\"hold\" after it: write nothing to "
           "that server)",
           [config](const std::string& v) { *config = v; });
  d.Single("--law", "LAW",
           "even: servers equally busy (default); linear: each weight from its own load",
           [o](const std::string& v) {
             if (!ParseWeightLaw(v, &o->policy.law)) {
               Refuse(Quoted("--law", v) + " is neither even nor linear");
             }
           });
  d.Single("--min-weight", "N",
           "lowest weight written (linear: a fully busy server's), 0-256 (default 1)",
           [o](const std::string& v) { o->policy.min_weight = Weight("--min-weight", v, 0); });
  d.Single("--max-weight", "N",
           "highest weight (linear: an idle server's), 1-256 (default: initial weight)",
           [o](const std::string& v) { o->policy.max_weight = Weight("--max-weight", v, 1); });
  d.Single("--smoothing", "A", "share of the newest load in the average, 0 < A <= 1 (default 0.5)",
           [o](const std::string& v) {
             if (!ParseShare(v, &o->policy.smoothing)) {
               Refuse(Quoted("--smoothing", v) + " is not a number above 0 and at most 1");
             }
           });
  d.Single("--step", "N", "write a weight only when it moves by N or more (default 2)",
           [o](const std::string& v) { o->policy.step = Weight("--step", v, 1); });
  d.Single("--silent-state", "STATE", "drain or maint: what a silent agent's server is set to",
           [o](const std::string& v) {
             if (v == "drain") {
               o->silent_state = LbState::kDrain;
             } else if (v == "maint") {
               o->silent_state = LbState::kMaint;
             } else {
               Refuse(Quoted("--silent-state", v) + " is neither drain nor maint");
             }
           });
  d.Flag("--dry-run", &o->dry_run, "print the balancer's commands instead of sending them");
  d.Single("--nftables", "FILE", "balance in the kernel: the services, mapped as SERVICE/SERVER",
           [o](const std::string& v) { o->nftables_file = v; });
  d.Single("--nftables-table", "NAME", "the nftables table written (default keld4)",
           [o](const std::string& v) {
             bool ok =
                 !v.empty() && v.size() <= 64 && std::isalpha(static_cast<unsigned char>(v[0]));
             for (char c : v) ok = ok && (std::isalnum(static_cast<unsigned char>(c)) || c == '_');
             if (!ok)
               Refuse(Quoted("--nftables-table", v) + " is not a name of letters, digits and _");
             o->nftables_table = v;
           });
}

void DeclareFleet(COptionDeclarer& d, CoordinatorOptions* o) {
  d.Group("A fleet");
  d.Single("--max-agents", "N", "rows of the agent table, 1-1048576 (default 16384)",
           [o](const std::string& v) {
             o->max_agents = InRange("--max-agents", v, 1, 1048576, "a number from 1 to 1048576");
           });
  d.Single("--rcvbuf", "BYTES", "receive buffer asked of the kernel (default 8388608)",
           [o](const std::string& v) {
             o->rcvbuf = static_cast<int>(InRange("--rcvbuf", v, 4096, 1 << 30,
                                                  "a number of bytes from 4096 to 1073741824"));
           });
  d.Single("--max-drain", "P", "drain at most P % of a backend for silence (default 50)",
           [o](const std::string& v) {
             o->max_drain =
                 static_cast<int>(InRange("--max-drain", v, 0, 100, "a percentage from 0 to 100"));
           });
  d.Flag("--trust-forwarded", &o->trust_forwarded,
         "take mapped agents' reports from any source (NAT, relay)");
}

void DeclarePair(COptionDeclarer& d, CoordinatorOptions* o) {
  d.Group("Running as one of a pair");
  d.Flag("--virtual", &o->follow_address,
         "--address is a virtual address: act only while it is assigned here");
  d.Single("--options-file", "FILE", "read options from FILE, one NAME = VALUE a line",
           [o](const std::string& v) { o->options_file = v; });
  d.Single("--heartbeat", "FILE",
           "set FILE's time every 0.25 s while the loop runs (for a health check)",
           [o](const std::string& v) {
             if (v.empty()) Refuse("--heartbeat needs a file name");
             o->heartbeat = v;
           });
}

void DeclareWatching(COptionDeclarer& d, CoordinatorOptions* o) {
  d.Group("Watching");
  d.Single("--metrics", "ADDR:PORT",
           "serve /metrics and the status page / over HTTP here (an internal address)",
           [o](const std::string& v) {
             size_t colon = v.rfind(':');
             uint64_t port = 0;
             if (colon == std::string::npos || !ParseAddr(v.substr(0, colon), &o->metrics_addr) ||
                 !ParseUnsigned(v.substr(colon + 1), 1, 65535, &port)) {
               Refuse(Quoted("--metrics", v) + " is not an IPv4 ADDR:PORT");
             }
             o->metrics_port = static_cast<uint16_t>(port);
             o->has_metrics = true;
           });
}

void DeclareEnding(COptionDeclarer& d, CoordinatorOptions* o) {
  d.Group("Ending and output");
  d.Single("--duration", "SECONDS", "stop after this time (fractions allowed)",
           [o](const std::string& v) {
             if (!ParseSeconds(v, &o->duration_ms)) {
               Refuse(Quoted("--duration", v) + " is not a positive number of seconds");
             }
           });
  d.Single("--count", "N", "stop after N valid agent messages", [o](const std::string& v) {
    uint64_t n = 0;
    if (!ParseUnsigned(v, 1, UINT64_MAX / 10, &n)) {
      Refuse(Quoted("--count", v) + " is not a positive whole number");
    }
    o->count = n;
  });
  d.Flag("--json", &o->json, "one JSON object per event on standard output");
  d.Flag("--help", &o->help, "show this text");
  d.Flag("--version", &o->version, "show the version");
}

// Each option once: its name, value text, help and what it does with its value.
void Declare(CLI::App* app, CoordinatorOptions* o, std::string* config) {
  COptionDeclarer d(app);
  DeclareSending(d, o);
  DeclareListening(d, o);
  DeclareTelling(d, o);
  DeclareBalancing(d, o, config);
  DeclareFleet(d, o);
  DeclarePair(d, o);
  DeclareWatching(d, o);
  DeclareEnding(d, o);
}

class CUsageFormatter : public CLI::Formatter {
 public:
  std::string make_usage(const CLI::App* /*app*/, std::string /*name*/) const override {
    return "Usage: keld4-coordinator [OPTION]...\n"
           "Configure keld4 agents with Coor_alive messages, watch their reports and\n"
           "turn their CPU load into HAProxy server weights.\n";
  }
  std::string make_description(const CLI::App* /*app*/) const override { return ""; }
};

const char* const kFooter =
    "An agent is \"silent\" after three alive periods without an alive (with --alive 0,\n"
    "three CPU-load periods without any message) and \"down\" after its down message;\n"
    "the server of a silent or down agent is set to drain (or --silent-state), its next\n"
    "alive sets it ready again, but no more than --max-drain of a backend's servers\n"
    "are taken out for silence at once. Mapped servers must not also have agent-check.\n"
    "Exit status: 0 normal end, 1 socket error, 2 bad usage.";

void Configure(CLI::App* app) {
  app->set_help_flag();
  app->allow_extras();
  app->formatter(std::make_shared<CUsageFormatter>());
  app->get_formatter()->column_width(36);
  app->footer(kFooter);
}

// CLI11's own wording, in the form the rest of our messages take.
std::string Reword(const CLI::ParseError& e) {
  std::string what = e.what();
  size_t colon = what.find(':');
  size_t given = what.find(" was given a disallowed flag override");
  if (given != std::string::npos) return "option '--" + what.substr(0, given) + "' takes no value";
  if (e.get_name() == "ArgumentMismatch" && colon != std::string::npos &&
      what.find("required") != std::string::npos) {
    return "option '" + what.substr(0, colon) + "' needs a value";
  }
  return what;
}

}  // namespace

std::string UsageText() {
  CoordinatorOptions o;
  std::string config;
  CLI::App app("", "keld4-coordinator");
  Configure(&app);
  Declare(&app, &o, &config);
  return app.help();
}

namespace {

// Parses args (argv[0] first) into *o; a failure's reason in *why.
int ParseInto(const std::vector<std::string>& args, CoordinatorOptions* o, std::string* config,
              std::string* why) {
  CLI::App app("", "keld4-coordinator");
  Configure(&app);
  Declare(&app, o, config);
  std::vector<const char*> argv;
  argv.reserve(args.size());
  for (const std::string& a : args) argv.push_back(a.c_str());
  try {
    app.parse(static_cast<int>(argv.size()), argv.data());
  } catch (const CLI::ValidationError& e) {
    *why = e.what();
    return -1;
  } catch (const CLI::ParseError& e) {
    *why = Reword(e);
    return -1;
  }
  for (const std::string& extra : app.remaining()) {
    *why = extra.rfind("--", 0) == 0 ? "unknown option '" + extra.substr(0, extra.find('=')) + "'"
                                     : "unexpected argument '" + extra + "'";
    return -1;
  }
  return 0;
}

// The options file as command-line words: "name = value" (or "name value",
// "--name" allowed), a bare name or "name = true" for a switch, blank lines
// and '#' comments. Each line is parsed alone first, so an error names its
// line.
int ReadOptionsFile(const std::string& path, std::vector<std::string>* words, std::string* why) {
  // The switches are the options declared without a value.
  CoordinatorOptions declared;
  std::string declared_config;
  CLI::App app("", "keld4-coordinator");
  Configure(&app);
  Declare(&app, &declared, &declared_config);
  int r = ReadLines(
      path,
      [words, &app](const std::string& t) -> std::string {
        size_t cut = t.find_first_of("= \t");
        std::string name = Trim(t.substr(0, cut));
        std::string value;
        bool has_value = cut != std::string::npos;
        if (has_value) {
          value = Trim(t.substr(cut + 1));
          if (!value.empty() && value[0] == '=') value = Trim(value.substr(1));
          if (value.size() >= 2 && value.front() == '"' && value.back() == '"') {
            value = value.substr(1, value.size() - 2);
          }
        }
        if (name.rfind("--", 0) == 0) name = name.substr(2);
        if (name == "options-file" || name == "help" || name == "version") {
          return "option '" + name + "' cannot be given in the file";
        }
        std::vector<std::string> these = {"--" + name};
        const CLI::Option* declared_as = app.get_option_no_throw("--" + name);
        bool is_switch = declared_as != nullptr && declared_as->get_items_expected_max() == 0;
        if (is_switch) {
          if (value == "false" || value == "no" || value == "0") return "";
          if (has_value && !value.empty() && value != "true" && value != "yes" && value != "1") {
            return "option '" + name + "' is a switch: true or false, not '" + value + "'";
          }
        } else if (has_value) {
          these.push_back(value);
        }
        CoordinatorOptions scratch;
        std::string scratch_config, wrong;
        std::vector<std::string> alone = {"keld4-coordinator"};
        alone.insert(alone.end(), these.begin(), these.end());
        if (ParseInto(alone, &scratch, &scratch_config, &wrong) != 0) return wrong;
        words->insert(words->end(), these.begin(), these.end());
        return "";
      },
      why);
  if (r != 0 && *why == "cannot read " + path) *why = "--options-file " + *why;
  return r;
}

}  // namespace

int LoadServers(const CoordinatorOptions& o, std::vector<ServerMapping>* servers,
                std::vector<uint32_t>* agents, std::string* why) {
  *servers = o.fixed_servers;
  if (!o.server_map.empty()) {
    std::string err;
    if (LoadServerMap(o.server_map, servers, &err) != 0) {
      *why = "--config " + err;
      return -1;
    }
  }
  // Mapped agents are configured like --agent ones.
  // A set, not a scan per mapping: a fleet's map has tens of thousands of rows.
  *agents = o.fixed_agents;
  std::unordered_set<uint32_t> listed(agents->begin(), agents->end());
  for (const ServerMapping& m : *servers) {
    if (listed.insert(m.agent).second) agents->push_back(m.agent);
  }
  return 0;
}

int ParseArgs(int argc, char** argv, CoordinatorOptions* o, char* err, size_t errlen) {
  *o = CoordinatorOptions();
  err[0] = '\0';
  auto fail = [err, errlen](const std::string& why) {
    std::snprintf(err, errlen, "%s", why.c_str());
    return -1;
  };
  std::vector<std::string> args(argv, argv + argc);
  std::vector<std::string> given = args;
  std::string config, why;
  if (ParseInto(args, o, &config, &why) != 0) return fail(why);
  if (o->help || o->version) return 0;
  if (!o->options_file.empty()) {
    // The file's options first, so the command line's win.
    std::vector<std::string> words;
    if (ReadOptionsFile(o->options_file, &words, &why) != 0) return fail(why);
    args.insert(args.begin() + 1, words.begin(), words.end());
    std::string file = o->options_file;
    *o = CoordinatorOptions();
    config.clear();
    if (ParseInto(args, o, &config, &why) != 0) return fail(file + ": " + why);
  }
  o->command_line = given;
  o->server_map = config;
  o->fixed_servers = o->servers;
  o->fixed_agents = o->agents;
  if (LoadServers(*o, &o->servers, &o->agents, &why) != 0) return fail(why);
  if (!o->nftables_file.empty()) {
    if (!o->haproxy.empty()) return fail("--nftables and --haproxy do not go together");
    if (LoadServiceFile(o->nftables_file, &o->l4_services, &why) != 0) {
      return fail("--nftables " + why);
    }
    // Every mapping names a server of the file.
    for (const ServerMapping& m : o->servers) {
      if (FindL4Server(o->l4_services, m.backend, m.server).first >= 0) continue;
      std::string where = m.line > 0 ? o->server_map + ":" + std::to_string(m.line) + ": "
                                     : std::string("--server ");
      return fail(where + m.Name() + " is not a server of " + o->nftables_file);
    }
    if (o->servers.empty()) return fail("--nftables needs at least one --server or a --config");
  }
  if (!o->servers.empty() && o->haproxy.empty() && o->nftables_file.empty() && !o->dry_run) {
    return fail("--server and --config need --haproxy or --nftables (or --dry-run)");
  }
  if (o->servers.empty() && !o->haproxy.empty()) {
    return fail("--haproxy needs at least one --server or a --config");
  }
  if (o->agents.empty() && o->broadcasts.empty()) {
    return fail("nothing to send to: give --agent or --broadcast");
  }
  if (!o->has_address && o->listen == 0) {
    return fail("--address is required when listening on 0.0.0.0");
  }
  if (o->follow_address && !o->has_address) {
    return fail("--virtual needs --address");
  }
  if (o->follow_address && o->listen == o->address) {
    // It could not be bound while the address is elsewhere.
    return fail("--virtual: listen on 0.0.0.0, not on the virtual address itself");
  }
  if (o->policy.max_weight >= 0 && o->policy.max_weight < o->policy.min_weight) {
    return fail("--max-weight is below --min-weight");
  }
  // The even law moves once a sample.
  if (o->settings.cpu_interval > 0) {
    o->policy.period_ms = static_cast<int64_t>(o->settings.cpu_interval) * 1000;
  }
  return 0;
}

}  // namespace coord
