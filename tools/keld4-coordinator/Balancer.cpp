#include "Balancer.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <utility>

namespace coord {
namespace {

std::string WeightText(int w) { return w < 0 ? "" : std::to_string(w); }

std::string StateText(LbState s) { return s == LbState::kUnknown ? "" : LbStateName(s); }

bool Pending(int goal, int applied) { return goal >= 0 && goal != applied; }

bool Pending(LbState goal, LbState applied) { return goal != LbState::kUnknown && goal != applied; }

}  // namespace

CBalancer::CBalancer(const std::vector<ServerMapping>& servers, const WeightPolicy& policy,
                     LbState silent_state, const std::string& endpoint, bool dry_run, Sink sink)
    : policy_(policy), silent_state_(silent_state), dry_run_(dry_run),
      has_socket_(!endpoint.empty()), socket_(endpoint), sink_(std::move(sink)) {
  std::unordered_map<std::string, size_t> backend_of;
  for (const ServerMapping& m : servers) {
    Server s;
    s.map = m;
    auto [it, added] = backend_of.emplace(m.backend, backends_.size());
    if (added) backends_.push_back(Backend{m.backend, 0, 0, {}});
    s.backend = it->second;
    ++backends_[s.backend].mapped;
    by_agent_.emplace(m.agent, servers_.size());
    unread_.push_back(servers_.size());
    servers_.push_back(s);
  }
}

void CBalancer::Start(int64_t now_ms, int64_t silence_ms) {
  unheard_deadline_ = silence_ms > 0 ? now_ms + silence_ms : -1;
  retry_at_ = now_ms;
}

CBalancer::Server* CBalancer::Find(uint32_t agent) {
  auto it = by_agent_.find(agent);
  return it == by_agent_.end() ? nullptr : &servers_[it->second];
}

const CBalancer::Server* CBalancer::Find(uint32_t agent) const {
  auto it = by_agent_.find(agent);
  return it == by_agent_.end() ? nullptr : &servers_[it->second];
}

void CBalancer::MarkDirty(Server* s) {
  if (s->dirty) return;
  s->dirty = true;
  dirty_.push_back(static_cast<size_t>(s - servers_.data()));
}

int CBalancer::MaxWeight(const Server& s) const {
  if (policy_.max_weight >= 0) return policy_.max_weight;
  if (!has_socket_) return kDryRunMaxWeight;
  return s.initial;
}

void CBalancer::Decide(Server* s) {
  int max = MaxWeight(*s);
  if (!s->has_load || max < 0) return;
  int target = WeightForLoad(s->load, policy_.min_weight, max);
  if (WorthWriting(s->goal_weight, target, policy_.step, policy_.min_weight, max)) {
    s->goal_weight = target;
    MarkDirty(s);
  }
}

void CBalancer::OnReport(uint32_t agent, bool is_load, uint32_t load, bool came_up) {
  Server* s = Find(agent);
  if (s == nullptr) return;
  s->heard = true;
  if (came_up) {
    Heard(s);
    s->goal_state = LbState::kReady;
    s->state_reason = "alive";
    MarkDirty(s);
  }
  if (is_load) {
    s->load = SmoothLoad(s->load, s->has_load, load, policy_.smoothing);
    s->has_load = true;
    s->weight_reason = "load";
    Decide(s);
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
  MarkDirty(s);
}

void CBalancer::Silent(Server* s) {
  if (s->silence_drained || s->held) return;
  Backend& b = backends_[s->backend];
  ++valve_version_;
  // Past the share, silence is more likely our own deafness than the
  // servers' deaths: taking them all out would put the site out.
  if ((b.drained + 1) * 100 <= b.mapped * static_cast<size_t>(max_drain_)) {
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
  if (!b.held.empty()) {
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
  Emit(e);
}

std::vector<ValveView> CBalancer::Valves() const {
  std::vector<ValveView> out;
  for (const Backend& b : backends_) out.push_back({b.name, b.mapped, b.drained, b.held.size()});
  return out;
}

void CBalancer::Emit(const LbEvent& e) const {
  if (sink_) sink_(e);
}

void CBalancer::Lost(const std::string& why, int64_t now_ms) {
  // Once per outage, not once per retry.
  if (linked_ || !lost_reported_ || why != last_error_) {
    LbEvent e;
    e.kind = LbEvent::Kind::kLink;
    e.reason = "lost";
    e.message = why;
    Emit(e);
  }
  lost_reported_ = true;
  last_error_ = why;
  linked_ = false;
  retry_at_ = now_ms + backoff_ms_;
  backoff_ms_ = std::min(backoff_ms_ * 2, kMaxBackoffMs);
}

void CBalancer::Missing(Server* s, const std::string& command, const std::string& answer) {
  s->missing = true;
  LbEvent e;
  e.kind = LbEvent::Kind::kServer;
  e.agent = s->map.agent;
  e.server = s->map.Name();
  e.command = command;
  e.message = answer;
  Emit(e);
}

bool CBalancer::ReadInfo(int64_t now_ms) {
  std::vector<std::string> answers;
  std::string err;
  long long pid = 0, uptime = 0;
  if (socket_.Run({"show info"}, &answers, &err) != 0) {
    Lost(err, now_ms);
    return false;
  }
  if (!ParseShowInfo(answers[0], &pid, &uptime)) {
    Lost("no Pid and Uptime_sec in the answer to show info: " + answers[0].substr(0, 80), now_ms);
    return false;
  }
  if (has_info_ && (pid != pid_ || uptime < uptime_s_)) {
    // A new HAProxy starts from its configuration: everything we wrote is gone.
    unread_.clear();
    for (Server& s : servers_) {
      unread_.push_back(static_cast<size_t>(&s - servers_.data()));
      MarkDirty(&s);
      s.initial = -1;
      s.haproxy_weight = -1;
      s.applied_weight = -1;
      s.applied_state = LbState::kUnknown;
      s.missing = false;
      s.weight_reason = "restart";
      s.state_reason = "restart";
    }
    LbEvent e;
    e.kind = LbEvent::Kind::kLink;
    e.reason = "restarted";
    e.message = "pid " + std::to_string(pid);
    Emit(e);
  }
  if (!linked_) {
    LbEvent e;
    e.kind = LbEvent::Kind::kLink;
    e.reason = "connected";
    e.message = "pid " + std::to_string(pid);
    Emit(e);
  }
  has_info_ = true;
  pid_ = pid;
  uptime_s_ = uptime;
  linked_ = true;
  lost_reported_ = false;
  last_error_.clear();
  backoff_ms_ = kMinBackoffMs;
  info_due_ = now_ms + kInfoPeriodMs;
  return true;
}

bool CBalancer::ReadWeights(int64_t now_ms) {
  std::vector<Server*> asked;
  std::vector<std::string> commands;
  for (size_t i : unread_) {
    Server& s = servers_[i];
    if (s.initial < 0 && !s.missing) {
      asked.push_back(&s);
      commands.push_back("get weight " + s.map.Name());
    }
  }
  for (size_t from = 0, to = 0; from < commands.size(); from = to) {
    if (batches_left_ == 0) {
      unread_.clear();
      for (size_t i = from; i < asked.size(); ++i) {
        unread_.push_back(static_cast<size_t>(asked[i] - servers_.data()));
      }
      return false;
    }
    --batches_left_;
    to = BatchEnd(commands, from);
    std::vector<std::string> part(commands.begin() + static_cast<std::ptrdiff_t>(from),
                                  commands.begin() + static_cast<std::ptrdiff_t>(to));
    std::vector<std::string> answers;
    std::string err;
    if (socket_.Run(part, &answers, &err) != 0) {
      Lost(err, now_ms);
      return false;
    }
    for (size_t i = 0; i < part.size(); ++i) {
      Server* s = asked[from + i];
      if (ParseGetWeight(answers[i], &s->haproxy_weight, &s->initial)) {
        MarkDirty(s);
        Decide(s);
      } else {
        Missing(s, part[i], answers[i]);
      }
    }
    if (between_) between_();
  }
  unread_.clear();
  return true;
}

LbEvent CBalancer::Change(const Server& s, bool weight) const {
  LbEvent e;
  e.kind = weight ? LbEvent::Kind::kWeight : LbEvent::Kind::kState;
  e.agent = s.map.agent;
  e.server = s.map.Name();
  if (weight) {
    e.old_value = WeightText(s.applied_weight >= 0 ? s.applied_weight : s.haproxy_weight);
    e.new_value = WeightText(s.goal_weight);
    e.reason = s.weight_reason;
    e.command = "set server " + e.server + " weight " + e.new_value;
  } else {
    e.old_value = StateText(s.applied_state);
    e.new_value = StateText(s.goal_state);
    e.reason = s.state_reason;
    e.command = "set server " + e.server + " state " + e.new_value;
  }
  if (s.has_load) e.load = static_cast<int>(std::lround(s.load));
  return e;
}

void CBalancer::Write(int64_t now_ms) {
  // The weight before the state, so a server comes back ready with the
  // weight of its load.
  struct Pend {
    Server* s;
    bool weight;
    LbEvent event;
    int weight_sent;  // the goal may move while the batch is out
    LbState state_sent;
  };
  std::vector<Pend> changes;
  std::vector<size_t> work;
  work.swap(dirty_);
  for (size_t i : work) {
    Server& s = servers_[i];
    s.dirty = false;
    if (s.missing) continue;
    if (Pending(s.goal_weight, s.applied_weight))
      changes.push_back({&s, true, this->Change(s, true), s.goal_weight, s.goal_state});
    if (Pending(s.goal_state, s.applied_state))
      changes.push_back({&s, false, this->Change(s, false), s.goal_weight, s.goal_state});
  }
  std::vector<std::string> all;
  all.reserve(changes.size());
  for (const Pend& c : changes) all.push_back(c.event.command);
  for (size_t from = 0, to = 0; from < changes.size(); from = to) {
    to = BatchEnd(all, from);
    std::vector<std::string> commands(all.begin() + static_cast<std::ptrdiff_t>(from),
                                      all.begin() + static_cast<std::ptrdiff_t>(to));
    std::vector<std::string> answers(commands.size());
    if (has_socket_ && !dry_run_) {
      if (batches_left_ == 0) {
        for (size_t i = from; i < changes.size(); ++i) MarkDirty(changes[i].s);
        return;
      }
      --batches_left_;
      std::string err;
      if (socket_.Run(commands, &answers, &err) != 0) {
        for (size_t i = from; i < changes.size(); ++i) MarkDirty(changes[i].s);
        Lost(err, now_ms);
        return;
      }
    }
    for (size_t i = from; i < to; ++i) {
      Pend& c = changes[i];
      const std::string& answer = answers[i - from];
      if (answer.rfind("No such", 0) == 0) {
        Missing(c.s, c.event.command, answer);
        continue;
      }
      // Any other refusal is reported with the change and not tried again
      // until the goal moves, so one bad value cannot flood the socket.
      c.event.message = answer;
      if (c.weight) {
        c.s->applied_weight = c.weight_sent;
      } else {
        c.s->applied_state = c.state_sent;
      }
      Emit(c.event);
    }
    if (between_) between_();
  }
}

void CBalancer::Tick(int64_t now_ms) {
  if (unheard_deadline_ >= 0 && now_ms >= unheard_deadline_) {
    unheard_deadline_ = -1;
    for (Server& s : servers_) {
      if (!s.heard) Silent(&s);
    }
  }
  if (!has_socket_) {
    Write(now_ms);
    return;
  }
  if (now_ms < retry_at_) return;
  batches_left_ = kBatchesPerTick;
  if ((!linked_ || now_ms >= info_due_) && !ReadInfo(now_ms)) return;
  if (!ReadWeights(now_ms)) return;
  Write(now_ms);
}

int64_t CBalancer::NextDue(int64_t now_ms) const {
  int64_t due = unheard_deadline_;
  auto take = [&due](int64_t t) {
    if (t >= 0 && (due < 0 || t < due)) due = t;
  };
  if (!has_socket_) {
    if (!dirty_.empty()) take(now_ms);
    return due;
  }
  if (!linked_) {
    take(retry_at_);
    return due;
  }
  take(info_due_);
  // Dirty servers may turn out to need nothing; the tick that finds so
  // empties the list.
  if (!unread_.empty() || !dirty_.empty()) take(std::max(now_ms, retry_at_));
  return due;
}

bool CBalancer::View(uint32_t agent, std::string* weight, std::string* state) const {
  const Server* found = Find(agent);
  if (found != nullptr) {
    const Server& s = *found;
    if (s.missing) {
      *weight = "-";
      *state = "no-server";
      return true;
    }
    *weight = s.applied_weight >= 0   ? std::to_string(s.applied_weight)
              : s.haproxy_weight >= 0 ? std::to_string(s.haproxy_weight)
                                      : "-";
    *state = LbStateName(s.applied_state);
    if (s.held) *state += " (held)";
    return true;
  }
  return false;
}

std::string CBalancer::Status() const {
  if (!has_socket_) return "HAProxy: dry run";
  std::string out = "HAProxy " + socket_.Endpoint() + ": ";
  if (linked_) return out + "pid " + std::to_string(pid_);
  return out + (last_error_.empty() ? "not reached yet" : last_error_);
}

}  // namespace coord
