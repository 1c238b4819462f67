// SPDX-License-Identifier: Apache-2.0
// What the coordinator shows: one plain snapshot, filled by the datagram loop
// and read by every view (Prometheus and the status page on the HTTP
// threads, the JSON events, the live table and the end summary), and the
// last minutes of load and weight per server for the page's plots.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "AgentTable.h"
#include "Weights.h"

namespace coord {

// Round trips on an HAProxy socket, in seconds, counted per bucket.
struct LatencyHistogram {
  static constexpr std::array<double, 8> kBounds = {0.0005, 0.001, 0.0025, 0.005,
                                                    0.01,   0.025, 0.1,    1.0};
  std::array<uint64_t, kBounds.size() + 1> counts{};  // the last one is above every bound
  uint64_t count = 0;
  double sum = 0;

  void Observe(double seconds);
};

struct AgentStatus {
  uint32_t addr = 0;
  AgentState state = AgentState::kUnknown;
  int load = -1;             // percent; -1 none reported yet
  double last_report_s = 0;  // Unix time of its latest valid message; 0 none
};

// The safety valve of one backend: how many of its mapped servers are drained
// for silence and how many more silent ones it keeps in service.
struct ValveView {
  std::string backend;
  size_t mapped = 0;
  size_t drained = 0;  // for silence, not for a down message
  size_t held = 0;     // silent, kept at their last weight and state
  bool deaf = false;   // held because the coordinator hears almost none of its fleet
};

struct ServerStatus {
  std::string backend;
  std::string server;
  uint32_t agent = 0;
  int weight = -1;  // as written, or as HAProxy holds it before our first write; -1 unknown
  int target = -1;  // what the load asks for; -1 none yet
  LbState state = LbState::kUnknown;  // as written
  int load = -1;                      // smoothed percent; -1 none yet
  bool missing = false;               // HAProxy has no such server
  bool held = false;                  // silent, kept in service by its backend's valve
  std::string holder;  // whose state it keeps, untouched by us: operator, config, haproxy, map; ""
};

struct EndpointStatus {
  std::string kind;      // the driver's: haproxy, nftables, dryrun
  std::string endpoint;  // the stats socket as given, or the nftables table
  bool reachable = false;
  long long pid = 0;       // HAProxy's, while reachable
  std::string last_error;  // why it is not reachable; "" not tried yet
  size_t missing = 0;      // mapped servers it does not have
  uint64_t commands = 0;
  uint64_t errors = 0;  // failed exchanges and refused commands
  LatencyHistogram latency;
};

struct BackendStatus {
  std::string name;
  bool valve_holding = false;  // mass silence: drains held back for this backend
};

struct CoordinatorStatus {
  std::string version;
  std::string listen;  // ADDR:PORT of the agents' socket
  double time_s = 0;   // Unix time the snapshot was taken
  double start_s = 0;  // Unix time the run began
  bool active = true;  // false while standing by
  bool deaf = false;   // hears almost none of its fleet: drains nobody for silence
  size_t heard = 0;    // of the mapped agents counted on, heard lately, as last counted
  size_t expected = 0;
  uint64_t agents_configured = 0;
  uint64_t received = 0;  // every datagram read, well-formed or not
  uint64_t malformed = 0;
  uint64_t dropped_kernel = 0;  // the socket's queue was full
  uint64_t dropped_source = 0;  // refused by the source check
  uint64_t alive_sent = 0;
  uint64_t alive_failed = 0;
  // The agent table: rows in use of its cap, and what a flood did to it.
  uint64_t table_rows = 0;
  uint64_t table_max = 0;
  bool table_full = false;      // no free row: newcomers take other agents' rows
  uint64_t table_recycled = 0;  // rows given to a newcomer
  uint64_t table_mapped = 0;    // rows reserved for mapped agents
  std::vector<AgentStatus> agents;
  std::vector<ServerStatus> servers;  // in mapping order, each backend's together or not
  std::vector<BackendStatus> backends;
  std::vector<EndpointStatus> endpoints;

  // What the terminal and the JSON events show besides.
  std::string address;           // where the agents report to
  bool follows_address = false;  // --virtual: active only while address is assigned here
  uint64_t activity_changes = 0;
  int64_t now_ms = 0;      // monotonic time of the snapshot, for the rows' ages
  int64_t elapsed_ms = 0;  // since the run began
  uint64_t valid = 0;      // well-formed agent messages
  uint64_t untracked = 0;  // valid reports that got no row (every row reserved)
  size_t agents_total = 0;
  int rcvbuf_granted = 0;  // bytes
  bool balancing = false;  // servers are mapped; with no endpoints, a dry run without a socket
  std::vector<ValveView> valves;  // in the balancer's order
  std::vector<AgentRow> rows;     // the whole table, only for the terminal and the end event
};

// The backends of the servers in order of first mention, none held.
std::vector<BackendStatus> BackendsOf(const std::vector<ServerStatus>& servers);

// Holds the latest snapshot and a ring of load and weight samples per server.
// Memory is fixed at start: three bytes per server and sample.
class CStatusBoard {
 public:
  static constexpr int64_t kSampleMs = 5000;
  static constexpr size_t kSamples = 120;  // ten minutes

  explicit CStatusBoard(size_t servers, int64_t sample_ms = kSampleMs, size_t samples = kSamples);
  CStatusBoard(const CStatusBoard&) = delete;
  CStatusBoard& operator=(const CStatusBoard&) = delete;

  // Makes s the latest and, when a sample is due at now_ms (monotonic), keeps
  // each server's load and weight.
  void Publish(std::shared_ptr<const CoordinatorStatus> s, int64_t now_ms);
  std::shared_ptr<const CoordinatorStatus> Latest() const;

  struct Point {
    double age_s;  // before the latest snapshot
    int load;      // -1 none
    int weight;    // -1 none
  };
  // Server i's samples, oldest first.
  std::vector<Point> History(size_t server) const;

 private:
  mutable std::mutex mu_;
  std::shared_ptr<const CoordinatorStatus> latest_;
  size_t servers_;
  int64_t sample_ms_;
  size_t samples_;
  std::vector<double> times_;     // Unix time of each sample slot
  std::vector<uint8_t> loads_;    // [slot * servers + server], 255 none
  std::vector<int16_t> weights_;  // -1 none
  size_t head_ = 0;               // next slot to write
  size_t filled_ = 0;
  int64_t next_sample_ms_ = -1;
};

}  // namespace coord
