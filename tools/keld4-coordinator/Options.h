// SPDX-License-Identifier: Apache-2.0
// Command line of keld4-coordinator.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "AgentTable.h"
#include "Protocol.h"
#include "ServerMap.h"
#include "ServiceFile.h"
#include "Weights.h"

namespace coord {

constexpr uint16_t kDefaultPort = 45002;
constexpr uint32_t kDefaultResend = 30;
// Asked for 8 MiB the kernel grants 16 MiB, which holds some 20,000 reports
// at once (it counts about 830 bytes for each): a second of 10,000 agents.
constexpr int kDefaultRcvbuf = 8 << 20;
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
  std::vector<std::string> haproxy;  // stats sockets: UNIX socket paths or host:port
  std::vector<ServerMapping> servers;
  WeightPolicy policy;
  LbState silent_state = LbState::kDrain;
  bool dry_run = false;
  // Balancing in the kernel: the --nftables service file, the table written.
  std::string nftables_file;
  std::string nftables_table = "keld4";
  std::vector<L4Service> l4_services;

  // A fleet.
  size_t max_agents = kMaxAgents;  // rows of the agent table
  int rcvbuf = kDefaultRcvbuf;     // receive buffer asked of the kernel, bytes
  int max_drain = 50;              // % of a backend's servers drained for silence
  bool trust_forwarded = false;    // reports may come from another UDP source
  // Running as one of a redundant pair.
  bool follow_address = false;               // active only while --address is assigned here
  std::string options_file;                  // where options were read from; "" none
  std::string server_map;                    // the --config file, read again on SIGHUP; "" none
  std::vector<ServerMapping> fixed_servers;  // the --server ones
  std::vector<uint32_t> fixed_agents;        // the --agent ones
  std::string heartbeat;                     // a file whose time the loop keeps setting; "" none
  std::vector<std::string> command_line;     // as given, to read the options file again
  // Watching: /metrics and the status page.
  bool has_metrics = false;
  uint32_t metrics_addr = 0;
  uint16_t metrics_port = 0;

  // The address our Coor_alive names as its source.
  uint32_t SourceAddr() const { return has_address ? address : listen; }
};

// The --help text.
std::string UsageText();

// Fills *o from the command line (reading an --options-file and a --config
// file). Returns 0, or -1 with a one-line reason in err (without the program
// name); a bad line of the options file is named as FILE:LINE.
int ParseArgs(int argc, char** argv, CoordinatorOptions* o, char* err, size_t errlen);

// The mappings from --server and the --config file as it is now, and the
// agents to send Coor_alive to with them. Returns 0, or -1 with the reason.
int LoadServers(const CoordinatorOptions& o, std::vector<ServerMapping>* servers,
                std::vector<uint32_t>* agents, std::string* why);

}  // namespace coord
