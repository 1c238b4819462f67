// SPDX-License-Identifier: Apache-2.0
// The cost of the nftables table's writes and checks at N servers in one
// service, inside a network namespace the program makes for itself (run as
// root): the weight update the coordinator makes (every weight changed, the
// map refilled in one netlink transaction), the whole table written through
// libnftables' text (what a start or a put-back costs, and what the updates
// would cost that way), and the check while nothing changed and after some
// other change.
//
//   nft_bench [ROUNDS] N...
#include <nftables/libnftables.h>
#include <sched.h>
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "tools/keld4-coordinator/Nftables.h"

namespace {

double Ms(std::chrono::steady_clock::time_point a, std::chrono::steady_clock::time_point b) {
  return std::chrono::duration<double, std::milli>(b - a).count();
}

std::string Summary(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  char s[96];
  std::snprintf(s, sizeof(s), "median %.2f ms, p90 %.2f ms, max %.2f ms", v[v.size() / 2],
                v[v.size() * 9 / 10], v.back());
  return s;
}

// This thread's user and system processor time, in ms.
void Cpu(double* user, double* sys) {
  rusage u{};
  getrusage(RUSAGE_THREAD, &u);
  *user =
      static_cast<double>(u.ru_utime.tv_sec) * 1e3 + static_cast<double>(u.ru_utime.tv_usec) / 1e3;
  *sys =
      static_cast<double>(u.ru_stime.tv_sec) * 1e3 + static_cast<double>(u.ru_stime.tv_usec) / 1e3;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: nft_bench ROUNDS N...\n");
    return 2;
  }
  if (unshare(CLONE_NEWNET) != 0) {
    std::perror("unshare(CLONE_NEWNET) (run as root)");
    return 1;
  }
  int rounds = static_cast<int>(std::strtol(argv[1], nullptr, 10));
  std::mt19937 rng(7);
  for (int a = 2; a < argc; ++a) {
    int n = static_cast<int>(std::strtol(argv[a], nullptr, 10));
    coord::L4Service s;
    s.name = "web";
    s.vip = 0x0A000064;
    s.port = 80;
    for (int i = 0; i < n; ++i) {
      s.servers.push_back(
          {"app" + std::to_string(i), 0x0A010000u + static_cast<uint32_t>(i), 8080});
    }
    coord::CNftTable t("keld4", {s});
    std::string err;
    if (t.Open(&err) != 0) {
      std::fprintf(stderr, "%s\n", err.c_str());
      return 1;
    }
    std::uniform_int_distribution<int> weight(1, 100);
    auto draw = [&] {
      std::vector<std::vector<int>> w(1);
      for (int i = 0; i < n; ++i) w[0].push_back(weight(rng));
      return w;
    };
    auto t0 = std::chrono::steady_clock::now();
    if (t.Write(draw(), &err) != 0) {
      std::fprintf(stderr, "%s\n", err.c_str());
      return 1;
    }
    double first = Ms(t0, std::chrono::steady_clock::now());
    std::vector<double> update, update_user, update_sys, text, quiet, changed;
    nft_ctx* nft = nft_ctx_new(NFT_CTX_DEFAULT);
    nft_ctx_buffer_output(nft);
    nft_ctx_buffer_error(nft);
    for (int r = 0; r < rounds; ++r) {
      std::vector<std::vector<int>> w = draw();
      double u0, s0, u1, s1;
      Cpu(&u0, &s0);
      auto a0 = std::chrono::steady_clock::now();
      if (t.Write(w, &err) != 0) {
        std::fprintf(stderr, "%s\n", err.c_str());
        return 1;
      }
      auto a1 = std::chrono::steady_clock::now();
      Cpu(&u1, &s1);
      update.push_back(Ms(a0, a1));
      update_user.push_back(u1 - u0);
      update_sys.push_back(s1 - s0);
      if (t.Check(&err) != 0) {
        std::fprintf(stderr, "check: %s\n", err.c_str());
        return 1;
      }
      quiet.push_back(Ms(a1, std::chrono::steady_clock::now()));
      // The same weights as libnftables text, into a table of its own.
      std::string whole = coord::NftTableText("keld4text", {s}, w);
      auto b0 = std::chrono::steady_clock::now();
      if (nft_run_cmd_from_buffer(nft, whole.c_str()) != 0) {
        std::fprintf(stderr, "%s\n", nft_ctx_get_error_buffer(nft));
        return 1;
      }
      auto b1 = std::chrono::steady_clock::now();
      text.push_back(Ms(b0, b1));
      // That change was not ours: the check reads the table back.
      if (t.Check(&err) != 0) {
        std::fprintf(stderr, "check: %s\n", err.c_str());
        return 1;
      }
      changed.push_back(Ms(b1, std::chrono::steady_clock::now()));
    }
    nft_ctx_free(nft);
    std::printf("%d servers, %d rounds:\n", n, rounds);
    std::printf("  first write (whole table, libnftables text): %.2f ms\n", first);
    std::printf("  weight update (every weight changed):        %s\n", Summary(update).c_str());
    std::printf("    its processor time, user:                  %s\n",
                Summary(update_user).c_str());
    std::printf("    its processor time, system (the kernel):   %s\n", Summary(update_sys).c_str());
    std::printf("  the same as a whole table in libnftables:   %s\n", Summary(text).c_str());
    std::printf("  check, nothing changed:                      %s\n", Summary(quiet).c_str());
    std::printf("  check after another change (reads back):     %s\n", Summary(changed).c_str());
  }
  return 0;
}
