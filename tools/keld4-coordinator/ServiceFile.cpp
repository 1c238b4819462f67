// SPDX-License-Identifier: Apache-2.0
#include "ServiceFile.h"

#include <arpa/inet.h>

#include <fstream>
#include <sstream>

#include "ServerMap.h"

namespace coord {

namespace {

// Names end up in the table's listing and in the SERVICE/SERVER mappings:
// the same character set as the mappings' names, less ':' and '/'.
bool IsName(const std::string& s) {
  if (s.empty() || s.size() > 64) return false;
  for (char c : s) {
    bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
              c == '-' || c == '_' || c == '.';
    if (!ok) return false;
  }
  return true;
}

// "A.B.C.D:PORT" with a port 1-65535.
bool ParseAddrPort(const std::string& s, uint32_t* addr, uint16_t* port) {
  size_t colon = s.rfind(':');
  if (colon == std::string::npos) return false;
  in_addr a{};
  if (inet_pton(AF_INET, s.substr(0, colon).c_str(), &a) != 1) return false;
  std::string p = s.substr(colon + 1);
  if (p.empty() || p.size() > 5 || p.find_first_not_of("0123456789") != std::string::npos) {
    return false;
  }
  unsigned long v = std::stoul(p);
  if (v == 0 || v > 65535) return false;
  *addr = ntohl(a.s_addr);
  *port = static_cast<uint16_t>(v);
  return true;
}

}  // namespace

int LoadServiceFile(const std::string& path, std::vector<L4Service>* out, std::string* err) {
  std::ifstream in(path);
  if (!in) {
    *err = "cannot read " + path;
    return -1;
  }
  std::vector<L4Service> services;
  std::string line;
  int number = 0;
  auto fail = [&](int at, const std::string& why) {
    *err = path + ":" + std::to_string(at) + ": " + why;
    return -1;
  };
  // A service without servers is named at its own line once the next one
  // (or the end) shows it has none.
  auto closed = [&]() { return services.empty() || !services.back().servers.empty(); };
  while (std::getline(in, line)) {
    ++number;
    line = Trim(line);
    std::istringstream words(line);
    std::string word, name, where, extra;
    if (!(words >> word) || word[0] == '#') continue;
    words >> name >> where >> extra;
    if (word == "service") {
      if (!closed())
        return fail(services.back().line, "service " + services.back().name + " has no server");
      L4Service s;
      s.line = number;
      size_t slash = where.rfind('/');
      std::string proto = slash == std::string::npos ? "" : where.substr(slash + 1);
      if (!IsName(name) || !extra.empty() || (proto != "tcp" && proto != "udp") ||
          !ParseAddrPort(where.substr(0, slash), &s.vip, &s.port)) {
        return fail(number, "'" + line + "' is not 'service NAME VIP:PORT/tcp' (or /udp)");
      }
      s.name = name;
      s.udp = proto == "udp";
      for (const L4Service& x : services) {
        if (x.name == s.name) {
          return fail(number,
                      "service " + s.name + " is named already at line " + std::to_string(x.line));
        }
        if (x.vip == s.vip && x.port == s.port && x.udp == s.udp) {
          return fail(number, "service " + s.name + " has the address of service " + x.name +
                                  " (line " + std::to_string(x.line) + ")");
        }
      }
      services.push_back(s);
    } else if (word == "server") {
      if (services.empty()) return fail(number, "server " + name + " outside a service");
      L4Server v;
      if (!IsName(name) || !extra.empty() || !ParseAddrPort(where, &v.addr, &v.port)) {
        return fail(number, "'" + line + "' is not 'server NAME ADDR:PORT'");
      }
      v.name = name;
      L4Service& s = services.back();
      for (const L4Server& x : s.servers) {
        if (x.name == v.name)
          return fail(number, "server " + s.name + "/" + v.name + " is named twice");
        if (x.addr == v.addr && x.port == v.port) {
          return fail(number, "server " + s.name + "/" + v.name + " has the address of " + s.name +
                                  "/" + x.name);
        }
      }
      s.servers.push_back(v);
    } else {
      return fail(number, "unknown word '" + word + "' (service or server)");
    }
  }
  if (!closed())
    return fail(services.back().line, "service " + services.back().name + " has no server");
  if (services.empty()) return fail(number, "no service");
  *out = std::move(services);
  return 0;
}

std::pair<int, int> FindL4Server(const std::vector<L4Service>& services, const std::string& service,
                                 const std::string& server) {
  for (size_t i = 0; i < services.size(); ++i) {
    if (services[i].name != service) continue;
    for (size_t j = 0; j < services[i].servers.size(); ++j) {
      if (services[i].servers[j].name == server) return {static_cast<int>(i), static_cast<int>(j)};
    }
  }
  return {-1, -1};
}

}  // namespace coord
