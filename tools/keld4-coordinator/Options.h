// Command line of keld4-coordinator.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "Protocol.h"
#include "ServerMap.h"
#include "Weights.h"

namespace coord {

constexpr uint16_t kDefaultPort = 45002;
constexpr uint32_t kDefaultResend = 30;
// Ten years; keeps the end time far from overflow.
constexpr double kMaxDurationSeconds = 315360000.0;

struct CoordinatorOptions {
  uint32_t listen = 0;  // 0.0.0.0
  uint16_t port = kDefaultPort;
  bool has_address = false;
  uint32_t address = 0;  // srcAddr of our Coor_alive: where the agents report to
  std::vector<uint32_t> agents;
  std::vector<uint32_t> broadcasts;
  CoorAliveSettings settings;
  uint32_t resend = kDefaultResend;  // seconds; 0 sends once
  int64_t duration_ms = 0;           // 0 runs until stopped
  uint64_t count = 0;                // 0 counts nothing
  bool json = false;
  bool help = false;
  bool version = false;

  // Balancing HAProxy.
  std::string haproxy;  // stats socket: a UNIX socket path or host:port; "" none
  std::vector<ServerMapping> servers;
  WeightPolicy policy;
  LbState silent_state = LbState::kDrain;
  bool dry_run = false;

  // Watching: /metrics and the status page.
  bool has_metrics = false;
  uint32_t metrics_addr = 0;
  uint16_t metrics_port = 0;

  // The address our Coor_alive names as its source.
  uint32_t SourceAddr() const { return has_address ? address : listen; }
};

// The --help text.
std::string UsageText();

// Fills *o from the command line (reading a --config file). Returns 0, or -1
// with a one-line reason in err (without the program name).
int ParseArgs(int argc, char** argv, CoordinatorOptions* o, char* err, size_t errlen);

}  // namespace coord
