// Turns the agents' reports into HAProxy server weights and states, and keeps
// HAProxy in line with them: it retries a lost socket with backoff, notices a
// restarted HAProxy and writes everything again, and reports servers HAProxy
// does not know once. The caller passes the time in.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "Haproxy.h"
#include "ServerMap.h"
#include "Status.h"
#include "Weights.h"

namespace coord {

// One thing the operator should see.
struct LbEvent {
  enum class Kind {
    kWeight,  // a weight was written (or would be, in a dry run)
    kState,   // a state was written (or would be)
    kServer,  // HAProxy refused a command for one server
    kLink,    // the socket was lost, reached, or HAProxy restarted
  };
  Kind kind = Kind::kLink;
  uint32_t agent = 0;
  std::string server;     // BACKEND/SERVER
  std::string old_value;  // weight or state before; "" unknown
  std::string new_value;
  int load = -1;        // the smoothed load the weight was made from; -1 none yet
  std::string reason;   // load, alive, silent, down, restart; lost, connected, restarted
  std::string command;  // what was sent (or would be)
  std::string message;  // HAProxy's answer or the socket's error
};

class CBalancer {
 public:
  using Sink = std::function<void(const LbEvent&)>;

  // endpoint "" only in a dry run without a socket: nothing is read, and the
  // maximum weight is --max-weight or kDryRunMaxWeight.
  CBalancer(const std::vector<ServerMapping>& servers, const WeightPolicy& policy,
            LbState silent_state, const std::string& endpoint, bool dry_run, Sink sink);
  virtual ~CBalancer() = default;

  // silence_ms: how long a mapped agent may go unheard from now before its
  // server is taken out (0: never).
  void Start(int64_t now_ms, int64_t silence_ms);

  // One valid report from an agent; load only counts when is_load.
  void OnReport(uint32_t agent, bool is_load, uint32_t load, bool came_up);
  // The agent went silent or sent its down message (reason "silent", "down").
  void OnGone(uint32_t agent, const char* reason);

  // Talks to HAProxy when something is due.
  void Tick(int64_t now_ms);
  // When Tick next has something to do; -1 when nothing is due.
  int64_t NextDue(int64_t now_ms) const;

  // What the table shows for an agent; false when it is not mapped.
  bool View(uint32_t agent, std::string* weight, std::string* state) const;
  // A short line about the socket.
  std::string Status() const;
  // Appends the servers' rows and the socket's (none in a dry run without one).
  void Fill(std::vector<ServerStatus>* servers, std::vector<EndpointStatus>* endpoints) const;

  static constexpr int kDryRunMaxWeight = 100;
  static constexpr int64_t kInfoPeriodMs = 2000;
  static constexpr int64_t kMinBackoffMs = 500;
  static constexpr int64_t kMaxBackoffMs = 8000;

 private:
  struct Server {
    ServerMapping map;
    bool heard = false;
    bool has_load = false;
    double load = 0;
    int initial = -1;         // from get weight
    int haproxy_weight = -1;  // what get weight said
    int goal_weight = -1;
    const char* weight_reason = "load";
    int applied_weight = -1;
    LbState goal_state = LbState::kUnknown;
    const char* state_reason = "alive";
    LbState applied_state = LbState::kUnknown;
    bool missing = false;  // HAProxy has no such backend or server
  };

  Server* Find(uint32_t agent);
  int MaxWeight(const Server& s) const;
  void Decide(Server* s);
  bool ReadInfo(int64_t now_ms);
  bool ReadWeights(int64_t now_ms);
  void Write(int64_t now_ms);
  void Lost(const std::string& why, int64_t now_ms);
  void Missing(Server* s, const std::string& command, const std::string& answer);
  void Emit(const LbEvent& e) const;
  LbEvent Change(const Server& s, bool weight) const;
  // socket_.Run, timed and counted.
  int Exchange(const std::vector<std::string>& commands, std::vector<std::string>* answers,
               std::string* err);

  std::vector<Server> servers_;
  WeightPolicy policy_;
  LbState silent_state_;
  bool dry_run_;
  bool has_socket_;
  CHaproxySocket socket_;
  Sink sink_;

  int64_t unheard_deadline_ = -1;
  bool linked_ = false;
  bool lost_reported_ = false;
  bool has_info_ = false;
  long long pid_ = 0;
  long long uptime_s_ = 0;
  int64_t info_due_ = 0;
  int64_t retry_at_ = 0;
  int64_t backoff_ms_ = kMinBackoffMs;
  std::string last_error_;
  uint64_t commands_ = 0;
  uint64_t errors_ = 0;
  LatencyHistogram latency_;
};

}  // namespace coord
