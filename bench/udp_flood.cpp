// A bounded sender of valid Coor_alive datagrams, for the throughput
// benchmark: sends COUNT datagrams to ADDR:PORT as fast as it can (or at
// RATE per second), numbered in `sequence` so the receiver's duplicate check
// keeps them all, and prints the rate it achieved.
//
//   udp_flood ADDR PORT COUNT [RATE] [SRC]
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
  return ts.tv_sec + ts.tv_nsec / 1e9;
}

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: %s ADDR PORT COUNT [RATE] [SRC]\n", argv[0]);
    return 2;
  }
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(static_cast<uint16_t>(std::atoi(argv[2])));
  if (inet_pton(AF_INET, argv[1], &to.sin_addr) != 1) return 2;
  long count = std::atol(argv[3]);
  if (count <= 0 || count > 100000000) return 2;
  double rate = argc > 4 ? std::atof(argv[4]) : 0;
  const char* src = argc > 5 ? argv[5] : "127.0.0.1";
  int s = socket(AF_INET, SOCK_DGRAM, 0);
  uint8_t d[68] = {};
  uint32_t fields[10] = {4, 1, 0, 0, 28, 4, 0, 0, 0, 0};
  for (int i = 0; i < 10; ++i) {
    uint32_t v = htonl(fields[i]);
    std::memcpy(d + 4 * i, &v, 4);
  }
  uint32_t srcAddr = inet_addr(src), desAddr = to.sin_addr.s_addr;
  std::memcpy(d + 24, &srcAddr, 4);
  std::memcpy(d + 28, &desAddr, 4);
  uint32_t data[7] = {0, 0, htonl(1), htonl(0), htonl(0), 0, htonl(0)};
  std::memcpy(d + 40, data, sizeof(data));
  double start = Now();
  long sent = 0;
  for (long i = 0; i < count; ++i) {
    // sequence 0 is never suppressed; so every datagram counts.
    if (rate > 0) {
      while (Now() - start < i / rate) {
      }
    }
    if (sendto(s, d, sizeof(d), 0, reinterpret_cast<sockaddr*>(&to), sizeof(to)) == sizeof(d))
      ++sent;
  }
  double took = Now() - start;
  std::printf("sent %ld datagrams in %.3f s: %.0f per second\n", sent, took, sent / took);
  close(s);
  return 0;
}
