#include "Coordinator.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace coord {

const char* const kProgram = "keld4-coordinator";
const char* const kVersion = KELD4_VERSION;

namespace {

// The largest UDP payload over IPv4 is 65,507 bytes, so nothing is cut off.
constexpr size_t kRecvBufferSize = 65536;
// Datagrams taken per wake-up before timers are looked at again.
constexpr int kRecvBurst = 256;
constexpr int64_t kRedrawMs = 1000;
// How often a virtual report address is looked for besides netlink's notices.
constexpr int64_t kActivityCheckMs = 1000;
// Dry-run commands kept under the live table.
constexpr size_t kDryRunShown = 8;
// How often the HTTP side gets a fresh snapshot.
constexpr int64_t kPublishMs = 1000;

double WallSeconds() {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

int64_t MonotonicMs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

sockaddr_in MakeSockaddr(uint32_t addr, uint16_t port) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(port);
  sa.sin_addr.s_addr = htonl(addr);
  return sa;
}

std::string AddrList(const std::vector<uint32_t>& list) {
  std::string out = "[";
  for (size_t i = 0; i < list.size(); ++i) {
    char buf[16];
    FormatAddr(list[i], buf);
    if (i != 0) out += ",";
    out += "\"";
    out += buf;
    out += "\"";
  }
  out += "]";
  return out;
}

std::string ServerList(const std::vector<ServerMapping>& list) {
  std::string out = "{";
  for (size_t i = 0; i < list.size(); ++i) {
    char buf[16];
    FormatAddr(list[i].agent, buf);
    if (i != 0) out += ",";
    out += "\"" + std::string(buf) + "\":\"" + list[i].Name() + "\"";
  }
  out += "}";
  return out;
}

}  // namespace

CCoordinator::CCoordinator(const CoordinatorOptions& o)
    : opt_(o), table_(o.settings.alive, o.settings.cpu_interval), buf_(kRecvBufferSize) {
  if (!opt_.servers.empty()) {
    balancer_ =
        std::make_unique<CBalancer>(opt_.servers, opt_.policy, opt_.silent_state, opt_.haproxy,
                                    opt_.dry_run, [this](const LbEvent& e) { OnLbEvent(e); });
    for (const ServerMapping& m : opt_.servers) table_.Expect(m.agent);
  }
  if (opt_.follow_address) watch_ = std::make_unique<CAddressWatch>(opt_.address);
}

CCoordinator::~CCoordinator() {
  if (http_) http_->Stop();
  if (sock_ >= 0) close(sock_);
  if (sigfd_ >= 0) close(sigfd_);
}

int CCoordinator::Run() {
  if (Setup() != 0) return 1;
  start_ms_ = MonotonicMs();
  start_wall_s_ = WallSeconds();
  now_ms_ = start_ms_;
  if (board_) next_publish_ = start_ms_;
  tty_ = !opt_.json && isatty(STDOUT_FILENO) == 1;
  EmitStart();
  active_ = !watch_ || watch_->Held();
  if (watch_) {
    char a[16];
    FormatAddr(opt_.address, a);
    if (!active_) {
      std::fprintf(stderr, "%s: %s is not assigned here: standby until it is\n", kProgram, a);
    }
    CJsonLine j = Event(active_ ? "active" : "standby", start_ms_);
    j.Addr("address", opt_.address);
    Emit(j);
  }
  if (balancer_) balancer_->Start(start_ms_, table_.SilenceMs());
  if (tty_) std::fputs("\x1b[2J", stdout);

  next_send_ = active_ ? start_ms_ : -1;
  int64_t next_draw = start_ms_;
  int64_t next_check = watch_ ? start_ms_ + kActivityCheckMs : -1;
  int64_t end_at = opt_.duration_ms > 0 ? start_ms_ + opt_.duration_ms : -1;
  while (end_reason_ == nullptr) {
    int64_t now = MonotonicMs();
    now_ms_ = now;
    if (watch_ && now >= next_check) {
      CheckActivity(now);
      next_check = now + kActivityCheckMs;
    }
    if (next_send_ >= 0 && now >= next_send_) {
      SendRound(now);
      next_send_ = opt_.resend != 0 ? now + 1000 * static_cast<int64_t>(opt_.resend) : -1;
    }
    for (size_t i : table_.CheckSilence(now)) {
      EmitSilent(table_.Rows()[i], now);
      if (balancer_) balancer_->OnGone(table_.Rows()[i].addr, "silent");
    }
    // Only the holder of the report address writes to HAProxy.
    if (balancer_ && active_) {
      balancer_->Tick(now);
      now = MonotonicMs();  // the socket may have taken a while
      now_ms_ = now;
    }
    if (end_at >= 0 && now >= end_at) {
      end_reason_ = "duration";
      break;
    }
    if (next_publish_ >= 0 && now >= next_publish_) {
      Publish(now);
      next_publish_ = now + kPublishMs;
    }
    if (tty_ && now >= next_draw) {
      Draw(now);
      next_draw = now + kRedrawMs;
    }
    if (end_reason_ != nullptr) break;

    int64_t wake = -1;
    for (int64_t t : {next_send_, end_at, tty_ ? next_draw : -1, next_publish_,
                      table_.NextSilenceDue(), next_check,
                      balancer_ && active_ ? balancer_->NextDue(now) : -1}) {
      if (t >= 0 && (wake < 0 || t < wake)) wake = t;
    }
    int timeout = -1;
    if (wake >= 0) {
      int64_t left = wake - now;
      if (left < 0) left = 0;
      timeout = left > 60000 ? 60000 : static_cast<int>(left);
    }
    pollfd fds[3] = {
        {sock_, POLLIN, 0}, {sigfd_, POLLIN, 0}, {watch_ ? watch_->Fd() : -1, POLLIN, 0}};
    int n = poll(fds, 3, timeout);
    if (n < 0) {
      if (errno == EINTR) continue;
      Fatal("poll", errno);
      break;
    }
    if (fds[1].revents != 0) {
      signalfd_siginfo si{};
      ssize_t got = read(sigfd_, &si, sizeof(si));
      if (got == static_cast<ssize_t>(sizeof(si)) && si.ssi_signo == SIGHUP) {
        Reload(MonotonicMs());
        continue;
      }
      end_reason_ = "signal";
      break;
    }
    // An address change is acted on before the datagrams that follow it.
    if (fds[2].revents != 0 && watch_->Drain()) CheckActivity(MonotonicMs());
    if (fds[0].revents != 0) Receive();
  }
  // What the last reports decided still goes out.
  if (balancer_ && active_) {
    now_ms_ = MonotonicMs();
    balancer_->Tick(now_ms_);
  }
  Finish(MonotonicMs());
  if (http_) http_->Stop();
  return exit_code_;
}

void CCoordinator::CheckActivity(int64_t now) {
  bool held = watch_->Held();
  if (held != active_) SetActive(held, now);
}

void CCoordinator::SetActive(bool active, int64_t now) {
  active_ = active;
  ++activity_changes_;
  now_ms_ = now;
  if (active) {
    // The agents may have been reporting to the other node until now: each
    // gets its full silence period to reach us before its server counts as
    // silent, and the Coor_alive goes out at once.
    table_.Grace(now);
    if (balancer_) balancer_->Start(now, table_.SilenceMs());
    next_send_ = now;
  } else {
    next_send_ = -1;
  }
  // One line per change, so that a service's journal shows each failover.
  char a[16];
  FormatAddr(opt_.address, a);
  std::fprintf(
      stderr,
      active ? "%s: %s is assigned here: active\n" : "%s: %s is no longer assigned here: standby\n",
      kProgram, a);
  CJsonLine j = Event(active ? "active" : "standby", now);
  j.Addr("address", opt_.address);
  Emit(j);
}

void CCoordinator::Reload(int64_t now) {
  now_ms_ = now;
  if (opt_.server_map.empty()) return;
  std::vector<ServerMapping> servers;
  std::vector<uint32_t> agents;
  std::string why;
  CJsonLine j = Event("reload", now);
  j.Str("config", opt_.server_map);
  if (LoadServers(opt_, &servers, &agents, &why) != 0 || (servers.empty() && balancer_)) {
    if (why.empty()) why = "--config " + opt_.server_map + " maps no server";
    // A broken edit must not take every server out: the old map stays.
    std::fprintf(stderr, "%s: SIGHUP: %s; the server map is unchanged\n", kProgram, why.c_str());
    j.Str("error", why);
    Emit(j);
    return;
  }
  opt_.servers = servers;
  std::vector<uint32_t> old_agents = opt_.agents;
  opt_.agents = agents;
  // A newly mapped agent is configured now, not at the next round.
  for (uint32_t a : agents) {
    if (active_ && std::find(old_agents.begin(), old_agents.end(), a) == old_agents.end()) {
      SendOne(a, false, now);
    }
  }
  for (const ServerMapping& m : servers) table_.Expect(m.agent);
  if (balancer_) balancer_->Remap(servers);
  j.Num("servers", servers.size());
  Emit(j);
}

int CCoordinator::Setup() {
  sigset_t mask;
  sigemptyset(&mask);
  sigaddset(&mask, SIGINT);
  sigaddset(&mask, SIGTERM);
  sigaddset(&mask, SIGHUP);
  // Delivered through the descriptor, so no signal can slip in between a
  // check and the wait.
  if (sigprocmask(SIG_BLOCK, &mask, nullptr) != 0 ||
      (sigfd_ = signalfd(-1, &mask, SFD_CLOEXEC | SFD_NONBLOCK)) < 0) {
    std::fprintf(stderr, "%s: cannot set up signal handling: %s\n", kProgram, std::strerror(errno));
    return -1;
  }
  signal(SIGPIPE, SIG_IGN);

  char listen[16];
  FormatAddr(opt_.listen, listen);
  sock_ = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (sock_ < 0) {
    std::fprintf(stderr, "%s: cannot create a UDP socket: %s\n", kProgram, std::strerror(errno));
    return -1;
  }
  int on = 1;
  if (!opt_.broadcasts.empty() &&
      setsockopt(sock_, SOL_SOCKET, SO_BROADCAST, &on, sizeof(on)) != 0) {
    std::fprintf(stderr, "%s: cannot enable broadcast: %s\n", kProgram, std::strerror(errno));
    return -1;
  }
  sockaddr_in sa = MakeSockaddr(opt_.listen, opt_.port);
  if (bind(sock_, reinterpret_cast<sockaddr*>(&sa), sizeof(sa)) != 0) {
    std::fprintf(stderr, "%s: cannot listen on %s:%u: %s\n", kProgram, listen, opt_.port,
                 std::strerror(errno));
    return -1;
  }
  // Without netlink the check each second still follows the address.
  if (watch_) watch_->Open();
  return StartMetrics();
}

// Bound before anything is sent, so a port in use ends the run at once.
int CCoordinator::StartMetrics() {
  if (!opt_.has_metrics) return 0;
  board_ = std::make_unique<CStatusBoard>(opt_.servers.size());
  http_ = std::make_unique<CMetricsServer>(*board_);
  std::string why = http_->Bind(opt_.metrics_addr, opt_.metrics_port);
  if (!why.empty()) {
    char addr[16];
    FormatAddr(opt_.metrics_addr, addr);
    std::fprintf(stderr, "%s: cannot serve metrics on %s:%u: %s\n", kProgram, addr,
                 opt_.metrics_port, why.c_str());
    http_.reset();
    return -1;
  }
  http_->Start();
  return 0;
}

void CCoordinator::Publish(int64_t now) {
  auto s = std::make_shared<CoordinatorStatus>();
  char listen[16];
  FormatAddr(opt_.listen, listen);
  s->version = kVersion;
  s->listen = std::string(listen) + ":" + std::to_string(opt_.port);
  s->time_s = WallSeconds();
  s->start_s = start_wall_s_;
  s->active = active_;
  s->agents_configured = opt_.agents.size();
  s->received = received_;
  s->malformed = malformed_;
  s->alive_sent = sent_;
  s->alive_failed = alive_failed_;
  s->agents.reserve(table_.Rows().size());
  for (const AgentRow& r : table_.Rows()) {
    AgentStatus a;
    a.addr = r.addr;
    a.state = r.state;
    a.load = r.has_load ? static_cast<int>(r.load) : -1;
    int64_t last = std::max({r.last_alive_ms, r.last_load_ms, r.last_live_ms});
    if (last >= 0) a.last_report_s = s->time_s - static_cast<double>(now - last) / 1000.0;
    s->agents.push_back(a);
  }
  if (balancer_) balancer_->Fill(&s->servers, &s->endpoints);
  s->backends = BackendsOf(s->servers);
  board_->Publish(std::move(s), now);
}

void CCoordinator::Emit(CJsonLine& j) {
  if (!opt_.json) return;
  std::fputs(j.Text().c_str(), stdout);
  std::fputc('\n', stdout);
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
    // Nobody reads our events any more; stop rather than run blind.
    if (end_reason_ == nullptr) end_reason_ = "output";
    exit_code_ = 1;
    opt_.json = false;
  }
}

CJsonLine CCoordinator::Event(const char* name, int64_t now) {
  CJsonLine j;
  j.Str("event", name).Seconds("t", Elapsed(now));
  return j;
}

void CCoordinator::EmitStart() {
  CJsonLine j = Event("start", start_ms_);
  j.Endpoint("listen", opt_.listen, opt_.port)
      .Addr("address", opt_.SourceAddr())
      .Raw("agents", AddrList(opt_.agents))
      .Raw("broadcasts", AddrList(opt_.broadcasts))
      .Num("loglevel", opt_.settings.loglevel)
      .Num("log_refresh", opt_.settings.log_refresh)
      .Num("alive", opt_.settings.alive)
      .Num("cpu_interval", opt_.settings.cpu_interval)
      .Num("resend", opt_.resend)
      .Bool("virtual", opt_.follow_address);
  if (opt_.duration_ms > 0) {
    j.Seconds("duration", opt_.duration_ms);
  } else {
    j.Null("duration");
  }
  if (opt_.count > 0) {
    j.Num("count", opt_.count);
  } else {
    j.Null("count");
  }
  if (balancer_) {
    std::string list = "[";
    for (const std::string& h : opt_.haproxy) {
      if (list.size() > 1) list += ",";
      list += "\"";
      for (char c : h) {
        if (c == '"' || c == '\\') list += '\\';
        list += c;
      }
      list += "\"";
    }
    j.Raw("haproxy", list + "]");
    j.Raw("servers", ServerList(opt_.servers)).Bool("dry_run", opt_.dry_run);
  }
  Emit(j);
}

void CCoordinator::SendOne(uint32_t des, bool broadcast, int64_t now) {
  uint8_t msg[kCoorAliveSize];
  EncodeCoorAlive(opt_.SourceAddr(), des, opt_.settings, msg);
  sockaddr_in sa = MakeSockaddr(des, opt_.port);
  iovec iov = {msg, sizeof(msg)};
  msghdr mh{};
  mh.msg_name = &sa;
  mh.msg_namelen = sizeof(sa);
  mh.msg_iov = &iov;
  mh.msg_iovlen = 1;
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(in_pktinfo))] = {};
  if (watch_) {
    // The virtual address as the UDP source, so that an agent that accepts
    // Coor_alive only from listed sources needs to list just that address.
    mh.msg_control = control;
    mh.msg_controllen = sizeof(control);
    cmsghdr* c = CMSG_FIRSTHDR(&mh);
    c->cmsg_level = IPPROTO_IP;
    c->cmsg_type = IP_PKTINFO;
    c->cmsg_len = CMSG_LEN(sizeof(in_pktinfo));
    in_pktinfo pi{};
    pi.ipi_spec_dst.s_addr = htonl(opt_.address);
    std::memcpy(CMSG_DATA(c), &pi, sizeof(pi));
  }
  ssize_t n = sendmsg(sock_, &mh, 0);
  if (n == static_cast<ssize_t>(sizeof(msg))) {
    ++sent_;
    CJsonLine j = Event("sent", now);
    j.Addr("to", des).Num("port", opt_.port).Bool("broadcast", broadcast).Num("bytes", 68);
    Emit(j);
    return;
  }
  // One unreachable agent must not stop the others being configured; the
  // failure shows in the exit code.
  int err = n < 0 ? errno : EMSGSIZE;
  if (watch_ && !watch_->Held()) {
    // The virtual address went between the check and the send: a failover,
    // not a fault.
    SetActive(false, now);
    return;
  }
  ++alive_failed_;
  char to[16];
  FormatAddr(des, to);
  std::fprintf(stderr, "%s: cannot send to %s:%u: %s\n", kProgram, to, opt_.port,
               std::strerror(err));
  exit_code_ = 1;
  CJsonLine j = Event("error", now);
  j.Str("op", "sendto").Addr("to", des).Str("message", std::strerror(err));
  Emit(j);
}

void CCoordinator::SendRound(int64_t now) {
  for (uint32_t a : opt_.agents) {
    if (active_) SendOne(a, false, now);
  }
  for (uint32_t a : opt_.broadcasts) {
    if (active_) SendOne(a, true, now);
  }
}

void CCoordinator::Receive() {
  for (int i = 0; i < kRecvBurst && end_reason_ == nullptr; ++i) {
    sockaddr_in from{};
    socklen_t from_len = sizeof(from);
    ssize_t n =
        recvfrom(sock_, buf_.data(), buf_.size(), 0, reinterpret_cast<sockaddr*>(&from), &from_len);
    if (n < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return;
      // Reports of earlier sends to unreachable hosts, not a broken socket.
      if (errno == ECONNREFUSED || errno == EHOSTUNREACH || errno == ENETUNREACH) continue;
      Fatal("recvfrom", errno);
      return;
    }
    ++received_;
    Handle(static_cast<size_t>(n), ntohl(from.sin_addr.s_addr), ntohs(from.sin_port),
           MonotonicMs());
  }
}

void CCoordinator::Handle(size_t n, uint32_t from_addr, uint16_t from_port, int64_t now) {
  now_ms_ = now;
  Decoded d;
  DecodeDatagram(buf_.data(), n, &d);
  if (d.kind == Kind::kEcho) return;
  bool came_up = false;
  const AgentRow* row = table_.Record(d, from_addr, from_port, now, &came_up);
  uint32_t agent = d.has_header ? d.src : from_addr;
  if (d.kind == Kind::kMalformed) {
    ++malformed_;
    CJsonLine j = Event("malformed", now);
    j.Addr("agent", agent)
        .Endpoint("from", from_addr, from_port)
        .Num("bytes", n)
        .Str("reason", d.reason)
        .Str("detail", d.detail);
    Emit(j);
    return;
  }
  ++valid_;
  const char* state = row != nullptr ? StateName(row->state) : "untracked";
  const char* name = d.kind == Kind::kAlive     ? "alive"
                     : d.kind == Kind::kCpuLoad ? "cpu_load"
                                                : "down";
  CJsonLine j = Event(name, now);
  j.Addr("agent", agent).Endpoint("from", from_addr, from_port).Addr("des", d.des);
  if (d.kind == Kind::kAlive) {
    j.Num("ostype", d.ostype).Str("mac", d.mac).Num("mhz", d.mhz);
  } else if (d.kind == Kind::kCpuLoad) {
    j.Num("load", d.load);
  } else {
    // The down message carries the OS type code in param.
    j.Num("ostype", d.param).Num("sequence", d.sequence);
  }
  j.Str("state", state).Bool("came_up", came_up);
  Emit(j);
  if (balancer_ && row != nullptr) {
    if (d.kind == Kind::kDown) {
      balancer_->OnGone(agent, "down");
    } else {
      balancer_->OnReport(agent, d.kind == Kind::kCpuLoad, d.load, came_up);
    }
  }
  if (opt_.count != 0 && valid_ >= opt_.count && end_reason_ == nullptr) end_reason_ = "count";
}

void CCoordinator::EmitSilent(const AgentRow& r, int64_t now) {
  CJsonLine j = Event("silent", now);
  j.Addr("agent", r.addr).Seconds("quiet", now - r.last_live_ms);
  Emit(j);
}

void CCoordinator::OnLbEvent(const LbEvent& e) {
  const char* names[] = {"weight", "state", "haproxy_error", "haproxy"};
  CJsonLine j = Event(names[static_cast<int>(e.kind)], now_ms_);
  auto value = [&j, &e](const char* key, const std::string& v) {
    if (v.empty()) {
      j.Null(key);
    } else if (e.kind == LbEvent::Kind::kWeight) {
      j.Raw(key, v);
    } else {
      j.Str(key, v);
    }
  };
  switch (e.kind) {
    case LbEvent::Kind::kWeight:
    case LbEvent::Kind::kState:
      j.Addr("agent", e.agent).Str("server", e.server);
      value("old", e.old_value);
      value("new", e.new_value);
      if (e.load >= 0) {
        j.Num("load", static_cast<uint64_t>(e.load));
      } else {
        j.Null("load");
      }
      j.Str("reason", e.reason).Str("command", e.command).Bool("dry_run", opt_.dry_run);
      if (!e.endpoint.empty()) j.Str("haproxy", e.endpoint);
      if (!e.message.empty()) {
        j.Str("error", e.message);
        char a[16];
        FormatAddr(e.agent, a);
        std::fprintf(stderr, "%s: HAProxy %s refused '%s' (agent %s): %s\n", kProgram,
                     e.endpoint.c_str(), e.command.c_str(), a, e.message.c_str());
      }
      if (opt_.dry_run && !opt_.json) {
        if (tty_) {
          dry_run_lines_.push_back(e.command);
          if (dry_run_lines_.size() > kDryRunShown) dry_run_lines_.erase(dry_run_lines_.begin());
        } else {
          std::printf("%s\n", e.command.c_str());
          std::fflush(stdout);
        }
      }
      break;
    case LbEvent::Kind::kServer: {
      char a[16];
      FormatAddr(e.agent, a);
      // Once per server and HAProxy run; the other servers go on.
      std::fprintf(
          stderr, "%s: HAProxy %s has no server %s (mapped to agent %s): '%s' answered: %s\n",
          kProgram, e.endpoint.c_str(), e.server.c_str(), a, e.command.c_str(), e.message.c_str());
      j.Str("haproxy", e.endpoint)
          .Addr("agent", e.agent)
          .Str("server", e.server)
          .Str("command", e.command)
          .Str("message", e.message);
      break;
    }
    case LbEvent::Kind::kLink:
      if (e.reason == "lost") {
        std::fprintf(stderr, "%s: HAProxy at %s: %s; retrying\n", kProgram, e.endpoint.c_str(),
                     e.message.c_str());
      }
      j.Str("status", e.reason).Str("socket", e.endpoint).Str("message", e.message);
      break;
  }
  Emit(j);
}

void CCoordinator::Fatal(const char* op, int err) {
  std::fprintf(stderr, "%s: %s failed: %s\n", kProgram, op, std::strerror(err));
  exit_code_ = 1;
  end_reason_ = "error";
}

std::string CCoordinator::Title(int64_t now) const {
  char listen[16], address[16], buf[200];
  FormatAddr(opt_.listen, listen);
  FormatAddr(opt_.SourceAddr(), address);
  std::snprintf(buf, sizeof(buf),
                "%s on %s:%u, agents report to %s; %llu Coor_alive sent, %llu messages, "
                "%llu malformed, %llds",
                kProgram, listen, opt_.port, address, static_cast<unsigned long long>(sent_),
                static_cast<unsigned long long>(valid_),
                static_cast<unsigned long long>(malformed_),
                static_cast<long long>(Elapsed(now) / 1000));
  std::string title = buf;
  if (watch_) {
    title += active_ ? "; active (holds " + std::string(address) + ")"
                     : "; standby (" + std::string(address) + " is not assigned here)";
    title += ", " + std::to_string(activity_changes_) + " change(s)";
  }
  return title;
}

std::vector<std::string> CCoordinator::Lines(int64_t now, size_t max_rows) const {
  std::vector<std::string> out = {Title(now)};
  if (balancer_) {
    for (std::string& l : balancer_->Status()) out.push_back(std::move(l));
  } else {
    out.emplace_back("");
  }
  LbColumns lb;
  if (balancer_) {
    const CBalancer* b = balancer_.get();
    lb = [b](uint32_t agent, std::string* w, std::string* s) { return b->View(agent, w, s); };
  }
  for (std::string& l : TableLines(table_.Rows(), now, max_rows, lb)) out.push_back(std::move(l));
  if (!dry_run_lines_.empty()) {
    out.emplace_back("");
    for (const std::string& c : dry_run_lines_) out.push_back("would send: " + c);
  }
  return out;
}

// Redraws the screen from its top; each line clears its own rest.
void CCoordinator::Draw(int64_t now) {
  winsize ws{};
  size_t max_rows = 0;
  size_t reserved = 3 + (balancer_ ? balancer_->Endpoints().size() : 1) +
                    (dry_run_lines_.empty() ? 0 : dry_run_lines_.size() + 1);
  if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_row > reserved) {
    max_rows = ws.ws_row - reserved;
  }
  std::string out = "\x1b[H";
  for (const std::string& line : Lines(now, max_rows)) out += line + "\x1b[K\n";
  out += "\x1b[J";
  std::fputs(out.c_str(), stdout);
  std::fflush(stdout);
}

void CCoordinator::Finish(int64_t now) {
  if (opt_.json) {
    CJsonLine j = Event("end", now);
    j.Str("reason", end_reason_ != nullptr ? end_reason_ : "error")
        .Num("sent", sent_)
        .Num("valid", valid_)
        .Num("malformed", malformed_)
        .Num("untracked", table_.Untracked())
        .Raw("agents", RowsJson(table_.Rows(), now));
    Emit(j);
    return;
  }
  if (tty_) {
    Draw(now);
    return;
  }
  std::string out;
  for (const std::string& line : Lines(now, 0)) out += line + "\n";
  std::fputs(out.c_str(), stdout);
  std::fflush(stdout);
}

}  // namespace coord
