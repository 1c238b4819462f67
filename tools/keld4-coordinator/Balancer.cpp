// SPDX-License-Identifier: Apache-2.0
#include "Balancer.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <utility>

namespace coord {
namespace {

std::string WeightText(int w) { return w < 0 ? "" : std::to_string(w); }

std::string StateText(LbState s) { return s == LbState::kUnknown ? "" : LbStateName(s); }

bool Pending(int goal, int applied) { return goal >= 0 && goal != applied; }

bool Pending(LbState goal, LbState applied) { return goal != LbState::kUnknown && goal != applied; }

std::string Key(const ServerMapping& m) { return std::to_string(m.agent) + ' ' + m.Name(); }

// A dry run without an endpoint still has one driver, nameless.
std::vector<std::unique_ptr<CDriver>> MakeDrivers(const std::vector<std::string>& endpoints,
                                                  bool dry_run) {
  std::vector<std::unique_ptr<CDriver>> out;
  out.reserve(endpoints.size() + 1);
  for (const std::string& e : endpoints)
    out.push_back(MakeDriver(dry_run ? "dryrun" : "haproxy", e));
  if (out.empty()) out.push_back(MakeDriver("dryrun", ""));
  return out;
}

}  // namespace

CBalancer::CBalancer(const std::vector<ServerMapping>& servers, const WeightPolicy& policy,
                     LbState silent_state, const std::vector<std::string>& endpoints, bool dry_run,
                     Sink sink)
    : CBalancer(servers, policy, silent_state, MakeDrivers(endpoints, dry_run), std::move(sink)) {}

CBalancer::CBalancer(const std::vector<ServerMapping>& servers, const WeightPolicy& policy,
                     LbState silent_state, std::vector<std::unique_ptr<CDriver>> drivers, Sink sink)
    : policy_(policy), silent_state_(silent_state), sink_(std::move(sink)) {
  for (std::unique_ptr<CDriver>& d : drivers) endpoints_.emplace_back(std::move(d));
  reads_ = endpoints_.front().driver->Reads();
  Remap(servers);
}

void CBalancer::Remap(const std::vector<ServerMapping>& servers) {
  // Matched by key, not by a scan per mapping: a fleet's map has tens of
  // thousands of rows.
  std::unordered_map<std::string, size_t> old;
  for (size_t i = 0; i < servers_.size(); ++i) old.emplace(Key(servers_[i].map), i);
  std::vector<size_t> new_of(servers_.size(), SIZE_MAX);
  std::vector<Server> next;
  std::vector<std::vector<EndpointServer>> next_ep(endpoints_.size());
  std::vector<size_t> marked;  // whose hold mark came or went
  for (const ServerMapping& m : servers) {
    auto it = old.find(Key(m));
    bool kept = it != old.end() && new_of[it->second] == SIZE_MAX;
    Server s;
    if (kept) {
      s = servers_[it->second];
      new_of[it->second] = next.size();
    }
    if (s.map.hold != m.hold && (kept || m.hold)) marked.push_back(next.size());
    s.map = m;
    for (size_t e = 0; e < endpoints_.size(); ++e) {
      next_ep[e].push_back(kept ? endpoints_[e].servers[it->second] : EndpointServer());
    }
    next.push_back(s);
  }
  // Held servers keep their turn.
  std::vector<size_t> held_order;
  for (const Backend& b : backends_) {
    for (size_t i : b.held) {
      if (new_of[i] != SIZE_MAX) held_order.push_back(new_of[i]);
    }
  }
  servers_ = std::move(next);
  for (size_t e = 0; e < endpoints_.size(); ++e) endpoints_[e].servers = std::move(next_ep[e]);
  IndexBackends(held_order);
  work_ = true;
  // At the first mapping the start tells them.
  if (!started_) return;
  for (size_t i : marked) MapHoldEvent(servers_[i]);
}

void CBalancer::MapHoldEvent(const Server& s) {
  LbEvent e;
  e.kind = LbEvent::Kind::kHold;
  e.agent = s.map.agent;
  e.server = s.map.Name();
  e.reason = s.map.hold ? "holding" : "released";
  e.message = HolderName(Holder::kMap);
  Emit(e);
}

void CBalancer::IndexBackends(const std::vector<size_t>& held_order) {
  std::vector<bool> was_holding;
  for (const Backend& b : backends_) was_holding.push_back(!b.held.empty());
  std::unordered_map<std::string, size_t> old_backend;
  for (size_t i = 0; i < backends_.size(); ++i) old_backend.emplace(backends_[i].name, i);

  backends_.clear();
  by_agent_.clear();
  by_name_.clear();
  std::unordered_map<std::string, size_t> backend_of;
  for (size_t i = 0; i < servers_.size(); ++i) {
    Server& s = servers_[i];
    auto [it, added] = backend_of.emplace(s.map.backend, backends_.size());
    if (added) backends_.push_back(Backend{s.map.backend, 0, 0, {}, {}});
    s.backend = it->second;
    Backend& b = backends_[s.backend];
    ++b.mapped;
    b.members.push_back(i);
    if (s.silence_drained) ++b.drained;
    by_agent_.emplace(s.map.agent, i);
    by_name_.emplace(s.map.Name(), i);
  }
  for (size_t i : held_order) {
    if (servers_[i].held) backends_[servers_[i].backend].held.push_back(i);
  }
  ++valve_version_;
  // A backend with more servers now may have room for some it held.
  for (Backend& b : backends_) Admit(&b);
  // One that held and is gone from the map says it no longer does.
  for (const auto& [name, i] : old_backend) {
    if (was_holding[i] && backend_of.count(name) == 0) {
      ValveEvent(Backend{name, 0, 0, {}, {}}, "released");
    }
  }
}

void CBalancer::Admit(Backend* b) {
  if (b->held.empty()) return;
  while (!b->held.empty() && !deaf_ && Fits(*b)) {
    Server* s = &servers_[b->held.front()];
    Unhold(s);
    Silent(s);
  }
  if (b->held.empty()) ValveEvent(*b, "released");
}

void CBalancer::SetDeaf(bool deaf, int64_t now_ms) {
  if (deaf == deaf_) return;
  deaf_ = deaf;
  ++valve_version_;
  admit_at_ = deaf ? -1 : now_ms + silence_ms_;
}

bool CBalancer::TakenOut(uint32_t agent) const {
  const Server* s = Find(agent);
  return s != nullptr && s->silence_drained;
}

void CBalancer::Stop() {
  unheard_deadline_ = -1;
  admit_at_ = -1;
  deaf_ = false;
  Forget();
}

void CBalancer::Prepare() {
  std::string err;
  for (HaproxyEndpoint& ep : endpoints_) ep.driver->Prepare(&err);
}

void CBalancer::Start(int64_t now_ms, int64_t silence_ms) {
  unheard_deadline_ = silence_ms > 0 ? now_ms + silence_ms : -1;
  law_due_ = now_ms;
  for (Backend& b : backends_) b.law_next = now_ms;
  silence_ms_ = silence_ms;
  admit_at_ = -1;
  started_ = true;
  deaf_ = false;
  Forget();
  for (HaproxyEndpoint& ep : endpoints_) {
    for (EndpointServer& a : ep.servers) a = EndpointServer();
    ep.linked = false;
    ep.retry_at = now_ms;
    ep.states_due = now_ms;
    ep.backoff_ms = kMinBackoffMs;
  }
  // Holds on HAProxy are told again as they are read; those of the map now.
  for (const Server& s : servers_) {
    if (s.map.hold) MapHoldEvent(s);
  }
  work_ = true;
}

void CBalancer::Forget() {
  for (Server& s : servers_) {
    ServerMapping m = s.map;
    size_t backend = s.backend;
    s = Server();
    s.map = m;
    s.backend = backend;
  }
  // The valve starts over with the loads: nothing is silent yet.
  for (Backend& b : backends_) {
    bool holding = !b.held.empty();
    b.drained = 0;
    b.held.clear();
    if (holding) ValveEvent(b, "released");
  }
  ++valve_version_;
}

CBalancer::Server* CBalancer::Find(uint32_t agent) {
  auto it = by_agent_.find(agent);
  return it == by_agent_.end() ? nullptr : &servers_[it->second];
}

const CBalancer::Server* CBalancer::Find(uint32_t agent) const {
  auto it = by_agent_.find(agent);
  return it == by_agent_.end() ? nullptr : &servers_[it->second];
}

int CBalancer::MaxWeight(const Server& s) const {
  if (policy_.max_weight >= 0) return policy_.max_weight;
  if (!reads_) return kDryRunMaxWeight;
  return s.initial;
}

void CBalancer::Adopt(Server* s, int weight) {
  // A coordinator started again, or a standby taking over, finds the weights
  // the law left: starting from them keeps the balance instead of sending
  // every server its full weight's traffic until the law has learnt again.
  // Weight 0 is someone's drain, not a share.
  int max = MaxWeight(*s);
  if (s->law.capacity > 0 || weight <= 0 || max <= 0) return;
  s->law.share = std::min(1.0, static_cast<double>(weight) / max);
}

void CBalancer::Decide(Server* s) {
  int max = MaxWeight(*s);
  if (!s->has_load || max < 0) return;
  int target = policy_.law == WeightLaw::kLinear
                   ? WeightForLoad(s->load, policy_.min_weight, max)
                   : EvenWeight(s->law.share, policy_.min_weight, max);
  if (WorthWriting(s->goal_weight, target, policy_.step, policy_.min_weight, max)) {
    s->goal_weight = target;
    work_ = true;
  }
}

void CBalancer::OnReport(uint32_t agent, bool is_load, uint32_t load, bool came_up) {
  Server* s = Find(agent);
  if (s == nullptr) return;
  // The first report since the start (or since becoming active) makes the
  // server ready, whatever an earlier writer left.
  if (came_up || !s->heard) {
    Heard(s);
    s->goal_state = LbState::kReady;
    s->state_reason = "alive";
    work_ = true;
  }
  s->heard = true;
  if (is_load) {
    s->load = SmoothLoad(s->load, s->has_load, load, policy_.smoothing);
    s->has_load = true;
    s->weight_reason = "load";
    // The even law moves a backend's servers together, once a period; a
    // report only gives back the weight its share stands for (after silence).
    Decide(s);
    s->law.sample = load > 100 ? 100 : load;
    s->law.fresh = true;
  }
}

void CBalancer::Balance(int64_t now_ms) {
  if (policy_.law != WeightLaw::kEven || now_ms < law_due_) return;
  // At most one move a period, give or take a quarter for the reports' jitter.
  int64_t gap = policy_.period_ms * 3 / 4, late = policy_.period_ms - gap;
  int64_t next = now_ms + policy_.period_ms;
  std::vector<size_t> due;
  for (size_t b = 0; b < backends_.size(); ++b) {
    Backend& be = backends_[b];
    if (now_ms < be.law_next) {
      next = std::min(next, be.law_next);
      continue;
    }
    bool waiting = false;
    for (size_t i : be.members) {
      Server& s = servers_[i];
      s.law.max_weight = MaxWeight(s);
      // A drained server takes no traffic, and a held one's weight is not
      // ours: their loads say nothing of the weights the law would give.
      s.law.active =
          s.has_load && s.law.max_weight > 0 && s.goal_state == LbState::kReady && !s.map.hold;
      if (s.law.active && !s.law.fresh) waiting = true;
    }
    // A backend moves once a round of its servers' reports is in, so that it
    // compares samples of one time and acts on them at once; a period after
    // its last move at the latest, for a server that is slow to report.
    if (waiting && now_ms < be.law_next + late) {
      next = std::min(next, std::min(be.law_next + late, now_ms + kLawPollMs));
      continue;
    }
    due.push_back(b);
    be.law_next = now_ms + gap;
    next = std::min(next, be.law_next);
  }
  law_due_ = next;
  if (due.empty()) return;
  Count(due, now_ms);
  std::vector<LawServer*> members;
  for (size_t b : due) {
    members.clear();
    for (size_t i : backends_[b].members) members.push_back(&servers_[i].law);
    EvenStep(members, policy_);
    for (size_t i : backends_[b].members) Decide(&servers_[i]);
  }
}

void CBalancer::OnGone(uint32_t agent, const char* reason) {
  Server* s = Find(agent);
  if (s == nullptr) return;
  if (std::string(reason) == "silent") {
    Silent(s);
    return;
  }
  // An agent that says it stops is believed at once, valve or not.
  s->heard = true;
  Heard(s);
  Drain(s, reason);
}

void CBalancer::Drain(Server* s, const char* reason) {
  s->goal_state = silent_state_;
  s->state_reason = reason;
  work_ = true;
}

bool CBalancer::Fits(const Backend& b) const {
  return (b.drained + 1) * 100 <= b.mapped * static_cast<size_t>(max_drain_);
}

void CBalancer::Silent(Server* s) {
  if (s->silence_drained || s->held) return;
  Backend& b = backends_[s->backend];
  ++valve_version_;
  // Past the share, silence is more likely our own deafness than the
  // servers' deaths: taking them all out would put the site out.
  if (!deaf_ && Fits(b)) {
    ++b.drained;
    s->silence_drained = true;
    Drain(s, "silent");
    return;
  }
  s->held = true;
  b.held.push_back(static_cast<size_t>(s - servers_.data()));
  if (b.held.size() == 1) ValveEvent(b, "holding");
}

// The agent was heard (or said it stops): it no longer counts as silent.
void CBalancer::Heard(Server* s) {
  Backend& b = backends_[s->backend];
  if (s->held) {
    Unhold(s);
    if (b.held.empty()) ValveEvent(b, "released");
  }
  if (!s->silence_drained) return;
  s->silence_drained = false;
  --b.drained;
  ++valve_version_;
  // The freed place goes to the server held longest, which is still silent.
  if (!b.held.empty() && !deaf_) {
    Server* next = &servers_[b.held.front()];
    Unhold(next);
    Silent(next);
    if (b.held.empty()) ValveEvent(b, "released");
  }
}

void CBalancer::Unhold(Server* s) {
  Backend& b = backends_[s->backend];
  s->held = false;
  b.held.erase(std::find(b.held.begin(), b.held.end(), static_cast<size_t>(s - servers_.data())));
  ++valve_version_;
}

void CBalancer::ValveEvent(const Backend& b, const char* status) {
  LbEvent e;
  e.kind = LbEvent::Kind::kValve;
  e.server = b.name;
  e.reason = status;
  e.message = std::to_string(b.drained) + " of " + std::to_string(b.mapped) +
              " servers drained for silence, " + std::to_string(b.held.size()) +
              " more silent held at their last weight and state";
  if (deaf_) e.message += " (the coordinator hears almost none of its fleet)";
  Emit(e);
}

std::vector<ValveView> CBalancer::Valves() const {
  std::vector<ValveView> out;
  for (const Backend& b : backends_) {
    out.push_back({b.name, b.mapped, b.drained, b.held.size(), deaf_ && !b.held.empty()});
  }
  return out;
}

void CBalancer::Emit(const LbEvent& e) const {
  if (sink_) sink_(e);
}
void CBalancer::Lost(HaproxyEndpoint* ep, const std::string& why, int64_t now_ms) {
  ++ep->errors;
  // Once per outage, not once per retry.
  if (ep->linked || !ep->lost_reported || why != ep->last_error) {
    LbEvent e;
    e.kind = LbEvent::Kind::kLink;
    e.reason = "lost";
    e.message = why;
    e.endpoint = ep->driver->Endpoint();
    Emit(e);
  }
  ep->lost_reported = true;
  ep->last_error = why;
  ep->linked = false;
  ep->retry_at = now_ms + ep->backoff_ms;
  ep->backoff_ms = std::min(ep->backoff_ms * 2, kMaxBackoffMs);
}

void CBalancer::Missing(HaproxyEndpoint* ep, size_t i, const std::string& command,
                        const std::string& answer) {
  ep->servers[i].missing = true;
  ++ep->errors;
  LbEvent e;
  e.kind = LbEvent::Kind::kServer;
  e.agent = servers_[i].map.agent;
  e.server = servers_[i].map.Name();
  e.command = command;
  e.message = answer;
  e.endpoint = ep->driver->Endpoint();
  Emit(e);
}

bool CBalancer::Exchange(HaproxyEndpoint* ep, Verb verb, const std::vector<std::string>& commands,
                         std::vector<std::string>* answers, int64_t now_ms) {
  CDriver& d = *ep->driver;
  // A dry run's writes reach nothing: neither counted nor timed.
  bool reaches = verb != Verb::kWrite || d.Writes();
  return Timed(ep, commands.size(), reaches, now_ms, [&](std::string* err) {
    return verb == Verb::kRead ? d.Read(commands, answers, err) : d.Write(commands, answers, err);
  });
}

bool CBalancer::Timed(HaproxyEndpoint* ep, size_t count, bool reaches, int64_t now_ms,
                      const std::function<int(std::string*)>& run) {
  std::string err;
  auto began = std::chrono::steady_clock::now();
  if (reaches) ep->commands += count;
  int rc = run(&err);
  auto took = std::chrono::steady_clock::now() - began;
  if (reaches) ep->latency.Observe(std::chrono::duration<double>(took).count());
  if (rc != 0) {
    Lost(ep, err, now_ms);
    return false;
  }
  if (reaches) {
    ep->last_latency_ms = std::chrono::duration_cast<std::chrono::milliseconds>(took).count();
  }
  return true;
}

bool CBalancer::ReadInfo(HaproxyEndpoint* ep, int64_t now_ms) {
  DriverProbe probe;
  CDriver& d = *ep->driver;
  if (!Timed(ep, 1, true, now_ms, [&](std::string* err) { return d.Probe(&probe, err); })) {
    return false;
  }
  long long pid = probe.pid, uptime = probe.uptime_s;
  if (ep->has_info && (pid != ep->pid || uptime < ep->uptime_s)) {
    // A new HAProxy starts from its configuration: everything we wrote is gone.
    for (EndpointServer& a : ep->servers) {
      a = EndpointServer();
      a.restarted = true;
    }
    work_ = true;
    LbEvent e;
    e.kind = LbEvent::Kind::kLink;
    e.reason = "restarted";
    e.message = pid > 0 ? "pid " + std::to_string(pid) : "in place";
    e.endpoint = ep->driver->Endpoint();
    Emit(e);
  }
  if (!ep->linked) {
    LbEvent e;
    e.kind = LbEvent::Kind::kLink;
    e.reason = "connected";
    e.message = pid > 0 ? "pid " + std::to_string(pid) : "in place";
    e.endpoint = ep->driver->Endpoint();
    Emit(e);
  }
  ep->has_info = true;
  ep->pid = pid;
  ep->uptime_s = uptime;
  ep->linked = true;
  ep->lost_reported = false;
  ep->last_error.clear();
  ep->backoff_ms = kMinBackoffMs;
  ep->info_due = now_ms + ep->driver->ProbePeriodMs();
  return true;
}

bool CBalancer::TakeBatch() {
  if (batches_left_ == 0) {
    backlog_ = true;
    return false;
  }
  --batches_left_;
  return true;
}

bool CBalancer::ReadBatches(HaproxyEndpoint* ep, const std::vector<std::string>& commands,
                            int64_t now_ms, const BatchAnswers& take) {
  for (size_t from = 0, to = 0; from < commands.size(); from = to) {
    if (!TakeBatch()) return false;
    to = ep->driver->BatchEnd(commands, from);
    std::vector<std::string> part(commands.begin() + static_cast<std::ptrdiff_t>(from),
                                  commands.begin() + static_cast<std::ptrdiff_t>(to));
    std::vector<std::string> answers;
    if (!Exchange(ep, Verb::kRead, part, &answers, now_ms)) return false;
    take(from, part, answers);
    if (between_) between_();
  }
  return true;
}

bool CBalancer::ReadWeights(HaproxyEndpoint* ep, int64_t now_ms) {
  std::vector<size_t> asked;
  std::vector<std::string> commands;
  for (size_t i = 0; i < servers_.size(); ++i) {
    if (ep->servers[i].initial < 0 && !ep->servers[i].missing) {
      asked.push_back(i);
      commands.push_back(ep->driver->WeightQuery(servers_[i].map.Name()));
    }
  }
  // The rest stays unread for the next tick.
  return ReadBatches(ep, commands, now_ms,
                     [&](size_t from, const std::vector<std::string>& part,
                         const std::vector<std::string>& answers) {
                       for (size_t k = 0; k < part.size(); ++k) {
                         size_t i = asked[from + k];
                         EndpointServer& a = ep->servers[i];
                         if (ep->driver->ParseWeight(answers[k], &a.haproxy_weight, &a.initial)) {
                           if (servers_[i].initial < 0) {
                             servers_[i].initial = a.initial;
                             Adopt(&servers_[i], a.haproxy_weight);
                             Decide(&servers_[i]);
                           }
                         } else {
                           Missing(ep, i, part[k], answers[k]);
                         }
                       }
                     });
}

void CBalancer::Count(const std::vector<size_t>& due, int64_t now_ms) {
  // A reading costs the balancer and us: in mode http only where a server is
  // near full, a step before the law may need to know how far behind it is.
  std::vector<size_t> wanted;
  for (size_t b : due) {
    Backend& be = backends_[b];
    ++be.law_steps;
    if (!be.mode_known || be.by_connections) {
      wanted.push_back(b);
      continue;
    }
    for (size_t i : be.members) {
      const Server& s = servers_[i];
      if (s.has_load && s.law.fresh && s.law.sample >= kCountFrom) {
        wanted.push_back(b);
        break;
      }
    }
  }
  // Per server: the instances that counted it at this step, and its open
  // sessions on them.
  std::vector<int> by(wanted.empty() ? 0 : servers_.size(), 0);
  std::vector<double> open(by.size(), 0);
  int readers = 0;
  for (HaproxyEndpoint& ep : endpoints_) {
    if (wanted.empty() || !ep.driver->Reads() || !ep.linked || now_ms < ep.retry_at) continue;
    std::vector<std::string> commands;
    commands.reserve(wanted.size());
    for (size_t b : wanted) commands.push_back(ep.driver->CountsQuery(backends_[b].name));
    if (commands[0].empty()) continue;  // a balancer that does not count
    ++readers;
    batches_left_ = kBatchesPerTick;
    ReadCounts(&ep, commands, now_ms, &by, &open);
  }
  // Only what every instance counted is the server's whole traffic.
  for (size_t b : due) {
    for (size_t i : backends_[b].members) {
      LawServer& law = servers_[i].law;
      law.counted = readers > 0 && by[i] == readers;
      law.open = law.counted ? open[i] : 0;
      law.by_connections = backends_[b].by_connections;
    }
  }
}

bool CBalancer::ReadCounts(HaproxyEndpoint* ep, const std::vector<std::string>& commands,
                           int64_t now_ms, std::vector<int>* by, std::vector<double>* open) {
  return ReadBatches(
      ep, commands, now_ms,
      [&](size_t, const std::vector<std::string>&, const std::vector<std::string>& answers) {
        for (const std::string& answer : answers) {
          std::vector<ServerCounts> rows;
          if (!ep->driver->ParseCounts(answer, &rows)) continue;
          for (const ServerCounts& r : rows) {
            auto it = by_name_.find(r.backend + "/" + r.server);
            if (it == by_name_.end()) continue;
            size_t i = it->second;
            EndpointServer& a = ep->servers[i];
            Server& s = servers_[i];
            Backend& be = backends_[s.backend];
            // In mode tcp a session is a connection: the law weighs how long
            // they last before it counts them as the work.
            be.mode_known = true;
            be.by_connections = !r.http;
            // From the step before only; a total that went back is a new HAProxy.
            uint64_t step = be.law_steps;
            if (a.counted >= 0 && a.counted_step + 1 == step && r.total >= a.counted) {
              s.law.arrived += static_cast<double>(r.total - a.counted);
              (*open)[i] += static_cast<double>(r.open);
              ++(*by)[i];
            }
            a.counted = r.total;
            a.counted_step = step;
          }
        }
      });
}

LbEvent CBalancer::Change(const HaproxyEndpoint& ep, size_t i, bool weight) const {
  const Server& s = servers_[i];
  const EndpointServer& a = ep.servers[i];
  LbEvent e;
  e.kind = weight ? LbEvent::Kind::kWeight : LbEvent::Kind::kState;
  e.agent = s.map.agent;
  e.server = s.map.Name();
  e.endpoint = ep.driver->Endpoint();
  if (weight) {
    e.old_value = WeightText(a.applied_weight >= 0 ? a.applied_weight : a.haproxy_weight);
    e.new_value = WeightText(GoalWeight(s));
    // Weight 0 goes with taking the server out, for the same reason.
    bool out = GoalWeight(s) != s.goal_weight;
    e.reason = a.restarted ? "restart" : out ? s.state_reason : s.weight_reason;
    e.command = ep.driver->SetWeight(e.server, e.new_value);
  } else {
    e.old_value = StateText(a.applied_state);
    e.new_value = StateText(s.goal_state);
    e.reason = a.restarted ? "restart" : s.state_reason;
    e.command = ep.driver->SetState(e.server, e.new_value);
  }
  if (s.has_load) e.load = static_cast<int>(std::lround(s.load));
  return e;
}

int CBalancer::GoalWeight(const Server& s) const {
  bool out = s.goal_state != LbState::kUnknown && s.goal_state != LbState::kReady;
  return out ? 0 : s.goal_weight;
}

bool CBalancer::Writable(const HaproxyEndpoint& ep, size_t i) const {
  const EndpointServer& a = ep.servers[i];
  // Nothing is written before its state is known: it may be someone else's.
  return !a.missing && a.hold == Holder::kNone && !servers_[i].map.hold &&
         (!reads_ || a.admin >= 0);
}

bool CBalancer::Due(const HaproxyEndpoint& ep, size_t i) const {
  const EndpointServer& a = ep.servers[i];
  return Writable(ep, i) && (Pending(GoalWeight(servers_[i]), a.applied_weight) ||
                             Pending(servers_[i].goal_state, a.applied_state));
}

bool CBalancer::StatesWanted(const HaproxyEndpoint& ep, int64_t now_ms) const {
  if (now_ms >= ep.states_due) return true;
  bool fresh = now_ms - ep.states_read < kStatesFreshMs;
  for (size_t i = 0; i < servers_.size(); ++i) {
    const EndpointServer& a = ep.servers[i];
    if (a.missing) continue;
    if (a.admin < 0) return true;
    // Writes go out just after a reading, so that what an operator did a
    // moment ago (maint, and a weight of their own) is not overwritten.
    if (!fresh && Due(ep, i)) return true;
  }
  return false;
}

bool CBalancer::ReadStates(HaproxyEndpoint* ep, int64_t now_ms) {
  std::vector<std::string> commands;
  for (const Backend& b : backends_) commands.push_back(ep->driver->StatesQuery(b.name));
  std::vector<bool> seen(servers_.size(), false);
  bool read = ReadBatches(
      ep, commands, now_ms,
      [&](size_t, const std::vector<std::string>&, const std::vector<std::string>& answers) {
        for (const std::string& answer : answers) {
          // An unknown backend: get weight has said so for each of its servers.
          std::vector<ServerState> rows;
          if (!ep->driver->ParseStates(answer, &rows)) continue;
          for (const ServerState& r : rows) {
            auto it = by_name_.find(r.backend + "/" + r.server);
            if (it == by_name_.end()) continue;
            size_t i = it->second;
            seen[i] = true;
            Found(ep, i, r);
          }
        }
      });
  if (!read) return false;
  for (size_t i = 0; i < servers_.size(); ++i) {
    EndpointServer& a = ep->servers[i];
    if (!seen[i] && !a.missing && a.initial >= 0) {
      Missing(ep, i, ep->driver->StatesQuery(servers_[i].map.backend), "not in the answer");
    }
  }
  ep->states_due = now_ms + kInfoPeriodMs;
  ep->states_read = now_ms;
  return true;
}

void CBalancer::Found(HaproxyEndpoint* ep, size_t i, const ServerState& r) {
  EndpointServer& a = ep->servers[i];
  Holder h = AdminHolder(r.admin, r.weight, silent_state_);
  LbState state = AdminState(r.admin);
  bool released = a.hold != Holder::kNone && h == Holder::kNone;
  a.admin = r.admin;
  if (h != a.hold) {
    LbEvent e;
    e.kind = LbEvent::Kind::kHold;
    e.agent = servers_[i].map.agent;
    e.server = servers_[i].map.Name();
    e.endpoint = ep->driver->Endpoint();
    e.reason = h != Holder::kNone ? "holding" : "released";
    e.message = HolderName(h != Holder::kNone ? h : a.hold);
    e.new_value = LbStateName(state);
    e.old_value = std::to_string(r.weight);
    a.hold = h;
    Emit(e);
  }
  // What HAProxy has is what we go on from: a state someone else changed
  // since our write is written again if it is ours to write, and what is held
  // is shown as it stands. Before our first write the goal goes out whole.
  bool held = h != Holder::kNone || servers_[i].map.hold;
  if (held || released || a.applied_state != LbState::kUnknown) a.applied_state = state;
  if (held || released) a.applied_weight = r.weight;
  work_ = true;
}

void CBalancer::Write(HaproxyEndpoint* ep, int64_t now_ms) {
  // The weight before the state, so a server comes back ready with the
  // weight of its load.
  struct Pend {
    size_t i;
    bool weight;
    LbEvent event;
    int weight_sent;  // the goal may move while the batch is out
    LbState state_sent;
  };
  std::vector<Pend> changes;
  for (size_t i = 0; i < servers_.size(); ++i) {
    const EndpointServer& a = ep->servers[i];
    const Server& s = servers_[i];
    if (!Writable(*ep, i)) continue;
    if (Pending(GoalWeight(s), a.applied_weight))
      changes.push_back({i, true, Change(*ep, i, true), GoalWeight(s), s.goal_state});
    if (Pending(s.goal_state, a.applied_state))
      changes.push_back({i, false, Change(*ep, i, false), GoalWeight(s), s.goal_state});
  }
  std::vector<std::string> all;
  all.reserve(changes.size());
  for (const Pend& c : changes) all.push_back(c.event.command);
  for (size_t from = 0, to = 0; from < changes.size(); from = to) {
    to = ep->driver->BatchEnd(all, from);
    std::vector<std::string> commands(all.begin() + static_cast<std::ptrdiff_t>(from),
                                      all.begin() + static_cast<std::ptrdiff_t>(to));
    std::vector<std::string> answers(commands.size());
    // What is not sent stays pending for the next tick.
    if (ep->driver->Writes() && !TakeBatch()) return;
    if (!Exchange(ep, Verb::kWrite, commands, &answers, now_ms)) return;
    for (size_t k = from; k < to; ++k) {
      Pend& c = changes[k];
      EndpointServer& a = ep->servers[c.i];
      const std::string& answer = answers[k - from];
      if (ep->driver->NoSuchServer(answer)) {
        Missing(ep, c.i, c.event.command, answer);
        continue;
      }
      // Any other refusal is reported with the change and not tried again
      // until the goal moves, so one bad value cannot flood the socket.
      c.event.message = answer;
      if (!answer.empty()) ++ep->errors;
      if (c.weight) {
        a.applied_weight = c.weight_sent;
      } else {
        a.applied_state = c.state_sent;
      }
      Emit(c.event);
    }
    if (between_) between_();
  }
  for (size_t i = 0; i < servers_.size(); ++i) {
    if (!Due(*ep, i)) ep->servers[i].restarted = false;
  }
}

void CBalancer::Tick(int64_t now_ms) {
  if (unheard_deadline_ >= 0 && now_ms >= unheard_deadline_) {
    unheard_deadline_ = -1;
    for (Server& s : servers_) {
      if (!s.heard) Silent(&s);
    }
  }
  if (admit_at_ >= 0 && now_ms >= admit_at_) {
    admit_at_ = -1;
    for (Backend& b : backends_) Admit(&b);
  }
  backlog_ = false;
  Balance(now_ms);
  // Each instance on its own: one that fails waits for its retry while the
  // others are written, and the reachable ones go first, so that one that
  // hangs until its timeout does not delay them. Each has its own budget,
  // so the instances stay equally current.
  for (bool linked : {true, false}) {
    for (HaproxyEndpoint& ep : endpoints_) {
      if (ep.linked != linked) continue;
      batches_left_ = kBatchesPerTick;
      if (!ep.driver->Reads()) {
        Write(&ep, now_ms);
        continue;
      }
      if (now_ms < ep.retry_at) continue;
      if ((!ep.linked || now_ms >= ep.info_due) && !ReadInfo(&ep, now_ms)) continue;
      if (!ReadWeights(&ep, now_ms)) continue;
      if (StatesWanted(ep, now_ms) && !ReadStates(&ep, now_ms)) continue;
      Write(&ep, now_ms);
    }
  }
  work_ = AnyWork();
}

// One scan of the fleet, once a tick.
bool CBalancer::AnyWork() const {
  for (const HaproxyEndpoint& ep : endpoints_) {
    if (reads_ && !ep.linked) continue;  // it is due at its retry
    for (size_t i = 0; i < servers_.size(); ++i) {
      const EndpointServer& a = ep.servers[i];
      bool unread = reads_ && (a.initial < 0 || a.admin < 0) && !a.missing;
      if (unread || Due(ep, i)) return true;
    }
  }
  return false;
}

int64_t CBalancer::NextDue(int64_t now_ms) const {
  int64_t due = unheard_deadline_;
  auto take = [&due](int64_t t) {
    if (t >= 0 && (due < 0 || t < due)) due = t;
  };
  if (policy_.law == WeightLaw::kEven) take(law_due_);
  take(admit_at_);
  for (const HaproxyEndpoint& ep : endpoints_) {
    if (reads_ && !ep.linked) {
      take(ep.retry_at);
      continue;
    }
    if (reads_) take(ep.info_due);
    if (reads_) take(ep.states_due);
    // An instance with nothing of its own to do ticks early at worst.
    if (work_) take(std::max(now_ms, ep.retry_at));
  }
  return due;
}

bool CBalancer::View(uint32_t agent, std::string* weight, std::string* state) const {
  auto it = by_agent_.find(agent);
  if (it == by_agent_.end()) return false;
  size_t i = it->second;
  // The first instance that has the server speaks for all; the status
  // lines tell where one differs by failing.
  for (const HaproxyEndpoint& ep : endpoints_) {
    const EndpointServer& a = ep.servers[i];
    if (a.missing) continue;
    *weight = a.applied_weight >= 0   ? std::to_string(a.applied_weight)
              : a.haproxy_weight >= 0 ? std::to_string(a.haproxy_weight)
                                      : "-";
    *state = LbStateName(a.applied_state);
    std::string holder = HolderOf(i);
    if (!holder.empty()) {
      *state += " (held: " + holder + ")";
    } else if (servers_[i].held) {
      *state += " (held)";
    }
    return true;
  }
  *weight = "-";
  *state = "no-server";
  return true;
}

std::string CBalancer::HolderOf(size_t i) const {
  if (servers_[i].map.hold) return HolderName(Holder::kMap);
  // Held on any instance is held: the operator works on that one.
  for (const HaproxyEndpoint& ep : endpoints_) {
    const EndpointServer& a = ep.servers[i];
    if (!a.missing && a.hold != Holder::kNone) return HolderName(a.hold);
  }
  return "";
}

void CBalancer::Fill(std::vector<ServerStatus>* servers,
                     std::vector<EndpointStatus>* endpoints) const {
  for (size_t i = 0; i < servers_.size(); ++i) {
    const Server& s = servers_[i];
    ServerStatus v;
    v.backend = s.map.backend;
    v.server = s.map.server;
    v.agent = s.map.agent;
    v.target = s.goal_weight;
    v.load = s.has_load ? static_cast<int>(std::lround(s.load)) : -1;
    v.missing = true;
    v.held = s.held;
    // As View: the first instance that has the server speaks for all.
    for (const HaproxyEndpoint& ep : endpoints_) {
      const EndpointServer& a = ep.servers[i];
      if (a.missing) continue;
      v.weight = a.applied_weight >= 0 ? a.applied_weight : a.haproxy_weight;
      v.state = a.applied_state;
      v.missing = false;
      break;
    }
    v.holder = HolderOf(i);
    servers->push_back(std::move(v));
  }
  if (!reads_) return;
  for (const HaproxyEndpoint& ep : endpoints_) {
    EndpointStatus e;
    e.kind = ep.driver->Kind();
    e.endpoint = ep.driver->Endpoint();
    e.reachable = ep.linked;
    e.pid = ep.pid;
    e.last_error = ep.last_error;
    for (const EndpointServer& a : ep.servers) e.missing += a.missing ? 1 : 0;
    e.commands = ep.commands;
    e.errors = ep.errors;
    e.latency = ep.latency;
    endpoints->push_back(std::move(e));
  }
}

}  // namespace coord
