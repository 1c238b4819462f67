// SPDX-License-Identifier: Apache-2.0
// Turns the agents' reports into HAProxy server weights and states, and keeps
// every HAProxy instance named in line with them, each on its own: it retries
// a lost socket with backoff, notices a restarted HAProxy and writes
// everything again, and reports servers an HAProxy does not know once. The
// caller passes the time in.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "Driver.h"
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
    kValve,   // a backend's valve began or stopped holding silent servers
    kHold,    // a server's state became someone else's to keep, or stopped being
  };
  Kind kind = Kind::kLink;
  uint32_t agent = 0;
  std::string server;     // BACKEND/SERVER
  std::string old_value;  // weight or state before; "" unknown
  std::string new_value;
  int load = -1;         // the smoothed load the weight was made from; -1 none yet
  std::string reason;    // load, alive, silent, down, restart; lost, connected, restarted;
                         // holding, released (valves and holds)
  std::string command;   // what was sent (or would be)
  std::string message;   // HAProxy's answer or the socket's error; a hold's holder
  std::string endpoint;  // the HAProxy instance it is about; "" in a dry run without one
};

// A lost socket is tried again after this, doubling up to kMaxBackoffMs.
constexpr int64_t kHaproxyMinBackoffMs = 500;

// What one HAProxy instance has of one server.
struct EndpointServer {
  int initial = -1;         // from get weight
  int haproxy_weight = -1;  // what get weight said
  int applied_weight = -1;
  LbState applied_state = LbState::kUnknown;
  bool missing = false;         // this HAProxy has no such backend or server
  bool restarted = false;       // the next writes are made because HAProxy restarted
  int admin = -1;               // its admin-state bits as last read; -1 not read yet
  Holder hold = Holder::kNone;  // whose its state is while it is not ours to write
  long long counted = -1;       // sessions begun, at the last counts reading; -1 none
  uint64_t counted_step = 0;    // the law's step of that reading
};

// One HAProxy instance the weights go to, and how talking to it goes. The
// counters are for the operator (table, metrics).
struct HaproxyEndpoint {
  explicit HaproxyEndpoint(std::unique_ptr<CDriver> d) : driver(std::move(d)) {}

  std::unique_ptr<CDriver> driver;
  bool linked = false;  // the latest show info was answered
  bool lost_reported = false;
  bool has_info = false;
  long long pid = 0;
  long long uptime_s = 0;
  int64_t info_due = 0;
  int64_t states_due = 0;               // when show servers state is read again
  int64_t states_read = INT64_MIN / 2;  // when it was last read
  int64_t retry_at = 0;
  int64_t backoff_ms = kHaproxyMinBackoffMs;
  std::string last_error;
  uint64_t commands = 0;                // commands sent
  uint64_t errors = 0;                  // failed exchanges and refused commands
  int64_t last_latency_ms = -1;         // of the latest exchange that was answered
  LatencyHistogram latency;             // every exchange's round trip
  std::vector<EndpointServer> servers;  // in the order of the mappings
};

class CBalancer {
 public:
  using Sink = std::function<void(const LbEvent&)>;

  // No endpoints only in a dry run without a socket: nothing is read, and
  // the maximum weight is --max-weight or kDryRunMaxWeight.
  CBalancer(const std::vector<ServerMapping>& servers, const WeightPolicy& policy,
            LbState silent_state, const std::vector<std::string>& endpoints, bool dry_run,
            Sink sink);
  // The same over drivers made by the caller, all of one kind (at least one).
  CBalancer(const std::vector<ServerMapping>& servers, const WeightPolicy& policy,
            LbState silent_state, std::vector<std::unique_ptr<CDriver>> drivers, Sink sink);

  // silence_ms: how long a mapped agent may go unheard from now before its
  // server is taken out (0: never). Called again each time the coordinator
  // becomes active: what was known of the loads and of HAProxy is forgotten,
  // since another coordinator may have written in between.
  void Start(int64_t now_ms, int64_t silence_ms);

  // Replaces the mappings (a re-read server map); servers kept keep their
  // load and what HAProxy has of them.
  void Remap(const std::vector<ServerMapping>& servers);

  // One valid report from an agent; load only counts when is_load.
  void OnReport(uint32_t agent, bool is_load, uint32_t load, bool came_up);
  // The agent went silent or sent its down message (reason "silent", "down").
  void OnGone(uint32_t agent, const char* reason);

  // Called after each batch HAProxy has answered, so the caller can read its
  // own socket while a large change goes out; it may report to us.
  void SetBetweenBatches(std::function<void()> f) { between_ = std::move(f); }

  // At most percent of a backend's servers are drained for silence at one
  // time (100 by default: no valve); the further silent ones are held.
  void SetMaxDrain(int percent) { max_drain_ = percent; }
  // A re-read options file's weights and silent state; they count from the
  // next report on.
  void SetPolicy(const WeightPolicy& policy, LbState silent_state) {
    policy_ = policy;
    silent_state_ = silent_state;
  }
  // While the coordinator hears none or almost none of its whole fleet, its
  // silence is its own deafness: no server is drained for silence, the
  // silent ones are held. When it hears again, the agents come back one by
  // one: those still silent get a full silence period from then, as after a
  // failover, before the valve of their backend judges them.
  void SetDeaf(bool deaf, int64_t now_ms);
  bool Deaf() const { return deaf_; }
  // Whether the agent's server is out for silence (not merely held).
  bool TakenOut(uint32_t agent) const;
  // The coordinator stands by: nothing is judged until the next Start, and
  // the valves forget what they held.
  void Stop();
  // While standing by: the drivers whose balancer is this node's own get
  // ready to carry traffic (failures are told once the coordinator is
  // active and probes).
  void Prepare();
  // Every backend's valve, in the order of their first mapping.
  std::vector<ValveView> Valves() const;
  // Changes whenever a valve's counts change.
  uint64_t ValveVersion() const { return valve_version_; }

  // Talks to HAProxy when something is due.
  void Tick(int64_t now_ms);
  // Whether a tick left work for the next one (it sends at most
  // kBatchesPerTick batches to each instance, so the caller's socket is read
  // in between).
  bool Backlog() const { return backlog_; }
  // When Tick next has something to do; -1 when nothing is due.
  int64_t NextDue(int64_t now_ms) const;

  bool Maps(uint32_t agent) const { return by_agent_.count(agent) != 0; }
  // What the table shows for an agent; false when it is not mapped.
  bool View(uint32_t agent, std::string* weight, std::string* state) const;
  const std::vector<HaproxyEndpoint>& Endpoints() const { return endpoints_; }
  // Appends the servers' rows and one per HAProxy instance (none in a dry run
  // without one).
  void Fill(std::vector<ServerStatus>* servers, std::vector<EndpointStatus>* endpoints) const;

  static constexpr int kDryRunMaxWeight = 100;
  // A backend in mode http is counted before a step of the even law while a
  // server is this busy; one in mode tcp at every step.
  static constexpr double kCountFrom = 90;
  // How often a backend's law looks again while a round of reports comes in.
  static constexpr int64_t kLawPollMs = 100;
  static constexpr int64_t kInfoPeriodMs = 2000;
  // A reading this recent is good for the writes of a tick.
  static constexpr int64_t kStatesFreshMs = 100;
  static constexpr int64_t kMinBackoffMs = kHaproxyMinBackoffMs;
  static constexpr int64_t kMaxBackoffMs = 8000;
  // Per instance: some 2,000 commands, tens of milliseconds of HAProxy's time.
  static constexpr int kBatchesPerTick = 8;

 private:
  // What every HAProxy instance should have of one server.
  struct Server {
    ServerMapping map;
    bool heard = false;
    bool has_load = false;
    double load = 0;
    int initial = -1;  // the first initial weight an HAProxy told
    int goal_weight = -1;
    const char* weight_reason = "load";
    LbState goal_state = LbState::kUnknown;
    const char* state_reason = "alive";
    size_t backend = 0;  // into backends_
    bool silence_drained = false;
    bool held = false;
    LawServer law;
  };
  struct Backend {
    std::string name;
    size_t mapped = 0;
    size_t drained = 0;
    std::vector<size_t> held;     // servers, oldest first
    std::vector<size_t> members;  // servers, in the map's order
    int64_t law_next = 0;         // when the even law may move it again
    uint64_t law_steps = 0;       // its moves so far
    // Its mode, from its first counts: in mode tcp the law needs them at
    // every step, in mode http only near full.
    bool mode_known = false;
    bool by_connections = false;
  };

  Server* Find(uint32_t agent);
  const Server* Find(uint32_t agent) const;
  void Drain(Server* s, const char* reason);
  void Silent(Server* s);
  void Heard(Server* s);
  void Unhold(Server* s);
  void ValveEvent(const Backend& b, const char* status);
  void MapHoldEvent(const Server& s);
  // The judgements of silence start over: nothing is silent or held.
  void Forget();
  int MaxWeight(const Server& s) const;
  // The even law starts from the weight found, not from the maximum.
  void Adopt(Server* s, int weight);
  void Decide(Server* s);
  // One period of the even law over every backend, when due.
  void Balance(int64_t now_ms);
  enum class Verb { kRead, kWrite };
  // Runs commands on one instance, counting them; false after Lost.
  bool Exchange(HaproxyEndpoint* ep, Verb verb, const std::vector<std::string>& commands,
                std::vector<std::string>* answers, int64_t now_ms);
  // Times one exchange of count commands (when it reaches a balancer);
  // false after Lost.
  bool Timed(HaproxyEndpoint* ep, size_t count, bool reaches, int64_t now_ms,
             const std::function<int(std::string*)>& run);
  bool ReadInfo(HaproxyEndpoint* ep, int64_t now_ms);
  // Reads commands in batches within the tick's budget, handing each batch's
  // answers to take (with the index of its first command); false when the
  // budget ran out or the exchange failed.
  using BatchAnswers = std::function<void(size_t from, const std::vector<std::string>& part,
                                          const std::vector<std::string>& answers)>;
  bool ReadBatches(HaproxyEndpoint* ep, const std::vector<std::string>& commands, int64_t now_ms,
                   const BatchAnswers& take);
  bool ReadWeights(HaproxyEndpoint* ep, int64_t now_ms);
  // Before a step of the even law over the backends due: the counts of
  // those with a server near full, from every instance.
  void Count(const std::vector<size_t>& due, int64_t now_ms);
  // Adds each server's counts to its law's arrivals and to open[i], and
  // counts the instance in by[i].
  bool ReadCounts(HaproxyEndpoint* ep, const std::vector<std::string>& commands, int64_t now_ms,
                  std::vector<int>* by, std::vector<double>* open);
  void Write(HaproxyEndpoint* ep, int64_t now_ms);
  void Lost(HaproxyEndpoint* ep, const std::string& why, int64_t now_ms);
  void Missing(HaproxyEndpoint* ep, size_t i, const std::string& command,
               const std::string& answer);
  void Emit(const LbEvent& e) const;
  LbEvent Change(const HaproxyEndpoint& ep, size_t i, bool weight) const;
  bool Due(const HaproxyEndpoint& ep, size_t i) const;
  // Takes one batch from the tick's budget; false when it is spent.
  bool TakeBatch();
  void IndexBackends(const std::vector<size_t>& held_order);
  // Drains the silent servers b held, oldest first, while the valve lets it.
  void Admit(Backend* b);
  bool Fits(const Backend& b) const;
  // Reads every mapped server's admin state and weight: what is someone
  // else's is held, ours is taken as what HAProxy has.
  bool ReadStates(HaproxyEndpoint* ep, int64_t now_ms);
  bool StatesWanted(const HaproxyEndpoint& ep, int64_t now_ms) const;
  void Found(HaproxyEndpoint* ep, size_t i, const ServerState& r);
  // Whose state server i keeps, "" when it is ours to write.
  std::string HolderOf(size_t i) const;
  void Hold(HaproxyEndpoint* ep, size_t i, Holder h, const std::string& state);
  // Whether the server may be written on that instance at all.
  bool Writable(const HaproxyEndpoint& ep, size_t i) const;
  // The weight to write: a server taken out carries weight 0, our mark.
  int GoalWeight(const Server& s) const;
  bool AnyWork() const;

  std::vector<Server> servers_;
  std::unordered_map<uint32_t, size_t> by_agent_;
  std::unordered_map<std::string, size_t> by_name_;  // BACKEND/SERVER
  std::vector<Backend> backends_;
  int max_drain_ = 100;
  bool deaf_ = false;
  bool started_ = false;
  int batches_left_ = 0;
  bool backlog_ = false;
  // Whether a tick may have something to read or write: set by every change
  // of a goal, cleared by a tick that finds nothing left, so NextDue does not
  // scan the fleet on every pass of the caller's loop.
  bool work_ = true;
  std::function<void()> between_;
  uint64_t valve_version_ = 0;
  WeightPolicy policy_;
  LbState silent_state_;
  // Whether the drivers have a state to read: not a dry run without a balancer.
  bool reads_ = false;
  std::vector<HaproxyEndpoint> endpoints_;  // a nameless one in a dry run without a socket
  Sink sink_;

  int64_t unheard_deadline_ = -1;
  int64_t law_due_ = 0;
  int64_t silence_ms_ = 0;
  int64_t admit_at_ = -1;  // when the servers held for deafness are judged
};

}  // namespace coord
