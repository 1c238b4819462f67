// SPDX-License-Identifier: Apache-2.0
// keld4-coordinator: tells keld4 agents their periods and log level with
// Coor_alive messages, watches what they report back and, given HAProxy's
// stats socket, turns their CPU load into server weights.
#include <cstdio>

#include "Coordinator.h"
#include "Options.h"

int main(int argc, char** argv) {
  coord::CoordinatorOptions opt;
  char err[512];
  if (coord::ParseArgs(argc, argv, &opt, err, sizeof(err)) != 0) {
    std::fprintf(stderr, "%s: %s\nTry '%s --help' for more information.\n", coord::kProgram, err,
                 coord::kProgram);
    return 2;
  }
  if (opt.help) {
    std::fputs(coord::UsageText().c_str(), stdout);
    return 0;
  }
  if (opt.version) {
    std::printf("%s %s\n", coord::kProgram, coord::kVersion);
    return 0;
  }
  coord::CCoordinator coordinator(opt);
  return coordinator.Run();
}
