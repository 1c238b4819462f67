// SPDX-License-Identifier: Apache-2.0
/* The floor for the agent's cost: the least C that does the agent's useful
 * work. Once a second it reads /proc/stat, works out the CPU load since the
 * last reading and sends it in one 44-byte datagram (the CPU-load message's
 * size) to ADDR:PORT. Runs SECONDS seconds (0: until killed). With "alive" it
 * also sends a 64-byte datagram (the alive message's size) each second, the
 * agent's other report at 1-second periods.
 *
 *   keld4_floor ADDR PORT [SECONDS [alive]]
 */
#include <arpa/inet.h>
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

static int Sample(unsigned long long *busy, unsigned long long *total) {
  char buf[256];
  int fd = open("/proc/stat", O_RDONLY);
  if (fd < 0) return -1;
  ssize_t n = read(fd, buf, sizeof(buf) - 1);
  close(fd);
  if (n <= 0) return -1;
  buf[n] = '\0';
  unsigned long long v[8] = {0};
  if (sscanf(buf, "cpu %llu %llu %llu %llu %llu %llu %llu %llu", &v[0], &v[1], &v[2], &v[3], &v[4],
             &v[5], &v[6], &v[7]) < 4)
    return -1;
  *total = 0;
  for (int i = 0; i < 8; ++i) *total += v[i];
  *busy = *total - v[3] - v[4];
  return 0;
}

int main(int argc, char **argv) {
  if (argc < 3) {
    fprintf(stderr, "usage: %s ADDR PORT [SECONDS]\n", argv[0]);
    return 2;
  }
  struct sockaddr_in to = {0};
  to.sin_family = AF_INET;
  to.sin_port = htons((uint16_t)atoi(argv[2]));
  if (inet_pton(AF_INET, argv[1], &to.sin_addr) != 1) return 2;
  long seconds = argc > 3 ? atol(argv[3]) : 0;
  int alive = argc > 4 && strcmp(argv[4], "alive") == 0;
  int s = socket(AF_INET, SOCK_DGRAM, 0);
  if (s < 0) return 1;
  unsigned long long busy0 = 0, total0 = 0, busy, total;
  Sample(&busy0, &total0);
  struct timespec next;
  clock_gettime(CLOCK_MONOTONIC, &next);
  for (long i = 0; seconds == 0 || i < seconds; ++i) {
    next.tv_sec += 1;
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &next, NULL) != 0) {
    }
    if (Sample(&busy, &total) != 0) continue;
    uint32_t load = total > total0 ? (uint32_t)((busy - busy0) * 100 / (total - total0)) : 0;
    busy0 = busy;
    total0 = total;
    /* header (ten 32-bit fields) and the load, big-endian like the agent's */
    uint32_t msg[11] = {htonl(4), htonl(0x01200001),  0, 0, htonl(4),   htonl(1),
                        0,        to.sin_addr.s_addr, 0, 0, htonl(load)};
    sendto(s, msg, sizeof(msg), 0, (struct sockaddr *)&to, sizeof(to));
    if (alive) {
      uint32_t up[16] = {htonl(4), htonl(1), 0, 0, htonl(24), htonl(1), 0, to.sin_addr.s_addr};
      sendto(s, up, sizeof(up), 0, (struct sockaddr *)&to, sizeof(to));
    }
  }
  close(s);
  return 0;
}
