// SPDX-License-Identifier: Apache-2.0
// The balancing benchmark's fleet and clients, in one single-threaded process:
// emulated HTTP servers that are also agents, and an open-loop load generator
// sending through the balancer's frontend (HAProxy's, or a VIP that the
// kernel's nftables DNATs to the servers).
//
//   balance_sim --servers W:S,... --mean-ms T --rate R --warmup S --seconds S
//               --seed N --frontend ADDR:PORT --coordinator ADDR:PORT --out DIR
//               [--mode http|tcp] [--queue N] [--pool N] [--per-conn N]
//               [--step I@SEC] [--background I,...] [--timeout SEC]
//
// Server i listens on 127.0.0.(2+i):8080 and answers its Coor_alive from
// 127.0.0.(2+i) at the coordinator's port, then reports its utilization at
// the periods it was given. W workers at speed S each: a request of work w
// (drawn by the client from an exponential distribution of mean 1, carried in
// its path) holds a worker for w*T/S. Requests beyond the busy workers wait in
// a FIFO of --queue places; a request that finds it full gets a 503.
// Responses leave in request order on each connection.
//
// Utilization is busy worker time over worker time. Background work (a CPU
// hog at equal priority) takes half of every worker's time on its servers:
// each request there runs at half speed, and the server reports
// 50 + busy/2 percent. HAProxy sees it only through slower requests.
//
// --step I@SEC halves server I at SEC (its workers if it has more than one,
// else its speed).
//
// The client's arrivals form a Poisson process of rate R from the seed, the
// same for every policy; each request's latency runs from its scheduled
// instant, so a late sender adds to it. mode http: a fresh connection per
// request ("Connection: close"). mode tcp: --pool long-lived connections, each
// carrying --per-conn pipelined requests, assigned in turn, then replaced by a
// new one (the first ones end after a part of that, evenly spread, so the
// connections do not all end at once). A 503, a reset, an early close or
// --timeout counts as failed, with infinite latency.
//
// DIR/sim.txt gets KEY=VALUE figures for requests scheduled after the warm-up;
// DIR/util.tsv the servers' utilization every 0.5 s; DIR/ready appears once
// the agents' sockets are bound.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <functional>
#include <limits>
#include <queue>
#include <random>
#include <string>
#include <vector>

#include "bench/agent_wire.h"

namespace {

int64_t NowUs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

[[noreturn]] void Die(const char* what) {
  std::perror(what);
  std::exit(1);
}

constexpr uint32_t kLoopbackBase = 0x7F000002;  // 127.0.0.2
constexpr uint16_t kHttpPort = 8080;

sockaddr_in Addr(uint32_t host, uint16_t port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(host);
  a.sin_port = htons(port);
  return a;
}

bool ParseAddrPort(const char* s, uint32_t* host, uint16_t* port) {
  std::string t(s);
  size_t c = t.rfind(':');
  if (c == std::string::npos) return false;
  in_addr a{};
  if (inet_pton(AF_INET, t.substr(0, c).c_str(), &a) != 1) return false;
  *host = ntohl(a.s_addr);
  *port = static_cast<uint16_t>(std::strtoul(t.c_str() + c + 1, nullptr, 10));
  return *port != 0;
}

// epoll data: the kind in the top byte, an index below.
enum Tag : uint64_t { kListen = 1, kServerConn, kAgent, kClientConn };
uint64_t Tagged(Tag t, uint64_t i) { return (static_cast<uint64_t>(t) << 56) | i; }

struct Job {
  uint32_t conn;
  uint32_t gen;
  uint64_t seq;
  double work;
  int64_t arrived;  // when the server read it
  int64_t start;    // when a worker took it
};

struct Server {
  int workers = 1;
  double speed = 1;
  bool background = false;
  int listen_fd = -1;
  int agent_fd = -1;
  int busy = 0;
  std::deque<Job> queue;
  // Integrals of busy workers and of workers over time, in worker-us, up to
  // last_us.
  double busy_int = 0, cap_int = 0;
  int64_t last_us = 0;
  // Service runs in virtual time: a worker is free at its job's due instant
  // however late the loop sees it, so a busy machine delays answers but does
  // not shrink the servers' capacity.
  std::vector<std::pair<int64_t, int64_t>> running;  // [start, end) of jobs in service
  double done_busy = 0;
  // At the last CPU-load report.
  double rep_busy = 0, rep_cap = 0;
  uint32_t alive_s = 0, cpu_s = 0;
  bool configured = false;
  uint64_t served = 0, shed = 0;

  void Accumulate(int64_t now) {
    double b = done_busy;
    for (const auto& r : running)
      b += static_cast<double>(std::clamp(now - r.first, int64_t{0}, r.second - r.first));
    busy_int = std::max(busy_int, b);
    cap_int += static_cast<double>(workers) * static_cast<double>(now - last_us);
    last_us = now;
  }
  // Percent over an interval given the integrals at its start.
  double Util(double b0, double c0) const {
    double c = cap_int - c0;
    double u = c > 0 ? (busy_int - b0) / c : 0;
    // A job taken late by a lagging loop is counted from its virtual start,
    // which can push one interval a little past 100.
    return std::min(100.0, 100.0 * (background ? 0.5 + 0.5 * u : u));
  }
};

struct ServerConn {
  int fd = -1;
  uint32_t gen = 0;
  int server = 0;
  std::string in, out;
  std::deque<int> statuses;  // per request in order; 0 while in progress
  uint64_t head_seq = 0;
  uint64_t next_seq = 0;
  bool close_after = false;
};

struct ClientConn {
  int fd = -1;
  bool connected = false;
  std::string in, out;
  std::deque<uint32_t> reqs;  // outstanding, in order
  uint32_t assigned = 0;
  bool retiring = false;
};

struct Timer {
  int64_t at;
  int kind;
  uint32_t a;
  Job job;
  bool operator>(const Timer& o) const { return at > o.at; }
};
enum TimerKind { kArrive, kDone, kAlive, kCpu, kSample, kStep, kSweep };

int NonBlockingTcp() {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) Die("socket");
  int on = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
  return fd;
}

const char kOk[] = "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n";
const char kOkClose[] = "HTTP/1.1 200 OK\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
const char kFull[] = "HTTP/1.1 503 Service Unavailable\r\nContent-Length: 0\r\n\r\n";
const char kFullClose[] =
    "HTTP/1.1 503 Service Unavailable\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";

struct Sim {
  // Options.
  std::vector<Server> servers;
  double mean_us = 40000;
  double rate = 100;
  double warmup_s = 5, seconds_s = 25;
  uint64_t seed = 1;
  uint32_t fe_host = 0, coord_host = 0;
  uint16_t fe_port = 0, coord_port = 0;
  std::string out_dir;
  bool tcp = false;
  size_t queue_max = 64;
  int pool = 48;
  uint32_t per_conn = 50;
  int step_server = -1;
  double step_at_s = 0;
  double timeout_s = 10;

  // State.
  int ep = -1;
  int64_t t0 = 0;
  std::priority_queue<Timer, std::vector<Timer>, std::greater<>> timers;
  std::vector<ServerConn> sconns;
  std::vector<uint32_t> sconn_free;
  std::vector<ClientConn> cconns;
  std::vector<uint32_t> cconn_free;
  std::vector<int64_t> sched;  // scheduled instant per request (us from t0)
  std::vector<double> work;    // its work
  std::vector<int64_t> done;   // completion (us from t0), -1 failed, 0 open
  std::vector<int64_t> lag;    // how late it was handed to a socket
  size_t next_arrival = 0;
  size_t open_requests = 0;
  uint32_t rr_next = 0;
  FILE* util_out = nullptr;
  std::vector<double> sample_busy, sample_cap;
  std::vector<double> window_busy, window_cap;  // at the warm-up's end
  bool window_open = false, window_closed = false;
  std::vector<double> window_util;
  uint64_t coor_alive = 0, reports = 0;
  double step_rel_s = -1;

  int64_t Rel(int64_t now) const { return now - t0; }

  void Watch(int fd, uint32_t events, uint64_t data, bool add) {
    epoll_event e{};
    e.events = events;
    e.data.u64 = data;
    if (epoll_ctl(ep, add ? EPOLL_CTL_ADD : EPOLL_CTL_MOD, fd, &e) != 0) Die("epoll_ctl");
  }

  // ---- servers ----
  // Hands waiting jobs to the workers free since the instant free.
  void StartJobs(int si, int64_t free) {
    Server& s = servers[si];
    while (s.busy < s.workers && !s.queue.empty()) {
      Job j = s.queue.front();
      s.queue.pop_front();
      ++s.busy;
      double speed = s.speed * (s.background ? 0.5 : 1.0);
      j.start = std::max(free, j.arrived);
      int64_t end = j.start + static_cast<int64_t>(j.work * mean_us / speed);
      s.running.emplace_back(j.start, end);
      timers.push({end, kDone, static_cast<uint32_t>(si), j});
    }
  }

  void FinishRequest(ServerConn& c, uint64_t seq, int status) {
    if (seq < c.head_seq) return;
    c.statuses[seq - c.head_seq] = status;
    bool any = false;
    while (!c.statuses.empty() && c.statuses.front() != 0) {
      bool last = c.close_after && c.statuses.size() == 1;
      if (c.statuses.front() == 200) {
        c.out += last ? kOkClose : kOk;
      } else {
        c.out += last ? kFullClose : kFull;
      }
      c.statuses.pop_front();
      ++c.head_seq;
      any = true;
    }
    if (any) FlushServer(static_cast<uint32_t>(&c - sconns.data()));
  }

  void CloseServerConn(uint32_t id) {
    ServerConn& c = sconns[id];
    if (c.fd < 0) return;
    close(c.fd);
    c.fd = -1;
    ++c.gen;
    c.in.clear();
    c.out.clear();
    c.statuses.clear();
    sconn_free.push_back(id);
  }

  void FlushServer(uint32_t id) {
    ServerConn& c = sconns[id];
    while (!c.out.empty()) {
      ssize_t k = send(c.fd, c.out.data(), c.out.size(), MSG_NOSIGNAL);
      if (k < 0) {
        if (errno == EAGAIN) {
          Watch(c.fd, EPOLLIN | EPOLLOUT, Tagged(kServerConn, id), false);
          return;
        }
        CloseServerConn(id);
        return;
      }
      c.out.erase(0, static_cast<size_t>(k));
    }
    Watch(c.fd, EPOLLIN, Tagged(kServerConn, id), false);
    if (c.close_after && c.statuses.empty()) CloseServerConn(id);
  }

  void ServerRead(uint32_t id, int64_t now) {
    ServerConn& c = sconns[id];
    char buf[16384];
    for (;;) {
      ssize_t k = recv(c.fd, buf, sizeof(buf), 0);
      if (k == 0 || (k < 0 && errno != EAGAIN && errno != EINTR)) {
        CloseServerConn(id);
        return;
      }
      if (k < 0) break;
      c.in.append(buf, static_cast<size_t>(k));
    }
    size_t end;
    while (!c.close_after && (end = c.in.find("\r\n\r\n")) != std::string::npos) {
      std::string head = c.in.substr(0, end);
      c.in.erase(0, end + 4);
      double w = 1.0;
      size_t p = head.find("?w=");
      if (p != std::string::npos) w = std::strtod(head.c_str() + p + 3, nullptr);
      for (char& ch : head) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
      if (head.find("\r\nconnection: close") != std::string::npos) c.close_after = true;
      Server& s = servers[c.server];
      uint64_t seq = c.next_seq++;
      c.statuses.push_back(0);
      if (s.busy >= s.workers && s.queue.size() >= queue_max) {
        ++s.shed;
        FinishRequest(c, seq, 503);
        if (sconns[id].fd < 0) return;
        continue;
      }
      s.queue.push_back({id, c.gen, seq, w, now, 0});
      StartJobs(c.server, now);
    }
  }

  void ServerAccept(int si) {
    for (;;) {
      int fd = accept4(servers[si].listen_fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
      if (fd < 0) return;
      int on = 1;
      setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
      uint32_t id;
      if (!sconn_free.empty()) {
        id = sconn_free.back();
        sconn_free.pop_back();
      } else {
        id = static_cast<uint32_t>(sconns.size());
        sconns.emplace_back();
      }
      ServerConn& c = sconns[id];
      uint32_t gen = c.gen;
      c = ServerConn();
      c.gen = gen;
      c.fd = fd;
      c.server = si;
      Watch(fd, EPOLLIN, Tagged(kServerConn, id), true);
    }
  }

  void JobDone(int si, const Job& j, int64_t end) {
    Server& s = servers[si];
    for (size_t k = 0; k < s.running.size(); ++k) {
      if (s.running[k].first == j.start && s.running[k].second == end) {
        s.done_busy += static_cast<double>(end - j.start);
        s.running[k] = s.running.back();
        s.running.pop_back();
        break;
      }
    }
    --s.busy;
    ++s.served;
    ServerConn& c = sconns[j.conn];
    if (c.fd >= 0 && c.gen == j.gen) FinishRequest(c, j.seq, 200);
    StartJobs(si, end);
  }

  // ---- agents ----
  void AgentSend(int si, const uint8_t* b, size_t n) {
    sockaddr_in to = Addr(coord_host, coord_port);
    sendto(servers[si].agent_fd, b, n, 0, reinterpret_cast<sockaddr*>(&to), sizeof(to));
    ++reports;
  }

  void AgentRead(int si, int64_t now) {
    Server& s = servers[si];
    uint8_t buf[512];
    for (;;) {
      ssize_t k = recv(s.agent_fd, buf, sizeof(buf), 0);
      if (k < 0) return;
      uint32_t alive_s = 0, cpu_s = 0;
      if (!bench::DecodeCoorAlivePeriods(buf, static_cast<size_t>(k), &alive_s, &cpu_s)) continue;
      ++coor_alive;
      s.alive_s = alive_s;
      s.cpu_s = cpu_s;
      if (s.configured) continue;
      s.configured = true;
      // Agents are not in step: each starts at its own phase.
      int64_t phase = 37000 * si;
      if (alive_s != 0) timers.push({now + phase, kAlive, static_cast<uint32_t>(si), {}});
      if (cpu_s != 0) {
        s.Accumulate(now);
        s.rep_busy = s.busy_int;
        s.rep_cap = s.cap_int;
        timers.push({now + phase + int64_t{cpu_s} * 1000000, kCpu, static_cast<uint32_t>(si), {}});
      }
    }
  }

  void AgentTimer(int si, bool alive, int64_t now) {
    Server& s = servers[si];
    uint8_t b[64];
    uint32_t src = kLoopbackBase + static_cast<uint32_t>(si);
    if (alive) {
      AgentSend(si, b, bench::EncodeAlive(src, coord_host, 2400, b));
      if (s.alive_s != 0)
        timers.push({now + int64_t{s.alive_s} * 1000000, kAlive, static_cast<uint32_t>(si), {}});
      return;
    }
    s.Accumulate(now);
    double u = s.Util(s.rep_busy, s.rep_cap);
    s.rep_busy = s.busy_int;
    s.rep_cap = s.cap_int;
    uint32_t load = static_cast<uint32_t>(std::lround(std::clamp(u, 0.0, 100.0)));
    AgentSend(si, b, bench::EncodeCpuLoad(src, coord_host, load, b));
    if (s.cpu_s != 0) {
      timers.push({now + int64_t{s.cpu_s} * 1000000, kCpu, static_cast<uint32_t>(si), {}});
    }
  }

  // ---- clients ----
  uint32_t NewClientConn(int64_t now) {
    uint32_t id;
    if (!cconn_free.empty()) {
      id = cconn_free.back();
      cconn_free.pop_back();
    } else {
      id = static_cast<uint32_t>(cconns.size());
      cconns.emplace_back();
    }
    ClientConn& c = cconns[id];
    c = ClientConn();
    c.fd = NonBlockingTcp();
    sockaddr_in fe = Addr(fe_host, fe_port);
    int r = connect(c.fd, reinterpret_cast<sockaddr*>(&fe), sizeof(fe));
    if (r != 0 && errno != EINPROGRESS) {
      // Counted when the first request fails on it.
      c.connected = true;
    }
    (void)now;
    Watch(c.fd, EPOLLIN | EPOLLOUT, Tagged(kClientConn, id), true);
    return id;
  }

  std::string RequestText(uint32_t r, bool close_it) const {
    char line[160];
    std::snprintf(line, sizeof(line), "GET /?w=%.6f HTTP/1.1\r\nHost: bench\r\n%s\r\n", work[r],
                  close_it ? "Connection: close\r\n" : "");
    return line;
  }

  void Complete(uint32_t r, int64_t now, bool ok) {
    if (done[r] != 0) return;
    done[r] = ok ? std::max<int64_t>(1, Rel(now)) : -1;
    --open_requests;
  }

  void CloseClientConn(uint32_t id, int64_t now) {
    ClientConn& c = cconns[id];
    if (c.fd < 0) return;
    for (uint32_t r : c.reqs) Complete(r, now, false);
    c.reqs.clear();
    close(c.fd);
    c.fd = -1;
    cconn_free.push_back(id);
    // A pool connection that failed is replaced: the pool keeps its size.
    if (tcp && !c.retiring && next_arrival < sched.size() && id < pool_slot_of.size()) {
      uint32_t slot = pool_slot_of[id];
      if (slot < pool_ids.size() && pool_ids[slot] == id) {
        uint32_t fresh = NewClientConn(now);
        pool_slot_of.resize(cconns.size());
        pool_ids[slot] = fresh;
        pool_slot_of[fresh] = slot;
      }
    }
  }

  void FlushClient(uint32_t id, int64_t now) {
    ClientConn& c = cconns[id];
    if (!c.connected) return;
    while (!c.out.empty()) {
      ssize_t k = send(c.fd, c.out.data(), c.out.size(), MSG_NOSIGNAL);
      if (k < 0) {
        if (errno == EAGAIN) {
          Watch(c.fd, EPOLLIN | EPOLLOUT, Tagged(kClientConn, id), false);
          return;
        }
        CloseClientConn(id, now);
        return;
      }
      c.out.erase(0, static_cast<size_t>(k));
    }
    Watch(c.fd, EPOLLIN, Tagged(kClientConn, id), false);
  }

  void ClientEvent(uint32_t id, uint32_t events, int64_t now) {
    if (cconns[id].fd < 0) return;
    if (!cconns[id].connected && (events & (EPOLLOUT | EPOLLERR | EPOLLHUP))) {
      int err = 0;
      socklen_t len = sizeof(err);
      getsockopt(cconns[id].fd, SOL_SOCKET, SO_ERROR, &err, &len);
      if (err != 0) {
        CloseClientConn(id, now);
        return;
      }
      cconns[id].connected = true;
      FlushClient(id, now);
    } else if (events & EPOLLOUT) {
      FlushClient(id, now);
    }
    // A failed flush may have closed it and grown the table.
    ClientConn& c = cconns[id];
    if (c.fd < 0 || !(events & (EPOLLIN | EPOLLERR | EPOLLHUP))) return;
    char buf[16384];
    bool eof = false;
    for (;;) {
      ssize_t k = recv(c.fd, buf, sizeof(buf), 0);
      if (k == 0 || (k < 0 && errno != EAGAIN && errno != EINTR)) {
        eof = true;
        break;
      }
      if (k < 0) break;
      c.in.append(buf, static_cast<size_t>(k));
    }
    size_t end;
    while (!c.reqs.empty() && (end = c.in.find("\r\n\r\n")) != std::string::npos) {
      // Only the status matters; our servers send no body, and a body of
      // HAProxy's own (an error page) ends the connection below.
      bool ok =
          c.in.compare(0, 12, "HTTP/1.1 200") == 0 || c.in.compare(0, 12, "HTTP/1.0 200") == 0;
      size_t cl = 0;
      std::string head = c.in.substr(0, end);
      for (char& ch : head) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
      size_t p = head.find("\r\ncontent-length:");
      if (p != std::string::npos) cl = std::strtoul(head.c_str() + p + 17, nullptr, 10);
      if (c.in.size() < end + 4 + cl) break;
      c.in.erase(0, end + 4 + cl);
      uint32_t r = c.reqs.front();
      c.reqs.pop_front();
      Complete(r, now, ok);
      if (!tcp) {
        eof = true;  // one request per connection
        break;
      }
    }
    if (tcp && c.retiring && c.reqs.empty()) eof = true;
    if (eof) CloseClientConn(id, now);
  }

  std::vector<uint32_t> pool_ids;      // tcp mode: the pool's connections
  std::vector<uint32_t> pool_slot_of;  // conn id -> pool slot

  void Arrive(int64_t now) {
    uint32_t r = static_cast<uint32_t>(next_arrival++);
    lag[r] = Rel(now) - sched[r];
    ++open_requests;
    if (next_arrival < sched.size()) {
      timers.push({t0 + sched[next_arrival], kArrive, 0, {}});
    }
    if (!tcp) {
      uint32_t id = NewClientConn(now);
      cconns[id].reqs.push_back(r);
      cconns[id].out = RequestText(r, true);
      return;
    }
    uint32_t slot = rr_next++ % static_cast<uint32_t>(pool_ids.size());
    uint32_t id = pool_ids[slot];
    ClientConn& c = cconns[id];
    c.reqs.push_back(r);
    c.out += RequestText(r, false);
    if (++c.assigned >= per_conn) {
      // Retire it once its answers are in; a fresh one takes its slot now.
      c.retiring = true;
      uint32_t fresh = NewClientConn(now);
      pool_slot_of.resize(cconns.size());
      pool_ids[slot] = fresh;
      pool_slot_of[fresh] = slot;
    }
    FlushClient(id, now);
  }

  void Sweep(int64_t now) {
    int64_t limit = static_cast<int64_t>(timeout_s * 1e6);
    for (uint32_t id = 0; id < cconns.size(); ++id) {
      ClientConn& c = cconns[id];
      if (c.fd < 0 || c.reqs.empty()) continue;
      if (Rel(now) - sched[c.reqs.front()] > limit) CloseClientConn(id, now);
    }
  }

  void Sample(int64_t now) {
    double rel = static_cast<double>(Rel(now)) / 1e6;
    std::fprintf(util_out, "%.3f", rel);
    for (size_t i = 0; i < servers.size(); ++i) {
      Server& s = servers[i];
      s.Accumulate(now);
      std::fprintf(util_out, "\t%.2f", s.Util(sample_busy[i], sample_cap[i]));
      sample_busy[i] = s.busy_int;
      sample_cap[i] = s.cap_int;
    }
    std::fprintf(util_out, "\n");
    if (!window_open && rel >= warmup_s - 1e-3) {
      window_open = true;
      for (size_t i = 0; i < servers.size(); ++i) {
        window_busy[i] = servers[i].busy_int;
        window_cap[i] = servers[i].cap_int;
      }
    } else if (window_open && !window_closed && rel >= warmup_s + seconds_s - 1e-3) {
      window_closed = true;
      for (size_t i = 0; i < servers.size(); ++i) {
        window_util[i] = servers[i].Util(window_busy[i], window_cap[i]);
      }
    }
  }

  void Run();
  void Report();
};

void Sim::Run() {
  ep = epoll_create1(EPOLL_CLOEXEC);
  if (ep < 0) Die("epoll_create1");
  // The arrivals and their work, the same for every policy.
  std::mt19937_64 gaps(seed), sizes(seed ^ 0x9E3779B97F4A7C15ULL);
  std::exponential_distribution<double> gap(rate), size(1.0);
  double t = 0, horizon = warmup_s + seconds_s;
  while ((t += gap(gaps)) < horizon) {
    sched.push_back(static_cast<int64_t>(t * 1e6));
    work.push_back(size(sizes));
  }
  done.assign(sched.size(), 0);
  lag.assign(sched.size(), 0);

  for (size_t i = 0; i < servers.size(); ++i) {
    Server& s = servers[i];
    uint32_t host = kLoopbackBase + static_cast<uint32_t>(i);
    s.listen_fd = NonBlockingTcp();
    int on = 1;
    setsockopt(s.listen_fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
    sockaddr_in a = Addr(host, kHttpPort);
    if (bind(s.listen_fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0) Die("bind http");
    if (listen(s.listen_fd, 4096) != 0) Die("listen");
    Watch(s.listen_fd, EPOLLIN, Tagged(kListen, i), true);
    s.agent_fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    sockaddr_in u = Addr(host, coord_port);
    if (bind(s.agent_fd, reinterpret_cast<sockaddr*>(&u), sizeof(u)) != 0) Die("bind agent");
    Watch(s.agent_fd, EPOLLIN, Tagged(kAgent, i), true);
  }
  sample_busy.assign(servers.size(), 0);
  sample_cap.assign(servers.size(), 0);
  window_busy.assign(servers.size(), 0);
  window_cap.assign(servers.size(), 0);
  window_util.assign(servers.size(), 0);
  util_out = std::fopen((out_dir + "/util.tsv").c_str(), "w");
  if (util_out == nullptr) Die("util.tsv");
  // The agents' sockets are bound: a coordinator may start.
  FILE* ready = std::fopen((out_dir + "/ready").c_str(), "w");
  if (ready == nullptr) Die("ready");
  std::fclose(ready);

  t0 = NowUs();
  for (Server& s : servers) s.last_us = t0;
  if (tcp) {
    for (int i = 0; i < pool; ++i) {
      uint32_t id = NewClientConn(t0);
      // Clients' connections do not all end at once: the first ones are
      // spread over a lifetime, so that every one after has its own turn.
      cconns[id].assigned = static_cast<uint32_t>(i) * per_conn / static_cast<uint32_t>(pool);
      pool_slot_of.resize(cconns.size());
      pool_slot_of[id] = static_cast<uint32_t>(pool_ids.size());
      pool_ids.push_back(id);
    }
  }
  if (!sched.empty()) timers.push({t0 + sched[0], kArrive, 0, {}});
  timers.push({t0 + 500000, kSample, 0, {}});
  timers.push({t0 + 200000, kSweep, 0, {}});
  if (step_server >= 0) timers.push({t0 + static_cast<int64_t>(step_at_s * 1e6), kStep, 0, {}});

  const int64_t hard_end = t0 + static_cast<int64_t>((horizon + timeout_s + 1) * 1e6);
  epoll_event evs[256];
  for (;;) {
    int64_t now = NowUs();
    while (!timers.empty() && timers.top().at <= now) {
      Timer tm = timers.top();
      timers.pop();
      switch (tm.kind) {
        case kArrive: Arrive(now); break;
        case kDone: JobDone(static_cast<int>(tm.a), tm.job, tm.at); break;
        case kAlive:
        case kCpu: AgentTimer(static_cast<int>(tm.a), tm.kind == kAlive, now); break;
        case kSample:
          Sample(now);
          timers.push({tm.at + 500000, kSample, 0, {}});
          break;
        case kSweep:
          Sweep(now);
          timers.push({now + 200000, kSweep, 0, {}});
          break;
        case kStep: {
          Server& s = servers[step_server];
          s.Accumulate(now);
          if (s.workers > 1) {
            s.workers /= 2;
          } else {
            s.speed /= 2;
          }
          step_rel_s = static_cast<double>(Rel(now)) / 1e6;
          break;
        }
      }
      now = NowUs();
    }
    if ((next_arrival == sched.size() && open_requests == 0 && window_closed) || now >= hard_end) {
      break;
    }
    timespec ts{0, 0};
    if (!timers.empty()) {
      int64_t d = std::max<int64_t>(0, timers.top().at - now);
      ts.tv_sec = d / 1000000;
      ts.tv_nsec = (d % 1000000) * 1000;
    }
    int n = epoll_pwait2(ep, evs, 256, &ts, nullptr);
    if (n < 0 && errno != EINTR) Die("epoll_pwait2");
    now = NowUs();
    for (int k = 0; k < n; ++k) {
      uint64_t d = evs[k].data.u64;
      uint64_t idx = d & ((uint64_t{1} << 56) - 1);
      switch (static_cast<Tag>(d >> 56)) {
        case kListen: ServerAccept(static_cast<int>(idx)); break;
        case kServerConn:
          if (sconns[idx].fd < 0) break;
          if (evs[k].events & EPOLLOUT) FlushServer(static_cast<uint32_t>(idx));
          if (sconns[idx].fd >= 0 && (evs[k].events & (EPOLLIN | EPOLLERR | EPOLLHUP))) {
            ServerRead(static_cast<uint32_t>(idx), now);
          }
          break;
        case kAgent: AgentRead(static_cast<int>(idx), now); break;
        case kClientConn: ClientEvent(static_cast<uint32_t>(idx), evs[k].events, now); break;
      }
    }
  }
  int64_t now = NowUs();
  for (uint32_t id = 0; id < cconns.size(); ++id) CloseClientConn(id, now);
  for (size_t r = 0; r < done.size(); ++r) {
    if (done[r] == 0) done[r] = -1;
  }
  std::fclose(util_out);
}

void Sim::Report() {
  const int64_t from = static_cast<int64_t>(warmup_s * 1e6);
  std::vector<double> lat, lags;
  size_t failed = 0;
  for (size_t r = 0; r < sched.size(); ++r) {
    if (sched[r] < from) continue;
    lags.push_back(static_cast<double>(lag[r]) / 1000.0);
    if (done[r] < 0) {
      ++failed;
      lat.push_back(std::numeric_limits<double>::infinity());
    } else {
      lat.push_back(static_cast<double>(done[r] - sched[r]) / 1000.0);
    }
  }
  std::sort(lat.begin(), lat.end());
  std::sort(lags.begin(), lags.end());
  auto pct = [](const std::vector<double>& v, double p) {
    if (v.empty()) return std::nan("");
    size_t i = static_cast<size_t>(std::ceil(p / 100.0 * static_cast<double>(v.size()))) - 1;
    return v[std::min(v.size() - 1, i)];
  };
  FILE* f = std::fopen((out_dir + "/sim.txt").c_str(), "w");
  if (f == nullptr) Die("sim.txt");
  std::fprintf(f, "requests=%zu\nfailed=%zu\n", lat.size(), failed);
  std::fprintf(f, "p50_ms=%.3f\np99_ms=%.3f\np999_ms=%.3f\n", pct(lat, 50), pct(lat, 99),
               pct(lat, 99.9));
  std::fprintf(f, "lag_p99_ms=%.3f\nlag_max_ms=%.3f\n", pct(lags, 99),
               lags.empty() ? 0 : lags.back());
  std::fprintf(f, "util=");
  for (size_t i = 0; i < servers.size(); ++i) {
    std::fprintf(f, "%s%.2f", i ? "," : "", window_util[i]);
  }
  std::fprintf(f, "\nserved=");
  for (size_t i = 0; i < servers.size(); ++i) {
    std::fprintf(f, "%s%llu", i ? "," : "", static_cast<unsigned long long>(servers[i].served));
  }
  std::fprintf(f, "\nshed=");
  for (size_t i = 0; i < servers.size(); ++i) {
    std::fprintf(f, "%s%llu", i ? "," : "", static_cast<unsigned long long>(servers[i].shed));
  }
  rusage ru{};
  getrusage(RUSAGE_SELF, &ru);
  std::fprintf(f, "\ncpu_s=%.3f",
               static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
                   static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6);
  std::fprintf(f, "\nconfigured=%d\ncoor_alive=%llu\nreports=%llu\nstep_at=%.3f\n",
               static_cast<int>(std::count_if(servers.begin(), servers.end(),
                                              [](const Server& s) { return s.configured; })),
               static_cast<unsigned long long>(coor_alive),
               static_cast<unsigned long long>(reports), step_rel_s);
  std::fclose(f);
}

}  // namespace

int main(int argc, char** argv) {
  signal(SIGPIPE, SIG_IGN);
  Sim sim;
  bool have_fe = false, have_coord = false;
  auto usage = []() {
    std::fprintf(
        stderr,
        "usage: balance_sim --servers W:S,... --mean-ms T --rate R --warmup S --seconds S "
        "--seed N --frontend ADDR:PORT --coordinator ADDR:PORT --out DIR [--mode http|tcp] "
        "[--queue N] [--pool N] [--per-conn N] [--step I@SEC] [--background I,...] "
        "[--timeout SEC]\n");
    std::exit(2);
  };
  std::vector<int> background;
  for (int i = 1; i < argc; ++i) {
    std::string o = argv[i];
    if (i + 1 >= argc) usage();
    const char* v = argv[++i];
    if (o == "--servers") {
      std::string s(v);
      size_t p = 0;
      while (p < s.size()) {
        size_t q = s.find(',', p);
        if (q == std::string::npos) q = s.size();
        Server sv;
        if (std::sscanf(s.substr(p, q - p).c_str(), "%d:%lf", &sv.workers, &sv.speed) != 2 ||
            sv.workers < 1 || sv.workers > 64 || !(sv.speed > 0)) {
          usage();
        }
        sim.servers.push_back(sv);
        p = q + 1;
      }
    } else if (o == "--mean-ms") {
      sim.mean_us = std::strtod(v, nullptr) * 1000;
    } else if (o == "--rate") {
      sim.rate = std::strtod(v, nullptr);
    } else if (o == "--warmup") {
      sim.warmup_s = std::strtod(v, nullptr);
    } else if (o == "--seconds") {
      sim.seconds_s = std::strtod(v, nullptr);
    } else if (o == "--seed") {
      sim.seed = std::strtoull(v, nullptr, 10);
    } else if (o == "--frontend") {
      have_fe = ParseAddrPort(v, &sim.fe_host, &sim.fe_port);
    } else if (o == "--coordinator") {
      have_coord = ParseAddrPort(v, &sim.coord_host, &sim.coord_port);
    } else if (o == "--out") {
      sim.out_dir = v;
    } else if (o == "--mode") {
      sim.tcp = std::string(v) == "tcp";
    } else if (o == "--queue") {
      sim.queue_max = std::strtoul(v, nullptr, 10);
    } else if (o == "--pool") {
      sim.pool = std::atoi(v);
    } else if (o == "--per-conn") {
      sim.per_conn = static_cast<uint32_t>(std::strtoul(v, nullptr, 10));
    } else if (o == "--step") {
      if (std::sscanf(v, "%d@%lf", &sim.step_server, &sim.step_at_s) != 2) usage();
    } else if (o == "--background") {
      std::string s(v);
      for (size_t p = 0; p < s.size();) {
        background.push_back(std::atoi(s.c_str() + p));
        size_t q = s.find(',', p);
        p = q == std::string::npos ? s.size() : q + 1;
      }
    } else if (o == "--timeout") {
      sim.timeout_s = std::strtod(v, nullptr);
    } else {
      usage();
    }
  }
  const size_t n = sim.servers.size();
  if (n == 0 || n > 200 || !have_fe || !have_coord || sim.out_dir.empty() || !(sim.rate > 0) ||
      sim.rate > 20000 || !(sim.mean_us > 0) || sim.warmup_s < 0 || !(sim.seconds_s > 0) ||
      sim.warmup_s + sim.seconds_s > 600 || sim.pool < 1 || sim.pool > 4096 || sim.per_conn < 1 ||
      sim.step_server >= static_cast<int>(n) || !(sim.timeout_s > 0)) {
    usage();
  }
  for (int b : background) {
    if (b < 0 || static_cast<size_t>(b) >= n) usage();
    sim.servers[static_cast<size_t>(b)].background = true;
  }
  sim.Run();
  sim.Report();
  return 0;
}
