// SPDX-License-Identifier: Apache-2.0
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
#include <unordered_map>
#include <unordered_set>

#include "Clock.h"
#include "Errors.h"
#include "Hearing.h"
#include "Reload.h"

namespace coord {

const char* const kProgram = "keld4-coordinator";
const char* const kVersion = KELD4_VERSION;

namespace {

// The largest UDP payload over IPv4 is 65,507 bytes, so nothing is cut off;
// only the pages a datagram lands on are ever touched.
constexpr size_t kRecvBufferSize = 65536;
// Datagrams per recvmmsg call, and calls per pass before timers are looked
// at again: a pass must take more than arrives while HAProxy is being
// written to (tens of milliseconds), or the buffer only ever fills.
constexpr unsigned kRecvBatch = 64;
constexpr int kRecvCalls = 256;
// Between two passes over the socket the kernel's buffer gathers a fleet's
// reports, so a pass takes many at once instead of waking for each one.
constexpr int64_t kRecvGapMs = 5;
// HAProxy hears of the changes of this long at once, in one connection.
constexpr int64_t kLbGapMs = 100;
constexpr int64_t kDropsEventMs = 1000;

// A Coor_alive target: no send yet, its latest send went out, or it fails
// (reported once, until a send goes out again).
enum TargetState : uint8_t { kNotYet, kSent, kFailing };
constexpr int64_t kRedrawMs = 1000;
// How often a virtual report address is looked for besides netlink's notices.
constexpr int64_t kActivityCheckMs = 1000;
// Dry-run commands kept under the live table.
constexpr size_t kDryRunShown = 8;
// How often the HTTP side gets a fresh snapshot.
constexpr int64_t kPublishMs = 1000;
// How often the fleet's hearing is counted besides each silence verdict.
constexpr int64_t kHearingCheckMs = 500;

double WallSeconds() {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

sockaddr_in MakeSockaddr(uint32_t addr, uint16_t port) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(port);
  sa.sin_addr.s_addr = htonl(addr);
  return sa;
}

}  // namespace

CCoordinator::CCoordinator(const CoordinatorOptions& o)
    : opt_(o), table_(o.settings.alive, o.settings.cpu_interval, o.max_agents),
      buf_(kRecvBufferSize * kRecvBatch) {
  if (!opt_.servers.empty()) {
    auto sink = [this](const LbEvent& e) { OnLbEvent(e); };
    if (!opt_.nftables_file.empty()) {
      DriverSpec setup;
      setup.table = opt_.nftables_table;
      setup.services = opt_.l4_services;
      setup.max_weight = opt_.policy.max_weight;
      std::vector<std::unique_ptr<CDriver>> drivers;
      drivers.push_back(MakeDriver(opt_.dry_run ? "dryrun" : "nftables", setup));
      balancer_ = std::make_unique<CBalancer>(opt_.servers, opt_.policy, opt_.silent_state,
                                              std::move(drivers), sink);
    } else {
      balancer_ = std::make_unique<CBalancer>(opt_.servers, opt_.policy, opt_.silent_state,
                                              opt_.haproxy, opt_.dry_run, sink);
    }
    balancer_->SetMaxDrain(opt_.max_drain);
    // Reports keep coming while HAProxy takes a large change.
    balancer_->SetBetweenBatches([this] {
      Receive();
      live_.Beat(MonotonicMs());
    });
    for (const ServerMapping& m : opt_.servers) table_.Expect(m.agent);
  }
  SetTargets();
  if (opt_.follow_address) watch_ = std::make_unique<CAddressWatch>(opt_.address);
}

CCoordinator::~CCoordinator() {
  if (http_) http_->Stop();
  if (sock_ >= 0) close(sock_);
  if (sigfd_ >= 0) close(sigfd_);
}

int CCoordinator::Run() {
  if (Setup() != 0) return 1;
  Begin();
  while (end_reason_ == nullptr) {
    int64_t now = DoDue();
    if (end_reason_ != nullptr) break;
    WaitAndHandle(now);
  }
  End();
  return exit_code_;
}

// The start event, the first activity state and the timers.
void CCoordinator::Begin() {
  start_ms_ = MonotonicMs();
  start_wall_s_ = WallSeconds();
  now_ms_ = start_ms_;
  if (board_) next_publish_ = start_ms_;
  tty_ = !opt_.json && isatty(STDOUT_FILENO) == 1;
  // Events are flushed once per pass, not once per line.
  if (opt_.json) std::setvbuf(stdout, nullptr, _IOFBF, 1 << 16);
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
    if (!active_) table_.Pause();
    if (!active_ && balancer_) balancer_->Prepare();
  }
  if (balancer_) {
    balancer_->Start(start_ms_, table_.SilenceMs());
    RefreshValves();
    // The first count falls on the end of the grace, before the balancer
    // judges the agents it has not heard.
    judge_from_ms_ = start_ms_ + table_.SilenceMs();
    next_hearing_ = active_ ? judge_from_ms_ : -1;
  }
  if (tty_) std::fputs("\x1b[2J", stdout);

  round_start_ms_ = start_ms_;
  next_draw_ = start_ms_;
  next_read_ = start_ms_;
  next_check_ = watch_ ? start_ms_ + kActivityCheckMs : -1;
  end_at_ = opt_.duration_ms > 0 ? start_ms_ + opt_.duration_ms : -1;
  live_.Ready(start_ms_);
}

// Everything whose time has come; returns the time it ends at.
int64_t CCoordinator::DoDue() {
  int64_t now = MonotonicMs();
  now_ms_ = now;
  live_.Beat(now);
  if (watch_ && now >= next_check_) {
    CheckActivity(now);
    next_check_ = now + kActivityCheckMs;
  }
  // A standby sends no Coor_alive, and judges no silence: the agents
  // report to the active node.
  if (active_ && !send_blocked_) SendDue(now);
  if (active_) {
    std::vector<size_t> silent = table_.CheckSilence(now);
    if (balancer_ && (!silent.empty() || (next_hearing_ >= 0 && now >= next_hearing_))) {
      CheckHearing(now);
    }
    for (size_t i : silent) {
      EmitSilent(table_.Rows()[i], now);
      if (balancer_) balancer_->OnGone(table_.Rows()[i].addr, "silent");
    }
  }
  // Only the holder of the report address writes to HAProxy.
  if (balancer_ && active_ && now >= lb_due_ms_) {
    balancer_->Tick(now);
    // A large change goes out in slices with the socket read in between.
    lb_due_ms_ = balancer_->Backlog() ? now : now + kLbGapMs;
    now = MonotonicMs();  // the socket may have taken a while
    now_ms_ = now;
  }
  if (balancer_) RefreshValves();
  EmitDrops(now);
  EmitTable(now);
  if (end_at_ >= 0 && now >= end_at_) {
    end_reason_ = "duration";
    return now;
  }
  bool publish = next_publish_ >= 0 && now >= next_publish_;
  bool draw = tty_ && now >= next_draw_;
  if (publish || draw) {
    std::shared_ptr<const CoordinatorStatus> s = Snapshot(now, draw);
    if (draw) {
      Draw(*s);
      next_draw_ = now + kRedrawMs;
    }
    if (publish) {
      board_->Publish(std::move(s), now);
      next_publish_ = now + kPublishMs;
    }
  }
  return now;
}

// Sleeps until the next due time or until the socket, a signal or the
// address watch has something, and takes it.
void CCoordinator::WaitAndHandle(int64_t now) {
  bool reading = now >= next_read_;
  int64_t lb_due = balancer_ && active_ ? balancer_->NextDue(now) : -1;
  if (lb_due >= 0 && lb_due < lb_due_ms_) lb_due = lb_due_ms_;
  bool drops_pending =
      opt_.json && counters_.kernel_drops + counters_.source_drops != drops_emitted_;
  int64_t wake = -1;
  for (int64_t t :
       {send_blocked_ || !active_ ? -1 : SendAt(round_next_), end_at_, tty_ ? next_draw_ : -1,
        next_publish_, active_ ? table_.NextSilenceDue() : -1, active_ ? next_hearing_ : -1,
        next_check_, lb_due, reading ? -1 : next_read_, drops_pending ? drops_due_ms_ : -1,
        TablePending() ? table_due_ms_ : -1, live_.NextDue()}) {
    if (t >= 0 && (wake < 0 || t < wake)) wake = t;
  }
  int timeout = -1;
  if (wake >= 0) {
    int64_t left = wake - now;
    if (left < 0) left = 0;
    timeout = left > 60000 ? 60000 : static_cast<int>(left);
  }
  Flush();
  short events = static_cast<short>((reading ? POLLIN : 0) | (send_blocked_ ? POLLOUT : 0));
  pollfd fds[3] = {
      {sock_, events, 0}, {sigfd_, POLLIN, 0}, {watch_ ? watch_->Fd() : -1, POLLIN, 0}};
  int n = poll(fds, 3, timeout);
  if (n < 0) {
    if (errno != EINTR) Fatal("poll", errno);
    return;
  }
  if (fds[1].revents != 0) {
    signalfd_siginfo si{};
    ssize_t got = read(sigfd_, &si, sizeof(si));
    if (got == static_cast<ssize_t>(sizeof(si)) && si.ssi_signo == SIGHUP) {
      Reload(MonotonicMs());
    } else {
      end_reason_ = "signal";
    }
    return;
  }
  // An address change is acted on before the datagrams that follow it.
  if (fds[2].revents != 0 && watch_->Drain()) CheckActivity(MonotonicMs());
  if ((fds[0].revents & (POLLOUT | POLLERR)) != 0) send_blocked_ = false;
  if ((fds[0].revents & (POLLIN | POLLERR)) != 0) {
    Receive();
    next_read_ = MonotonicMs() + kRecvGapMs;
  }
}

void CCoordinator::End() {
  live_.Stopping();
  // What the last reports decided still goes out.
  for (int slice = 0; balancer_ && active_ && slice < 1000; ++slice) {
    now_ms_ = MonotonicMs();
    balancer_->Tick(now_ms_);
    RefreshValves();
    if (!balancer_->Backlog()) break;
  }
  Finish(MonotonicMs());
  Flush();
  if (http_) http_->Stop();
}

// The valve's look at the whole fleet; counted from the end of the grace a
// start gives, since before it nobody can be silent.
void CCoordinator::CheckHearing(int64_t now) {
  next_hearing_ = now + kHearingCheckMs;
  if (now < judge_from_ms_ || table_.SilenceMs() == 0) return;
  const CBalancer* b = balancer_.get();
  hearing_ =
      CountHearing(table_, opt_.servers, now, [b](uint32_t agent) { return b->TakenOut(agent); });
  // --max-drain 100 is no valve at all.
  bool deaf = opt_.max_drain < 100 && FleetDeaf(hearing_);
  if (deaf == balancer_->Deaf()) return;
  balancer_->SetDeaf(deaf, now);
  RefreshValves();
  std::fprintf(stderr,
               deaf ? "%s: WARN: %zu of %zu agents heard lately: the coordinator is deaf and "
                      "drains nobody for silence\n"
                    : "%s: %zu of %zu agents heard lately: silence counts again\n",
               kProgram, hearing_.heard, hearing_.expected);
  CJsonLine j = Event("deaf", now);
  j.Str("status", deaf ? "holding" : "released")
      .Num("heard", hearing_.heard)
      .Num("expected", hearing_.expected);
  Emit(j);
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
    if (balancer_) {
      balancer_->Start(now, table_.SilenceMs());
      RefreshValves();
      lb_due_ms_ = now;
      judge_from_ms_ = now + table_.SilenceMs();
      next_hearing_ = judge_from_ms_;
    }
    round_start_ms_ = now;
    round_spread_ms_ = 0;
    round_next_ = 0;
  } else {
    table_.Pause();
    if (balancer_) {
      balancer_->Stop();
      RefreshValves();
      next_hearing_ = -1;
    }
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
  bool with_options = !opt_.options_file.empty();
  if (opt_.server_map.empty() && !with_options) return;
  std::vector<ServerMapping> servers;
  std::vector<uint32_t> agents;
  std::string why;
  CJsonLine j = Event("reload", now);
  CoordinatorOptions reread;
  std::vector<std::string> refused;
  if (with_options) {
    j.Str("options", opt_.options_file);
    // The options file and the server map it names, read whole first: a
    // broken line keeps every old value.
    if (RereadOptions(opt_, &reread, &refused, &why) != 0) {
      std::fprintf(stderr, "%s: SIGHUP: %s; every option and the server map are unchanged\n",
                   kProgram, why.c_str());
      j.Str("error", why);
      Emit(j);
      return;
    }
    servers = reread.servers;
    agents = reread.agents;
  }
  const std::string& map = with_options ? reread.server_map : opt_.server_map;
  if (!map.empty()) j.Str("config", map);
  if ((!with_options && LoadServers(opt_, &servers, &agents, &why) != 0) ||
      (servers.empty() && balancer_)) {
    if (why.empty()) why = "--config " + map + " maps no server";
    // A broken edit must not take every server out: the old map stays.
    std::fprintf(stderr, "%s: SIGHUP: %s; %s unchanged\n", kProgram, why.c_str(),
                 with_options ? "every option and the server map are" : "the server map is");
    j.Str("error", why);
    Emit(j);
    return;
  }
  if (with_options) {
    std::string list = "[";
    for (const std::string& r : refused) {
      std::fprintf(stderr, "%s: SIGHUP: %s\n", kProgram, r.c_str());
      CJsonLine item;
      item.Str("message", r);
      if (list.size() > 1) list += ",";
      list += item.Text();
    }
    j.Raw("refused", list + "]");
    Apply(reread, now);
  }
  std::vector<ServerMapping> old_servers = std::move(opt_.servers);
  opt_.servers = servers;
  opt_.agents = agents;
  std::vector<size_t> fresh = SetTargets();
  // A newly mapped agent is configured now, not at the next round.
  for (size_t t : fresh) {
    if (!active_ || send_blocked_) break;
    if (!SendOne(t, now)) send_blocked_ = true;
  }
  std::unordered_set<uint32_t> mapped;
  for (const ServerMapping& m : servers) {
    table_.Expect(m.agent);
    mapped.insert(m.agent);
  }
  // An agent no longer mapped may lose its row to a flood like any other.
  for (const ServerMapping& m : old_servers) {
    if (mapped.count(m.agent) == 0) table_.Release(m.agent);
  }
  if (balancer_) {
    balancer_->Remap(servers);
    RefreshValves();
  }
  j.Num("servers", servers.size());
  Emit(j);
}

// What a re-read options file may change while the coordinator runs; the
// server map and the agents are the caller's.
void CCoordinator::Apply(const CoordinatorOptions& fresh, int64_t now) {
  const CoorAliveSettings& was = opt_.settings;
  const CoorAliveSettings& is = fresh.settings;
  bool told = was.loglevel != is.loglevel || was.log_refresh != is.log_refresh ||
              was.alive != is.alive || was.cpu_interval != is.cpu_interval;
  if (was.alive != is.alive || was.cpu_interval != is.cpu_interval) {
    table_.SetPeriods(is.alive, is.cpu_interval);
  }
  opt_.settings = is;
  opt_.resend = fresh.resend;
  if (!fresh.broadcasts.empty() && opt_.broadcasts.empty()) {
    // The socket was made without broadcasts in mind.
    int on = 1;
    if (setsockopt(sock_, SOL_SOCKET, SO_BROADCAST, &on, sizeof(on)) != 0) {
      std::fprintf(stderr, "%s: SIGHUP: cannot enable broadcast: %s\n", kProgram,
                   ErrorText(errno).c_str());
    }
  }
  opt_.broadcasts = fresh.broadcasts;
  opt_.fixed_agents = fresh.fixed_agents;
  opt_.fixed_servers = fresh.fixed_servers;
  opt_.server_map = fresh.server_map;
  opt_.policy = fresh.policy;
  opt_.silent_state = fresh.silent_state;
  opt_.max_drain = fresh.max_drain;
  opt_.trust_forwarded = fresh.trust_forwarded;
  if (balancer_) {
    balancer_->SetPolicy(opt_.policy, opt_.silent_state);
    balancer_->SetMaxDrain(opt_.max_drain);
  }
  // New settings reach every agent now, not a resend period later.
  if (told && active_) {
    round_start_ms_ = now;
    round_spread_ms_ = 0;
    round_next_ = 0;
  }
}

int CCoordinator::Setup() {
  sigset_t mask;
  sigemptyset(&mask);
  sigaddset(&mask, SIGINT);
  sigaddset(&mask, SIGTERM);
  sigaddset(&mask, SIGHUP);
  // Delivered through the descriptor, so no signal can slip in between a
  // check and the wait. Blocked before the HTTP threads start, which inherit
  // the mask, so none of them takes a signal instead.
  int err = pthread_sigmask(SIG_BLOCK, &mask, nullptr);
  if (err == 0 && (sigfd_ = signalfd(-1, &mask, SFD_CLOEXEC | SFD_NONBLOCK)) < 0) err = errno;
  if (err != 0) {
    std::fprintf(stderr, "%s: cannot set up signal handling: %s\n", kProgram,
                 ErrorText(err).c_str());
    return -1;
  }
  signal(SIGPIPE, SIG_IGN);

  char listen[16];
  FormatAddr(opt_.listen, listen);
  sock_ = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (sock_ < 0) {
    std::fprintf(stderr, "%s: cannot create a UDP socket: %s\n", kProgram,
                 ErrorText(errno).c_str());
    return -1;
  }
  int on = 1;
  if (!opt_.broadcasts.empty() &&
      setsockopt(sock_, SOL_SOCKET, SO_BROADCAST, &on, sizeof(on)) != 0) {
    std::fprintf(stderr, "%s: cannot enable broadcast: %s\n", kProgram, ErrorText(errno).c_str());
    return -1;
  }
  // A fleet's reports bunch up (after a Coor_alive round, after a network
  // blip); the kernel's default buffer holds a few hundred. Forcing works
  // for root past net.core.rmem_max; otherwise we get what the limit allows.
  if (setsockopt(sock_, SOL_SOCKET, SO_RCVBUFFORCE, &opt_.rcvbuf, sizeof(opt_.rcvbuf)) != 0) {
    setsockopt(sock_, SOL_SOCKET, SO_RCVBUF, &opt_.rcvbuf, sizeof(opt_.rcvbuf));
  }
  socklen_t granted_len = sizeof(counters_.rcvbuf_granted);
  getsockopt(sock_, SOL_SOCKET, SO_RCVBUF, &counters_.rcvbuf_granted, &granted_len);
  // The kernel doubles the request for its own bookkeeping; less than that
  // is net.core.rmem_max's doing.
  if (counters_.rcvbuf_granted < 2 * static_cast<int64_t>(opt_.rcvbuf)) {
    std::fprintf(stderr,
                 "%s: receive buffer: asked for %d bytes, the kernel granted %d of the %lld "
                 "it would count for them (net.core.rmem_max limits it)\n",
                 kProgram, opt_.rcvbuf, counters_.rcvbuf_granted,
                 2 * static_cast<long long>(opt_.rcvbuf));
  }
  // Drops for a full buffer are then counted on each datagram we read.
  setsockopt(sock_, SOL_SOCKET, SO_RXQ_OVFL, &on, sizeof(on));
  sockaddr_in sa = MakeSockaddr(opt_.listen, opt_.port);
  if (bind(sock_, reinterpret_cast<sockaddr*>(&sa), sizeof(sa)) != 0) {
    std::fprintf(stderr, "%s: cannot listen on %s:%u: %s\n", kProgram, listen, opt_.port,
                 ErrorText(errno).c_str());
    return -1;
  }
  // Without netlink the check each second still follows the address.
  if (watch_) watch_->Open();
  std::string why = live_.Open(opt_.heartbeat);
  if (!why.empty()) {
    std::fprintf(stderr, "%s: cannot make the heartbeat file %s: %s\n", kProgram,
                 opt_.heartbeat.c_str(), why.c_str());
    return -1;
  }
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

// What every view shows; the rows of the table only when one shows them.
std::shared_ptr<CoordinatorStatus> CCoordinator::Snapshot(int64_t now, bool with_rows) {
  auto s = std::make_shared<CoordinatorStatus>();
  char listen[16], address[16];
  FormatAddr(opt_.listen, listen);
  FormatAddr(opt_.SourceAddr(), address);
  s->version = kVersion;
  s->listen = std::string(listen) + ":" + std::to_string(opt_.port);
  s->time_s = WallSeconds();
  s->start_s = start_wall_s_;
  s->active = active_;
  s->deaf = balancer_ && balancer_->Deaf();
  s->heard = hearing_.heard;
  s->expected = hearing_.expected;
  s->agents_configured = counters_.agents_configured;
  s->received = received_;
  s->malformed = malformed_;
  s->dropped_kernel = counters_.kernel_drops;
  s->dropped_source = counters_.source_drops;
  s->alive_sent = counters_.alive_sent;
  s->alive_failed = counters_.alive_failed;
  s->table_rows = table_.Rows().size();
  s->table_max = table_.MaxRows();
  s->table_full = table_.Full();
  s->table_recycled = table_.Recycled();
  s->table_mapped = table_.Reserved();
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
  if (balancer_) {
    RefreshValves();
    std::unordered_map<std::string, bool> holding;
    for (const ValveView& v : counters_.valves) holding[v.backend] = v.held != 0;
    for (BackendStatus& b : s->backends) b.valve_holding = holding[b.name];
    s->valves = counters_.valves;
  }
  s->address = address;
  s->follows_address = watch_ != nullptr;
  s->activity_changes = activity_changes_;
  s->now_ms = now;
  s->elapsed_ms = Elapsed(now);
  s->valid = valid_;
  s->untracked = table_.Untracked();
  s->agents_total = counters_.agents_total;
  s->rcvbuf_granted = counters_.rcvbuf_granted;
  s->balancing = balancer_ != nullptr;
  if (with_rows) s->rows = table_.Rows();
  return s;
}

void CCoordinator::Emit(CJsonLine& j) {
  if (!opt_.json) return;
  std::fputs(j.Text().c_str(), stdout);
  std::fputc('\n', stdout);
  if (std::ferror(stdout)) Flush();
}

void CCoordinator::Flush() {
  if (!opt_.json) return;
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
  if (!opt_.json) return;
  CJsonLine j = Event("start", start_ms_);
  StartMembers(&j, opt_, *Snapshot(start_ms_, false));
  Emit(j);
}

// false when the socket has no room now: the caller waits for it.
bool CCoordinator::SendOne(size_t target, int64_t now) {
  uint32_t des = targets_[target];
  bool broadcast = target >= opt_.agents.size();
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
  if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return false;
  uint8_t& state = target_state_[target];
  if (n == static_cast<ssize_t>(sizeof(msg))) {
    ++counters_.alive_sent;
    if (state != kSent && !broadcast) ++counters_.agents_configured;
    state = kSent;
    CJsonLine j = Event("sent", now);
    j.Addr("to", des).Num("port", opt_.port).Bool("broadcast", broadcast).Num("bytes", 68);
    Emit(j);
    return true;
  }
  int err = n < 0 ? errno : EMSGSIZE;
  if (watch_ && !watch_->Held()) {
    // The virtual address went between the check and the send: a failover,
    // not a fault.
    SetActive(false, now);
    return true;
  }
  // One unreachable agent must not stop the others being configured, and is
  // told once per outage, not once per round.
  ++counters_.alive_failed;
  if (state == kSent && !broadcast) --counters_.agents_configured;
  if (state == kFailing) return true;
  state = kFailing;
  char to[16];
  FormatAddr(des, to);
  std::fprintf(stderr, "%s: cannot send to %s:%u: %s\n", kProgram, to, opt_.port,
               ErrorText(err).c_str());
  CJsonLine j = Event("error", now);
  j.Str("op", "sendto").Addr("to", des).Str("message", ErrorText(err));
  Emit(j);
  return true;
}

// Makes the send targets from opt_'s agents and broadcasts; a target kept
// from before keeps its state and the round goes on where it was. Returns the
// agents that are new.
std::vector<size_t> CCoordinator::SetTargets() {
  // opt_ may hold the new lists already: the old ones are what targets_ has.
  std::unordered_map<uint32_t, uint8_t> was;
  for (size_t t = 0; t < counters_.agents_total && t < target_state_.size(); ++t) {
    was.emplace(targets_[t], target_state_[t]);
  }
  bool in_round = round_next_ < targets_.size();
  uint32_t next = in_round ? targets_[round_next_] : 0;
  bool next_is_agent = round_next_ < counters_.agents_total;
  bool first = targets_.empty();
  targets_ = opt_.agents;
  targets_.insert(targets_.end(), opt_.broadcasts.begin(), opt_.broadcasts.end());
  target_state_.assign(targets_.size(), kNotYet);
  std::vector<size_t> fresh;
  counters_.agents_configured = 0;
  size_t resume = in_round ? std::min(round_next_, targets_.size()) : first ? 0 : targets_.size();
  for (size_t t = 0; t < targets_.size(); ++t) {
    bool agent = t < opt_.agents.size();
    if (in_round && targets_[t] == next && agent == next_is_agent) resume = t;
    if (!agent) continue;
    auto it = was.find(targets_[t]);
    if (it == was.end()) {
      fresh.push_back(t);
      continue;
    }
    target_state_[t] = it->second;
    if (it->second == kSent) ++counters_.agents_configured;
  }
  round_next_ = resume;
  counters_.agents_total = opt_.agents.size();
  return fresh;
}

// When the round sends to target; -1 past its end.
int64_t CCoordinator::SendAt(size_t target) const {
  if (target >= targets_.size()) return -1;
  return round_start_ms_ +
         round_spread_ms_ * static_cast<int64_t>(target) / static_cast<int64_t>(targets_.size());
}

void CCoordinator::SendDue(int64_t now) {
  while (active_ && round_next_ < targets_.size() && SendAt(round_next_) <= now) {
    if (!SendOne(round_next_, now)) {
      send_blocked_ = true;
      return;
    }
    ++round_next_;
  }
  if (round_next_ < targets_.size() || opt_.resend == 0) return;
  // The next round spreads the fleet over the resend period, so each agent
  // hears from us once a period and the socket never sees the whole fleet
  // at once.
  int64_t period = 1000 * static_cast<int64_t>(opt_.resend);
  round_start_ms_ = std::max(round_start_ms_ + period, now);
  round_spread_ms_ = period;
  round_next_ = 0;
}

void CCoordinator::Receive() {
  constexpr size_t kControl = CMSG_SPACE(sizeof(uint32_t));
  mmsghdr msgs[kRecvBatch];
  iovec iov[kRecvBatch];
  sockaddr_in from[kRecvBatch];
  alignas(cmsghdr) uint8_t control[kRecvBatch][kControl];
  for (int call = 0; call < kRecvCalls && end_reason_ == nullptr; ++call) {
    for (unsigned i = 0; i < kRecvBatch; ++i) {
      iov[i] = {buf_.data() + i * kRecvBufferSize, kRecvBufferSize};
      msgs[i] = {};
      msgs[i].msg_hdr.msg_name = &from[i];
      msgs[i].msg_hdr.msg_namelen = sizeof(from[i]);
      msgs[i].msg_hdr.msg_iov = &iov[i];
      msgs[i].msg_hdr.msg_iovlen = 1;
      msgs[i].msg_hdr.msg_control = control[i];
      msgs[i].msg_hdr.msg_controllen = kControl;
    }
    int got = recvmmsg(sock_, msgs, kRecvBatch, 0, nullptr);
    if (got < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return;
      // Reports of earlier sends to unreachable hosts, not a broken socket.
      if (errno == ECONNREFUSED || errno == EHOSTUNREACH || errno == ENETUNREACH) continue;
      Fatal("recvmmsg", errno);
      return;
    }
    received_ += static_cast<uint64_t>(got);
    for (int i = 0; i < got && end_reason_ == nullptr; ++i) {
      msghdr& h = msgs[i].msg_hdr;
      for (cmsghdr* c = CMSG_FIRSTHDR(&h); c != nullptr; c = CMSG_NXTHDR(&h, c)) {
        if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SO_RXQ_OVFL) {
          uint32_t total = 0;
          std::memcpy(&total, CMSG_DATA(c), sizeof(total));
          CountKernelDrops(total);
        }
      }
      Handle(static_cast<const uint8_t*>(iov[i].iov_base), msgs[i].msg_len,
             ntohl(from[i].sin_addr.s_addr), ntohs(from[i].sin_port), MonotonicMs());
    }
    if (got < static_cast<int>(kRecvBatch)) return;
  }
}

// The kernel counts the socket's drops since it was made, in 32 bits.
void CCoordinator::CountKernelDrops(uint32_t total) {
  counters_.kernel_drops += static_cast<uint32_t>(total - kernel_drops_seen_);
  kernel_drops_seen_ = total;
}

// Drops are news, but at most once a second.
void CCoordinator::EmitDrops(int64_t now) {
  uint64_t total = counters_.kernel_drops + counters_.source_drops;
  if (!opt_.json || total == drops_emitted_ || now < drops_due_ms_) return;
  drops_emitted_ = total;
  drops_due_ms_ = now + kDropsEventMs;
  CJsonLine j = Event("drops", now);
  j.Num("kernel", counters_.kernel_drops).Num("source", counters_.source_drops);
  Emit(j);
}

// Grows with every change the "table" event tells (rows are never freed, so
// the table stays full once it is).
uint64_t CCoordinator::TableStamp() const {
  return table_.Recycled() + table_.Untracked() + (table_.Full() ? 1 : 0);
}

bool CCoordinator::TablePending() const { return opt_.json && TableStamp() != table_emitted_; }

// The table's figures as they change, at most once a second: a flood shows
// while it lasts, not only in the end event.
void CCoordinator::EmitTable(int64_t now) {
  if (!TablePending() || now < table_due_ms_) return;
  table_emitted_ = TableStamp();
  table_due_ms_ = now + kDropsEventMs;
  CJsonLine j = Event("table", now);
  j.Num("rows", table_.Rows().size())
      .Num("max", table_.MaxRows())
      .Num("mapped", table_.Reserved())
      .Bool("full", table_.Full())
      .Num("recycled", table_.Recycled())
      .Num("untracked", table_.Untracked());
  Emit(j);
}

void CCoordinator::RefreshValves() {
  if (balancer_->ValveVersion() == valve_version_ && !counters_.valves.empty()) return;
  valve_version_ = balancer_->ValveVersion();
  counters_.valves = balancer_->Valves();
}

void CCoordinator::Handle(const uint8_t* data, size_t n, uint32_t from_addr, uint16_t from_port,
                          int64_t now) {
  now_ms_ = now;
  Decoded d;
  DecodeDatagram(data, n, &d);
  if (d.kind == Kind::kEcho) return;
  // A mapped agent's report moves its server, so it must come from the
  // agent's own address (unless a NAT or relay stands between).
  if (d.has_header && d.src != from_addr && !opt_.trust_forwarded && balancer_ &&
      balancer_->Maps(d.src)) {
    ++counters_.source_drops;
    return;
  }
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
  // A standby judges nothing: what it hears is for its table only.
  if (balancer_ && row != nullptr && active_) {
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
  char a[16];
  FormatAddr(e.agent, a);
  switch (e.kind) {
    case LbEvent::Kind::kWeight:
    case LbEvent::Kind::kState:
      if (!e.message.empty()) {
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
    case LbEvent::Kind::kServer:
      // Once per server and HAProxy run; the other servers go on.
      std::fprintf(
          stderr, "%s: HAProxy %s has no server %s (mapped to agent %s): '%s' answered: %s\n",
          kProgram, e.endpoint.c_str(), e.server.c_str(), a, e.command.c_str(), e.message.c_str());
      break;
    case LbEvent::Kind::kLink:
      if (e.reason == "lost") {
        std::fprintf(stderr, "%s: HAProxy at %s: %s; retrying\n", kProgram, e.endpoint.c_str(),
                     e.message.c_str());
      }
      break;
    case LbEvent::Kind::kValve:
      if (e.reason == "holding") {
        std::fprintf(stderr, "%s: WARN: backend %s: the valve holds: %s\n", kProgram,
                     e.server.c_str(), e.message.c_str());
      }
      break;
    case LbEvent::Kind::kHold: {
      std::string where = e.endpoint.empty() ? "" : " on HAProxy " + e.endpoint;
      if (e.reason == "holding") {
        std::fprintf(stderr, "%s: %s%s is held by the %s%s: not written to until released\n",
                     kProgram, e.server.c_str(), where.c_str(), e.message.c_str(),
                     e.new_value.empty() ? "" : (" (" + e.new_value + ")").c_str());
      } else {
        std::fprintf(stderr, "%s: %s%s is released by the %s: balanced again\n", kProgram,
                     e.server.c_str(), where.c_str(), e.message.c_str());
      }
      break;
    }
  }
  if (!opt_.json) return;
  CJsonLine j = Event(LbEventName(e.kind), now_ms_);
  LbEventMembers(&j, e, opt_.dry_run);
  Emit(j);
}

void CCoordinator::Fatal(const char* op, int err) {
  std::fprintf(stderr, "%s: %s failed: %s\n", kProgram, op, ErrorText(err).c_str());
  exit_code_ = 1;
  end_reason_ = "error";
}

// Redraws the screen from its top; each line clears its own rest.
void CCoordinator::Draw(const CoordinatorStatus& s) {
  winsize ws{};
  size_t max_rows = 0;
  size_t reserved = ScreenExtraLines(s, dry_run_lines_.size());
  if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_row > reserved) {
    max_rows = ws.ws_row - reserved;
  }
  std::string out = "\x1b[H";
  for (const std::string& line : ScreenLines(s, max_rows, dry_run_lines_)) out += line + "\x1b[K\n";
  out += "\x1b[J";
  std::fputs(out.c_str(), stdout);
  std::fflush(stdout);
}

void CCoordinator::Finish(int64_t now) {
  std::shared_ptr<const CoordinatorStatus> s = Snapshot(now, true);
  if (opt_.json) {
    CJsonLine j = Event("end", now);
    EndMembers(&j, end_reason_ != nullptr ? end_reason_ : "error", *s);
    Emit(j);
    return;
  }
  if (tty_) {
    Draw(*s);
    return;
  }
  std::string out;
  for (const std::string& line : ScreenLines(*s, 0, dry_run_lines_)) out += line + "\n";
  std::fputs(out.c_str(), stdout);
  std::fflush(stdout);
}

}  // namespace coord
