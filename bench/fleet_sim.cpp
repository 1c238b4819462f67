// SPDX-License-Identifier: Apache-2.0
// A fleet of agents in one process, for the coordinator's fleet benchmark.
//
//   fleet_sim BASE AGENTS COORDINATOR PORT SECONDS STEPS_FILE
//
// Agent i owns the address BASE + i (the namespace routes the whole range to
// its loopback as local addresses), stays quiet until its Coor_alive arrives,
// then sends an alive and a CPU-load report at the periods it was given, from
// its own address, at a phase of its own so the fleet is spread over each
// period. Every agent's load is 10 until a third of the run, 90 until two
// thirds, then 10 again; STEPS_FILE gets, per agent and step, the wall-clock
// time of the first report carrying the new load. Ends after SECONDS; prints
// its counts as KEY=VALUE lines.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <queue>
#include <vector>

#include "bench/agent_wire.h"

namespace {

int64_t NowUs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

double WallNow() {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

struct Agent {
  bool configured = false;
  uint32_t alive_s = 0;
  uint32_t cpu_s = 0;
  double step_sent[2] = {0, 0};  // first report with the new load, per step
};

struct Due {
  int64_t at_us;
  uint32_t agent;
  bool alive;
  bool operator>(const Due& o) const { return at_us > o.at_us; }
};

}  // namespace

int main(int argc, char** argv) {
  if (argc != 7) {
    std::fprintf(stderr, "usage: fleet_sim BASE AGENTS COORDINATOR PORT SECONDS STEPS_FILE\n");
    return 2;
  }
  in_addr base_addr{}, coord_addr{};
  if (inet_pton(AF_INET, argv[1], &base_addr) != 1 ||
      inet_pton(AF_INET, argv[3], &coord_addr) != 1) {
    std::fprintf(stderr, "fleet_sim: bad address\n");
    return 2;
  }
  const uint32_t base = ntohl(base_addr.s_addr);
  const uint32_t coord = ntohl(coord_addr.s_addr);
  const uint32_t n = static_cast<uint32_t>(std::strtoul(argv[2], nullptr, 10));
  const uint16_t port = static_cast<uint16_t>(std::strtoul(argv[4], nullptr, 10));
  const int64_t run_us = static_cast<int64_t>(std::strtod(argv[5], nullptr) * 1e6);
  if (n == 0 || n > 1000000 || port == 0 || run_us <= 0 || run_us > int64_t{3600} * 1000000) {
    std::fprintf(stderr, "fleet_sim: out of range\n");
    return 2;
  }

  int s = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK, 0);
  int on = 1, big = 64 << 20;
  setsockopt(s, IPPROTO_IP, IP_PKTINFO, &on, sizeof(on));
  setsockopt(s, SOL_SOCKET, SO_RCVBUFFORCE, &big, sizeof(big));
  setsockopt(s, SOL_SOCKET, SO_SNDBUFFORCE, &big, sizeof(big));
  sockaddr_in me{};
  me.sin_family = AF_INET;
  me.sin_port = htons(port);
  if (bind(s, reinterpret_cast<sockaddr*>(&me), sizeof(me)) != 0) {
    std::perror("fleet_sim: bind");
    return 1;
  }

  std::vector<Agent> agents(n);
  std::priority_queue<Due, std::vector<Due>, std::greater<>> due;
  const int64_t start = NowUs();
  const int64_t end = start + run_us;
  const int64_t step1 = start + run_us / 3, step2 = start + 2 * run_us / 3;
  const double wall_start = WallNow();
  uint64_t sent = 0, send_failed = 0, coor_alive = 0, configured = 0;

  // One batch of reports, each from its agent's own address.
  constexpr unsigned kBatch = 64;
  uint8_t payload[kBatch][64];
  iovec iov[kBatch];
  mmsghdr msgs[kBatch];
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(port);
  to.sin_addr.s_addr = htonl(coord);
  alignas(cmsghdr) uint8_t control[kBatch][CMSG_SPACE(sizeof(in_pktinfo))];
  unsigned pending = 0;
  auto flush = [&]() {
    unsigned done = 0;
    while (done < pending) {
      int k = sendmmsg(s, msgs + done, pending - done, 0);
      if (k < 0) {
        if (errno == EAGAIN || errno == EINTR) {
          pollfd p = {s, POLLOUT, 0};
          poll(&p, 1, 10);
          continue;
        }
        send_failed += pending - done;
        break;
      }
      done += static_cast<unsigned>(k);
      sent += static_cast<uint64_t>(k);
    }
    pending = 0;
  };
  auto queue_report = [&](uint32_t i, bool alive, int64_t now) {
    uint8_t* b = payload[pending];
    uint32_t src = base + i;
    size_t len = 0;
    if (alive) {
      len = bench::EncodeAlive(src, coord, 2400, b);
    } else {
      bool high = now >= step1 && now < step2;
      len = bench::EncodeCpuLoad(src, coord, high ? 90 : 10, b);
      int step = now >= step2 ? 1 : now >= step1 ? 0 : -1;
      if (step >= 0 && agents[i].step_sent[step] == 0) agents[i].step_sent[step] = WallNow();
    }
    iov[pending] = {b, len};
    msgs[pending] = {};
    msghdr& h = msgs[pending].msg_hdr;
    h.msg_name = &to;
    h.msg_namelen = sizeof(to);
    h.msg_iov = &iov[pending];
    h.msg_iovlen = 1;
    h.msg_control = control[pending];
    h.msg_controllen = sizeof(control[pending]);
    cmsghdr* c = CMSG_FIRSTHDR(&h);
    c->cmsg_level = IPPROTO_IP;
    c->cmsg_type = IP_PKTINFO;
    c->cmsg_len = CMSG_LEN(sizeof(in_pktinfo));
    in_pktinfo pi{};
    pi.ipi_spec_dst.s_addr = htonl(src);
    std::memcpy(CMSG_DATA(c), &pi, sizeof(pi));
    if (++pending == kBatch) flush();
  };

  for (;;) {
    int64_t now = NowUs();
    if (now >= end) break;
    // Reports that are due.
    while (!due.empty() && due.top().at_us <= now) {
      Due d = due.top();
      due.pop();
      Agent& a = agents[d.agent];
      queue_report(d.agent, d.alive, now);
      uint32_t period = d.alive ? a.alive_s : a.cpu_s;
      if (period != 0) due.push({d.at_us + int64_t{period} * 1000000, d.agent, d.alive});
    }
    flush();
    // Coor_alive messages: the destination address names the agent.
    for (int k = 0; k < 4096; ++k) {
      uint8_t buf[256];
      alignas(cmsghdr) uint8_t cbuf[256];
      iovec v = {buf, sizeof(buf)};
      msghdr h{};
      h.msg_iov = &v;
      h.msg_iovlen = 1;
      h.msg_control = cbuf;
      h.msg_controllen = sizeof(cbuf);
      ssize_t got = recvmsg(s, &h, 0);
      if (got < 0) break;
      uint32_t alive_s = 0, cpu_s = 0;
      if (!bench::DecodeCoorAlivePeriods(buf, static_cast<size_t>(got), &alive_s, &cpu_s)) continue;
      uint32_t dst = 0;
      for (cmsghdr* c = CMSG_FIRSTHDR(&h); c != nullptr; c = CMSG_NXTHDR(&h, c)) {
        if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO) {
          in_pktinfo pi{};
          std::memcpy(&pi, CMSG_DATA(c), sizeof(pi));
          dst = ntohl(pi.ipi_addr.s_addr);
        }
      }
      if (dst < base || dst - base >= n) continue;
      ++coor_alive;
      uint32_t i = dst - base;
      Agent& a = agents[i];
      bool first = !a.configured;
      a.alive_s = alive_s;
      a.cpu_s = cpu_s;
      if (!first) continue;
      a.configured = true;
      ++configured;
      // Its own phase: the fleet spreads evenly over each second.
      int64_t phase = int64_t{i} * 1000000 / n;
      int64_t next = now - (now - start) % 1000000 + phase;
      if (next <= now) next += 1000000;
      if (a.alive_s != 0) due.push({next, i, true});
      if (a.cpu_s != 0) due.push({next + 1000, i, false});
    }
    int64_t wake = end;
    if (!due.empty()) wake = std::min(wake, due.top().at_us);
    int timeout = static_cast<int>(std::max<int64_t>(0, (wake - NowUs() + 999) / 1000));
    pollfd p = {s, POLLIN, 0};
    poll(&p, 1, std::min(timeout, 1000));
  }

  FILE* f = std::fopen(argv[6], "w");
  if (f != nullptr) {
    for (uint32_t i = 0; i < n; ++i) {
      std::fprintf(f, "%u %.6f %.6f\n", i, agents[i].step_sent[0], agents[i].step_sent[1]);
    }
    std::fclose(f);
  }
  std::printf("step1=%.6f\nstep2=%.6f\n", wall_start + static_cast<double>(run_us / 3) / 1e6,
              wall_start + static_cast<double>(2 * run_us / 3) / 1e6);
  std::printf("sent=%llu\nsend_failed=%llu\ncoor_alive=%llu\nconfigured=%llu\nagents=%u\n",
              static_cast<unsigned long long>(sent), static_cast<unsigned long long>(send_failed),
              static_cast<unsigned long long>(coor_alive),
              static_cast<unsigned long long>(configured), n);
  return 0;
}
