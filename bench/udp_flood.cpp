// SPDX-License-Identifier: Apache-2.0
// A bounded sender of valid Coor_alive datagrams, and the bare receiver its
// losses are compared with, for the throughput benchmark.
//
//   udp_flood ADDR PORT COUNT RATE SRC LOGLEVEL
//     sends COUNT datagrams to ADDR:PORT at RATE per second (0: as fast as it
//     can), from the coordinator address SRC, each carrying LOGLEVEL, so the
//     agent keeps the log level being measured. The pace is kept in 1 ms
//     batches with the sender asleep in between, not spinning a core.
//   udp_flood sink PORT SECONDS
//     a bare recvfrom loop on PORT: counts the datagrams that arrive until
//     SECONDS pass without one, and prints the count.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

static double Now() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

static int Sink(int port, int idle) {
  // The default receive buffer, as the agent has.
  int s = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in me{};
  me.sin_family = AF_INET;
  me.sin_port = htons(static_cast<uint16_t>(port));
  if (bind(s, reinterpret_cast<sockaddr*>(&me), sizeof(me)) != 0) {
    std::perror("bind");
    return 1;
  }
  timeval timeout{idle, 0};
  setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout));
  std::printf("ready\n");
  std::fflush(stdout);
  long received = 0;
  char buffer[2048];
  while (recvfrom(s, buffer, sizeof(buffer), 0, nullptr, nullptr) >= 0) ++received;
  std::printf("received %ld\n", received);
  close(s);
  return 0;
}

int main(int argc, char** argv) {
  if (argc == 4 && std::strcmp(argv[1], "sink") == 0)
    return Sink(std::atoi(argv[2]), std::atoi(argv[3]));
  if (argc != 7) {
    std::fprintf(stderr, "usage: %s ADDR PORT COUNT RATE SRC LOGLEVEL | sink PORT SECONDS\n",
                 argv[0]);
    return 2;
  }
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(static_cast<uint16_t>(std::atoi(argv[2])));
  if (inet_pton(AF_INET, argv[1], &to.sin_addr) != 1) return 2;
  long count = std::atol(argv[3]);
  if (count <= 0 || count > 100000000) return 2;
  double rate = std::atof(argv[4]);
  uint32_t srcAddr = inet_addr(argv[5]);
  uint32_t loglevel = static_cast<uint32_t>(std::atol(argv[6]));
  int s = socket(AF_INET, SOCK_DGRAM, 0);
  uint8_t d[68] = {};
  uint32_t fields[10] = {4, 1, 0, 0, 28, 4, 0, 0, 0, 0};
  for (int i = 0; i < 10; ++i) {
    uint32_t v = htonl(fields[i]);
    std::memcpy(d + 4 * i, &v, 4);
  }
  uint32_t desAddr = to.sin_addr.s_addr;
  std::memcpy(d + 24, &srcAddr, 4);
  std::memcpy(d + 28, &desAddr, 4);
  // loglevel, no log check, no alive or CPU-load messages
  uint32_t data[7] = {0, 0, htonl(loglevel), 0, 0, 0, 0};
  std::memcpy(d + 40, data, sizeof(data));
  double start = Now();
  long sent = 0, i = 0;
  timespec tick{};
  clock_gettime(CLOCK_MONOTONIC, &tick);
  while (i < count) {
    // sequence 0 is never suppressed, so every datagram counts.
    long due = rate > 0 ? static_cast<long>((Now() - start) * rate) + 1 : count;
    for (; i < count && i < due; ++i) {
      if (sendto(s, d, sizeof(d), 0, reinterpret_cast<sockaddr*>(&to), sizeof(to)) == sizeof(d))
        ++sent;
    }
    if (rate > 0 && i < count) {
      tick.tv_nsec += 1000000;
      if (tick.tv_nsec >= 1000000000) {
        tick.tv_nsec -= 1000000000;
        ++tick.tv_sec;
      }
      clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &tick, nullptr);
    }
  }
  double took = Now() - start;
  std::printf("sent %ld datagrams in %.3f s: %.0f per second\n", sent, took,
              static_cast<double>(sent) / took);
  close(s);
  return 0;
}
