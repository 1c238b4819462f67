// Command line of keld4-coordinator.
#pragma once

#include <arpa/inet.h>

#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "Protocol.h"

namespace coord {

constexpr uint16_t kDefaultPort = 45002;
constexpr uint32_t kDefaultResend = 30;
// Ten years; keeps the end time far from overflow.
constexpr double kMaxDurationSeconds = 315360000.0;

struct CoordinatorOptions {
  uint32_t listen = 0;  // 0.0.0.0
  uint16_t port = kDefaultPort;
  bool has_address = false;
  uint32_t address = 0;  // srcAddr of our Coor_alive: where the agents report to
  std::vector<uint32_t> agents;
  std::vector<uint32_t> broadcasts;
  CoorAliveSettings settings;
  uint32_t resend = kDefaultResend;  // seconds; 0 sends once
  int64_t duration_ms = 0;           // 0 runs until stopped
  uint64_t count = 0;                // 0 counts nothing
  bool json = false;
  bool help = false;

  // The address our Coor_alive names as its source.
  uint32_t SourceAddr() const { return has_address ? address : listen; }
};

inline const char* UsageText() {
  return "Usage: keld4-coordinator [OPTION]...\n"
         "Configure keld4 agents with Coor_alive messages and watch their reports.\n"
         "\n"
         "Where to send:\n"
         "  --agent ADDR         send Coor_alive to this agent (repeatable)\n"
         "  --broadcast ADDR     send Coor_alive to this broadcast address (repeatable)\n"
         "  --resend N           send again every N seconds, 0 only once (default 30)\n"
         "\n"
         "Where to listen:\n"
         "  --listen ADDR        local address to receive on (default 0.0.0.0)\n"
         "  --port N             UDP port of the agents and of this program (default 45002)\n"
         "  --address ADDR       address the agents report to; required when --listen\n"
         "                       is 0.0.0.0\n"
         "\n"
         "What the agents are told:\n"
         "  --loglevel N         1 INFO+ERR, 2 adds WARN, 3 adds DEBUG (default 1)\n"
         "  --log-refresh N      seconds between log checks, 0 none (default 60)\n"
         "  --alive N            seconds between alive messages, 0 none (default 5)\n"
         "  --cpu-interval N     seconds between CPU-load messages, 0 none (default 2)\n"
         "\n"
         "Ending and output:\n"
         "  --duration SECONDS   stop after this time (fractions allowed)\n"
         "  --count N            stop after N valid agent messages\n"
         "  --json               one JSON object per event on standard output\n"
         "  --help               show this text\n"
         "\n"
         "An agent is \"silent\" after three alive periods without an alive (with --alive 0,\n"
         "three CPU-load periods without any message) and \"down\" after its down message.\n"
         "Exit status: 0 normal end, 1 socket error, 2 bad usage.\n";
}

namespace detail {

__attribute__((format(printf, 3, 4))) inline int Fail(char* err, size_t errlen, const char* fmt,
                                                      ...) {
  va_list ap;
  va_start(ap, fmt);
  std::vsnprintf(err, errlen, fmt, ap);
  va_end(ap);
  return -1;
}

// Dotted IPv4 text, four decimal octets and nothing else.
inline bool ParseAddr(const char* text, uint32_t* out) {
  in_addr a{};
  if (inet_pton(AF_INET, text, &a) != 1) return false;
  *out = ntohl(a.s_addr);
  return true;
}

inline bool IsMulticast(uint32_t a) { return (a >> 28) == 0xE; }

inline bool IsUnicast(uint32_t a) {
  return a != 0 && a != 0xFFFFFFFFu && !IsMulticast(a) && (a >> 28) != 0xF;
}

// A decimal number in [lo, hi], digits only.
inline bool ParseUnsigned(const char* text, uint64_t lo, uint64_t hi, uint64_t* out) {
  if (*text == '\0') return false;
  uint64_t v = 0;
  for (const char* p = text; *p != '\0'; ++p) {
    if (*p < '0' || *p > '9') return false;
    v = v * 10 + static_cast<uint64_t>(*p - '0');
    if (v > hi) return false;
  }
  if (v < lo) return false;
  *out = v;
  return true;
}

// Positive seconds, digits with an optional fraction of up to three places.
inline bool ParseSeconds(const char* text, int64_t* out_ms) {
  const char* dot = std::strchr(text, '.');
  size_t int_len = dot ? static_cast<size_t>(dot - text) : std::strlen(text);
  if (int_len == 0 || int_len > 9) return false;
  int64_t ms = 0;
  for (size_t i = 0; i < int_len; ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    ms = ms * 10 + (text[i] - '0');
  }
  ms *= 1000;
  if (dot != nullptr) {
    const char* f = dot + 1;
    size_t flen = std::strlen(f);
    if (flen == 0 || flen > 3) return false;
    int64_t scale = 100;
    for (size_t i = 0; i < flen; ++i, scale /= 10) {
      if (f[i] < '0' || f[i] > '9') return false;
      ms += (f[i] - '0') * scale;
    }
  }
  if (ms <= 0 || ms > static_cast<int64_t>(kMaxDurationSeconds * 1000)) return false;
  *out_ms = ms;
  return true;
}

inline void AddUnique(std::vector<uint32_t>* list, uint32_t a) {
  for (uint32_t x : *list) {
    if (x == a) return;
  }
  list->push_back(a);
}

}  // namespace detail

// Fills *o from the command line. Returns 0, or -1 with a one-line reason in
// err (without the program name).
inline int ParseArgs(int argc, char** argv, CoordinatorOptions* o, char* err, size_t errlen) {
  using detail::Fail;
  *o = CoordinatorOptions();
  err[0] = '\0';
  for (int i = 1; i < argc; ++i) {
    const char* arg = argv[i];
    if (std::strncmp(arg, "--", 2) != 0) {
      return Fail(err, errlen, "unexpected argument '%s'", arg);
    }
    // --name=value or --name value
    char name[32];
    const char* value = nullptr;
    const char* eq = std::strchr(arg, '=');
    size_t name_len = eq ? static_cast<size_t>(eq - arg) : std::strlen(arg);
    if (name_len >= sizeof(name)) return Fail(err, errlen, "unknown option '%s'", arg);
    std::memcpy(name, arg, name_len);
    name[name_len] = '\0';
    if (eq != nullptr) value = eq + 1;

    bool is_flag = std::strcmp(name, "--json") == 0 || std::strcmp(name, "--help") == 0;
    static const char* const kValued[] = {
        "--agent",    "--broadcast",   "--resend", "--listen",       "--port",     "--address",
        "--loglevel", "--log-refresh", "--alive",  "--cpu-interval", "--duration", "--count"};
    bool is_valued = false;
    for (const char* k : kValued) is_valued = is_valued || std::strcmp(name, k) == 0;
    if (!is_flag && !is_valued) return Fail(err, errlen, "unknown option '%s'", name);
    if (is_flag) {
      if (value != nullptr) return Fail(err, errlen, "option '%s' takes no value", name);
      if (std::strcmp(name, "--json") == 0) o->json = true;
      if (std::strcmp(name, "--help") == 0) o->help = true;
      continue;
    }
    if (value == nullptr) {
      if (i + 1 >= argc) return Fail(err, errlen, "option '%s' needs a value", name);
      value = argv[++i];
    }

    uint32_t addr = 0;
    uint64_t num = 0;
    if (std::strcmp(name, "--agent") == 0) {
      if (!detail::ParseAddr(value, &addr) || !detail::IsUnicast(addr)) {
        return Fail(err, errlen, "--agent '%s' is not a unicast IPv4 address%s", value,
                    std::strcmp(value, "255.255.255.255") == 0 ? " (use --broadcast)" : "");
      }
      detail::AddUnique(&o->agents, addr);
    } else if (std::strcmp(name, "--broadcast") == 0) {
      if (!detail::ParseAddr(value, &addr) || addr == 0 || detail::IsMulticast(addr)) {
        return Fail(err, errlen, "--broadcast '%s' is not a broadcast IPv4 address", value);
      }
      detail::AddUnique(&o->broadcasts, addr);
    } else if (std::strcmp(name, "--listen") == 0) {
      if (!detail::ParseAddr(value, &addr) || (addr != 0 && !detail::IsUnicast(addr))) {
        return Fail(err, errlen, "--listen '%s' is not a local IPv4 address or 0.0.0.0", value);
      }
      o->listen = addr;
    } else if (std::strcmp(name, "--address") == 0) {
      if (!detail::ParseAddr(value, &addr) || !detail::IsUnicast(addr)) {
        return Fail(err, errlen, "--address '%s' is not a unicast IPv4 address", value);
      }
      o->address = addr;
      o->has_address = true;
    } else if (std::strcmp(name, "--port") == 0) {
      if (!detail::ParseUnsigned(value, 1, 65535, &num)) {
        return Fail(err, errlen, "--port '%s' is not a port number (1-65535)", value);
      }
      o->port = static_cast<uint16_t>(num);
    } else if (std::strcmp(name, "--duration") == 0) {
      if (!detail::ParseSeconds(value, &o->duration_ms)) {
        return Fail(err, errlen, "--duration '%s' is not a positive number of seconds", value);
      }
    } else if (std::strcmp(name, "--count") == 0) {
      if (!detail::ParseUnsigned(value, 1, UINT64_MAX / 10, &num)) {
        return Fail(err, errlen, "--count '%s' is not a positive whole number", value);
      }
      o->count = num;
    } else {
      if (!detail::ParseUnsigned(value, 0, UINT32_MAX, &num)) {
        return Fail(err, errlen, "%s '%s' is not a whole number from 0 to 4294967295", name, value);
      }
      uint32_t v = static_cast<uint32_t>(num);
      if (std::strcmp(name, "--resend") == 0) o->resend = v;
      if (std::strcmp(name, "--loglevel") == 0) o->settings.loglevel = v;
      if (std::strcmp(name, "--log-refresh") == 0) o->settings.log_refresh = v;
      if (std::strcmp(name, "--alive") == 0) o->settings.alive = v;
      if (std::strcmp(name, "--cpu-interval") == 0) o->settings.cpu_interval = v;
    }
  }
  if (o->help) return 0;
  if (o->agents.empty() && o->broadcasts.empty()) {
    return Fail(err, errlen, "nothing to send to: give --agent or --broadcast");
  }
  if (!o->has_address && o->listen == 0) {
    return Fail(err, errlen, "--address is required when listening on 0.0.0.0");
  }
  return 0;
}

}  // namespace coord
