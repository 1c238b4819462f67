// SPDX-License-Identifier: Apache-2.0
#include "ServerMap.h"

#include <arpa/inet.h>

#include <fstream>
#include <unordered_set>

#include "Protocol.h"

namespace coord {

std::string Trim(const std::string& s) {
  size_t b = s.find_first_not_of(" \t\r");
  if (b == std::string::npos) return "";
  size_t e = s.find_last_not_of(" \t\r");
  return s.substr(b, e - b + 1);
}

int ReadLines(const std::string& path, const std::function<std::string(const std::string&)>& each,
              std::string* err, int* at) {
  std::ifstream in(path);
  if (!in) {
    *err = "cannot read " + path;
    return -1;
  }
  std::string line;
  int number = 0;
  while (std::getline(in, line)) {
    ++number;
    std::string t = Trim(line);
    if (t.empty() || t[0] == '#') continue;
    if (at != nullptr) *at = number;
    std::string why = each(t);
    if (!why.empty()) {
      *err = path;
      *err += ":" + std::to_string(number) + ": ";
      *err += why;
      return -1;
    }
  }
  return 0;
}

namespace {

// HAProxy's proxy and server names. Keeping to its own character set also
// keeps ';' and '\' out of the commands we send, which the socket would take
// as separators and escapes.
bool IsName(const std::string& s) {
  if (s.empty()) return false;
  for (char c : s) {
    bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
              c == '-' || c == '_' || c == '.' || c == ':';
    if (!ok) return false;
  }
  return true;
}

}  // namespace

int ParseMapping(const std::string& text, ServerMapping* out, std::string* err) {
  size_t eq = text.find('=');
  if (eq == std::string::npos) {
    *err = "'" + text + "' is not AGENT_ADDRESS=BACKEND/SERVER";
    return -1;
  }
  std::string addr = Trim(text.substr(0, eq));
  std::string target = Trim(text.substr(eq + 1));
  in_addr a{};
  if (inet_pton(AF_INET, addr.c_str(), &a) != 1 || a.s_addr == 0 || a.s_addr == 0xFFFFFFFFu) {
    *err = "'" + addr + "' in '" + text + "' is not an agent's IPv4 address";
    return -1;
  }
  size_t blank = target.find_first_of(" \t");
  if (blank != std::string::npos) {
    std::string mark = Trim(target.substr(blank));
    if (mark != "hold") {
      *err = "'" + mark + "' in '" + text + "' is not a mark (only \"hold\" is)";
      return -1;
    }
    target = target.substr(0, blank);
    out->hold = true;
  } else {
    out->hold = false;
  }
  size_t slash = target.find('/');
  if (slash == std::string::npos || !IsName(target.substr(0, slash)) ||
      !IsName(target.substr(slash + 1))) {
    *err = "'" + target + "' in '" + text +
           "' is not BACKEND/SERVER (names of letters, digits and - _ . :)";
    return -1;
  }
  out->agent = ntohl(a.s_addr);
  out->backend = target.substr(0, slash);
  out->server = target.substr(slash + 1);
  return 0;
}

int AddMapping(const ServerMapping& m, std::vector<ServerMapping>* out, std::string* err) {
  for (const ServerMapping& x : *out) {
    if (x.agent == m.agent || x.Name() == m.Name()) {
      char a[16];
      FormatAddr(x.agent, a);
      *err = "mapping " + m.Name() + " clashes with " + std::string(a) + "=" + x.Name() +
             " (one server per agent)";
      return -1;
    }
  }
  out->push_back(m);
  return 0;
}

int LoadServerMap(const std::string& path, std::vector<ServerMapping>* out, std::string* err) {
  // What is mapped so far, so that a fleet's file loads in linear time; the
  // clash itself is then named by AddMapping.
  std::unordered_set<uint32_t> agents;
  std::unordered_set<std::string> names;
  for (const ServerMapping& x : *out) {
    agents.insert(x.agent);
    names.insert(x.Name());
  }
  int number = 0;
  return ReadLines(
      path,
      [&](const std::string& t) {
        ServerMapping m;
        std::string why;
        bool ok = ParseMapping(t, &m, &why) == 0;
        m.line = number;
        if (ok && agents.insert(m.agent).second && names.insert(m.Name()).second) {
          out->push_back(m);
          return std::string();
        }
        if (ok) AddMapping(m, out, &why);
        return why;
      },
      err, &number);
}

}  // namespace coord
