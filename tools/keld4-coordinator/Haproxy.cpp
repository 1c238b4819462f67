// SPDX-License-Identifier: Apache-2.0
#include "Haproxy.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "Clock.h"
#include "Errors.h"

namespace coord {
namespace {

bool SplitHostPort(const std::string& e, sockaddr_in* sa) {
  size_t colon = e.rfind(':');
  if (colon == std::string::npos) return false;
  std::string host = e.substr(0, colon);
  std::string port = e.substr(colon + 1);
  if (port.empty() || port.size() > 5) return false;
  unsigned long p = 0;
  for (char c : port) {
    if (c < '0' || c > '9') return false;
    p = p * 10 + static_cast<unsigned long>(c - '0');
  }
  if (p == 0 || p > 65535) return false;
  *sa = sockaddr_in{};
  sa->sin_family = AF_INET;
  sa->sin_port = htons(static_cast<uint16_t>(p));
  return inet_pton(AF_INET, host.c_str(), &sa->sin_addr) == 1;
}

// Waits for events on fd until deadline; false on timeout or error.
bool WaitFor(int fd, short events, int64_t deadline) {
  for (;;) {
    int64_t left = deadline - MonotonicMs();
    if (left <= 0) return false;
    pollfd p = {fd, events, 0};
    int n = poll(&p, 1, static_cast<int>(left));
    if (n > 0) return true;
    if (n < 0 && errno != EINTR) return false;
  }
}

class CFd {
 public:
  explicit CFd(int fd) : fd_(fd) {}
  ~CFd() {
    if (fd_ >= 0) close(fd_);
  }
  CFd(const CFd&) = delete;
  CFd& operator=(const CFd&) = delete;
  int Get() const { return fd_; }

 private:
  int fd_;
};

}  // namespace

CHaproxySocket::CHaproxySocket(std::string endpoint, int timeout_ms)
    : endpoint_(std::move(endpoint)), timeout_ms_(timeout_ms) {}

std::string CHaproxySocket::CheckEndpoint(const std::string& endpoint) {
  if (endpoint.find('/') != std::string::npos) {
    if (endpoint.size() >= sizeof(sockaddr_un{}.sun_path)) return "the socket path is too long";
    return "";
  }
  sockaddr_in sa{};
  if (!SplitHostPort(endpoint, &sa)) return "is neither a socket path nor IPv4-address:port";
  return "";
}

int CHaproxySocket::Connect(std::string* err) const {
  int64_t deadline = MonotonicMs() + timeout_ms_;
  bool is_unix = endpoint_.find('/') != std::string::npos;
  int fd = socket(is_unix ? AF_UNIX : AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    *err = std::string("socket: ") + ErrorText(errno);
    return -1;
  }
  int rc = 0;
  if (is_unix) {
    sockaddr_un su{};
    su.sun_family = AF_UNIX;
    std::snprintf(su.sun_path, sizeof(su.sun_path), "%s", endpoint_.c_str());
    rc = connect(fd, reinterpret_cast<sockaddr*>(&su), sizeof(su));
  } else {
    sockaddr_in sa{};
    SplitHostPort(endpoint_, &sa);
    rc = connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof(sa));
  }
  if (rc != 0 && (errno == EINPROGRESS || errno == EAGAIN)) {
    int soerr = ETIMEDOUT;
    socklen_t len = sizeof(soerr);
    if (WaitFor(fd, POLLOUT, deadline)) getsockopt(fd, SOL_SOCKET, SO_ERROR, &soerr, &len);
    rc = soerr == 0 ? 0 : -1;
    errno = soerr;
  }
  if (rc != 0) {
    *err = std::string("connect: ") + ErrorText(errno);
    close(fd);
    return -1;
  }
  return fd;
}

int CHaproxySocket::Run(const std::vector<std::string>& commands, std::vector<std::string>* answers,
                        std::string* err) const {
  answers->clear();
  if (commands.empty()) return 0;
  int64_t deadline = MonotonicMs() + timeout_ms_;
  CFd fd(Connect(err));
  if (fd.Get() < 0) return -1;
  std::string line;
  for (const std::string& c : commands) {
    if (!line.empty()) line += ';';
    line += c;
  }
  line += '\n';
  size_t sent = 0;
  while (sent < line.size()) {
    ssize_t n = send(fd.Get(), line.data() + sent, line.size() - sent, MSG_NOSIGNAL);
    if (n > 0) {
      sent += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && (errno == EAGAIN || errno == EINTR) && WaitFor(fd.Get(), POLLOUT, deadline)) {
      continue;
    }
    *err = std::string("send: ") + (n < 0 ? ErrorText(errno) : std::string("nothing sent"));
    return -1;
  }
  std::string reply;
  char buf[4096];
  for (;;) {
    ssize_t n = recv(fd.Get(), buf, sizeof(buf), 0);
    if (n > 0) {
      reply.append(buf, static_cast<size_t>(n));
      continue;
    }
    if (n == 0) break;
    if ((errno == EAGAIN || errno == EINTR) && WaitFor(fd.Get(), POLLIN, deadline)) continue;
    *err =
        errno == EAGAIN ? "no complete answer in time" : std::string("recv: ") + ErrorText(errno);
    return -1;
  }
  // Each command's output ends with an empty line, and no output holds one.
  std::string current;
  size_t pos = 0;
  while (pos < reply.size()) {
    size_t nl = reply.find('\n', pos);
    if (nl == std::string::npos) break;
    std::string l = reply.substr(pos, nl - pos);
    pos = nl + 1;
    if (l.empty()) {
      answers->push_back(current);
      current.clear();
    } else {
      if (!current.empty()) current += '\n';
      current += l;
    }
  }
  if (answers->size() != commands.size()) {
    *err = "answer has " + std::to_string(answers->size()) + " parts for " +
           std::to_string(commands.size()) + " commands (is the socket at level admin?)";
    return -1;
  }
  return 0;
}

namespace {

// A whole decimal number at *p, at most nine digits (what an int holds)
// unless told more; moves p past it.
bool TakeNumber(const char** p, long long* out, int max_digits = 9) {
  const char* s = *p;
  long long v = 0;
  int digits = 0;
  while (*s >= '0' && *s <= '9' && digits <= max_digits) {
    v = v * 10 + (*s++ - '0');
    ++digits;
  }
  if (digits == 0 || digits > max_digits) return false;
  *out = v;
  *p = s;
  return true;
}

bool TakeText(const char** p, const char* text) {
  size_t n = std::strlen(text);
  if (std::strncmp(*p, text, n) != 0) return false;
  *p += n;
  return true;
}

}  // namespace

size_t BatchEnd(const std::vector<std::string>& commands, size_t from, size_t max_line) {
  size_t to = from;
  size_t bytes = 0;
  while (to < commands.size()) {
    bytes += commands[to].size() + 1;  // its ';' or the line end
    if (bytes > max_line && to > from) break;
    ++to;
  }
  return to;
}

bool ParseGetWeight(const std::string& answer, int* current, int* initial) {
  const char* p = answer.c_str();
  long long c = 0, i = 0;
  if (!TakeNumber(&p, &c) || !TakeText(&p, " (initial ") || !TakeNumber(&p, &i) ||
      !TakeText(&p, ")") || *p != '\0') {
    return false;
  }
  *current = static_cast<int>(c);
  *initial = static_cast<int>(i);
  return true;
}

bool ParseShowInfo(const std::string& answer, long long* pid, long long* uptime_s) {
  bool has_pid = false, has_uptime = false;
  size_t pos = 0;
  while (pos < answer.size()) {
    size_t nl = answer.find('\n', pos);
    std::string l = answer.substr(pos, nl == std::string::npos ? std::string::npos : nl - pos);
    pos = nl == std::string::npos ? answer.size() : nl + 1;
    const char* p = l.c_str();
    if (TakeText(&p, "Pid: ")) has_pid = TakeNumber(&p, pid) && *p == '\0';
    p = l.c_str();
    if (TakeText(&p, "Uptime_sec: ")) has_uptime = TakeNumber(&p, uptime_s) && *p == '\0';
  }
  return has_pid && has_uptime;
}

bool ParseServersState(const std::string& answer, std::vector<ServerState>* out) {
  // "1", a "# be_id be_name ..." header, then be_id be_name srv_id srv_name
  // srv_addr srv_op_state srv_admin_state srv_uweight ...
  size_t pos = 0;
  bool version = false;
  while (pos < answer.size()) {
    size_t nl = answer.find('\n', pos);
    std::string l = answer.substr(pos, nl == std::string::npos ? std::string::npos : nl - pos);
    pos = nl == std::string::npos ? answer.size() : nl + 1;
    if (!version) {
      if (l != "1") return false;
      version = true;
      continue;
    }
    if (l.empty() || l[0] == '#') continue;
    std::vector<std::string> f;
    for (size_t at = 0; at < l.size();) {
      size_t end = l.find(' ', at);
      if (end == std::string::npos) end = l.size();
      if (end > at) f.push_back(l.substr(at, end - at));
      at = end + 1;
    }
    long long admin = 0, weight = 0;
    const char* a = f.size() > 7 ? f[6].c_str() : "";
    const char* w = f.size() > 7 ? f[7].c_str() : "";
    if (!TakeNumber(&a, &admin) || *a != '\0' || !TakeNumber(&w, &weight) || *w != '\0') {
      return false;
    }
    out->push_back({f[1], f[3], static_cast<int>(admin), static_cast<int>(weight)});
  }
  return version;
}

bool ParseShowStat(const std::string& answer, std::vector<ServerCounts>* out) {
  auto split = [](const std::string& l) {
    std::vector<std::string> f;
    for (size_t at = 0;;) {
      size_t end = l.find(',', at);
      f.push_back(l.substr(at, end == std::string::npos ? std::string::npos : end - at));
      if (end == std::string::npos) break;
      at = end + 1;
    }
    return f;
  };
  size_t pos = 0;
  // Columns: pxname, svname, stot, scur, mode; -1 not in the header.
  std::vector<int> col;
  while (pos < answer.size()) {
    size_t nl = answer.find('\n', pos);
    std::string l = answer.substr(pos, nl == std::string::npos ? std::string::npos : nl - pos);
    pos = nl == std::string::npos ? answer.size() : nl + 1;
    if (col.empty()) {
      if (l.rfind("# ", 0) != 0) return false;
      std::vector<std::string> names = split(l.substr(2));
      for (const char* want : {"pxname", "svname", "stot", "scur", "mode"}) {
        auto it = std::find(names.begin(), names.end(), want);
        col.push_back(it == names.end() ? -1 : static_cast<int>(it - names.begin()));
      }
      if (col[0] < 0 || col[1] < 0 || col[2] < 0 || col[3] < 0) return false;
      continue;
    }
    if (l.empty()) continue;
    std::vector<std::string> f = split(l);
    auto at = [&](int k) -> const std::string& {
      static const std::string kNone;
      return col[k] >= 0 && static_cast<size_t>(col[k]) < f.size() ? f[col[k]] : kNone;
    };
    if (at(1) == "FRONTEND" || at(1) == "BACKEND") continue;
    ServerCounts r;
    r.backend = at(0);
    r.server = at(1);
    r.http = at(4) == "http";
    // A long-lived HAProxy's totals pass what a weight or a pid can hold.
    const char* t = at(2).c_str();
    const char* o = at(3).c_str();
    if (!TakeNumber(&t, &r.total, 18) || *t != '\0' || !TakeNumber(&o, &r.open, 18) || *o != '\0') {
      return false;
    }
    out->push_back(r);
  }
  return !col.empty();
}

const char* HolderName(Holder h) {
  switch (h) {
    case Holder::kOperator: return "operator";
    case Holder::kConfig: return "config";
    case Holder::kHaproxy: return "haproxy";
    case Holder::kMap: return "map";
    case Holder::kNone: break;
  }
  return "none";
}

LbState AdminState(int admin) {
  if (admin == 0) return LbState::kReady;
  // Maintenance wins over drain, as in HAProxy.
  return (admin & ~(kAdminForcedDrain | 0x10)) != 0 ? LbState::kMaint : LbState::kDrain;
}

Holder AdminHolder(int admin, int weight, LbState silent_state) {
  if (admin == 0) return Holder::kNone;
  constexpr int kConfigMaint = 0x04;
  if ((admin & kConfigMaint) != 0) return Holder::kConfig;
  if ((admin & ~(kAdminForcedMaint | kAdminForcedDrain)) != 0) return Holder::kHaproxy;
  int ours = silent_state == LbState::kMaint ? kAdminForcedMaint : kAdminForcedDrain;
  return admin == ours && weight == 0 ? Holder::kNone : Holder::kOperator;
}

}  // namespace coord
