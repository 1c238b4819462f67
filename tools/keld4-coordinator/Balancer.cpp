#include "Balancer.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstddef>
#include <utility>

namespace coord {
namespace {

// Commands per connection: the whole line must fit HAProxy's buffer (16 kB).
constexpr size_t kBatch = 64;

std::string WeightText(int w) { return w < 0 ? "" : std::to_string(w); }

std::string StateText(LbState s) { return s == LbState::kUnknown ? "" : LbStateName(s); }

bool Pending(int goal, int applied) { return goal >= 0 && goal != applied; }

bool Pending(LbState goal, LbState applied) { return goal != LbState::kUnknown && goal != applied; }

}  // namespace

CBalancer::CBalancer(const std::vector<ServerMapping>& servers, const WeightPolicy& policy,
                     LbState silent_state, const std::string& endpoint, bool dry_run, Sink sink)
    : policy_(policy), silent_state_(silent_state), dry_run_(dry_run),
      has_socket_(!endpoint.empty()), socket_(endpoint), sink_(std::move(sink)) {
  for (const ServerMapping& m : servers) {
    Server s;
    s.map = m;
    servers_.push_back(s);
  }
}

void CBalancer::Start(int64_t now_ms, int64_t silence_ms) {
  unheard_deadline_ = silence_ms > 0 ? now_ms + silence_ms : -1;
  retry_at_ = now_ms;
}

CBalancer::Server* CBalancer::Find(uint32_t agent) {
  for (Server& s : servers_) {
    if (s.map.agent == agent) return &s;
  }
  return nullptr;
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
  }
}

void CBalancer::OnReport(uint32_t agent, bool is_load, uint32_t load, bool came_up) {
  Server* s = Find(agent);
  if (s == nullptr) return;
  s->heard = true;
  if (came_up) {
    s->goal_state = LbState::kReady;
    s->state_reason = "alive";
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
  s->goal_state = silent_state_;
  s->state_reason = reason;
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
  ++errors_;
  LbEvent e;
  e.kind = LbEvent::Kind::kServer;
  e.agent = s->map.agent;
  e.server = s->map.Name();
  e.command = command;
  e.message = answer;
  Emit(e);
}

int CBalancer::Exchange(const std::vector<std::string>& commands, std::vector<std::string>* answers,
                        std::string* err) {
  auto begin = std::chrono::steady_clock::now();
  int rc = socket_.Run(commands, answers, err);
  latency_.Observe(std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count());
  commands_ += commands.size();
  if (rc != 0) ++errors_;
  return rc;
}

bool CBalancer::ReadInfo(int64_t now_ms) {
  std::vector<std::string> answers;
  std::string err;
  long long pid = 0, uptime = 0;
  if (Exchange({"show info"}, &answers, &err) != 0) {
    Lost(err, now_ms);
    return false;
  }
  if (!ParseShowInfo(answers[0], &pid, &uptime)) {
    Lost("no Pid and Uptime_sec in the answer to show info: " + answers[0].substr(0, 80), now_ms);
    return false;
  }
  if (has_info_ && (pid != pid_ || uptime < uptime_s_)) {
    // A new HAProxy starts from its configuration: everything we wrote is gone.
    for (Server& s : servers_) {
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
  for (Server& s : servers_) {
    if (s.initial < 0 && !s.missing) {
      asked.push_back(&s);
      commands.push_back("get weight " + s.map.Name());
    }
  }
  for (size_t from = 0; from < commands.size(); from += kBatch) {
    size_t to = std::min(commands.size(), from + kBatch);
    std::vector<std::string> part(commands.begin() + static_cast<std::ptrdiff_t>(from),
                                  commands.begin() + static_cast<std::ptrdiff_t>(to));
    std::vector<std::string> answers;
    std::string err;
    if (Exchange(part, &answers, &err) != 0) {
      Lost(err, now_ms);
      return false;
    }
    for (size_t i = 0; i < part.size(); ++i) {
      Server* s = asked[from + i];
      if (ParseGetWeight(answers[i], &s->haproxy_weight, &s->initial)) {
        Decide(s);
      } else {
        Missing(s, part[i], answers[i]);
      }
    }
  }
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
  };
  std::vector<Pend> changes;
  for (Server& s : servers_) {
    if (s.missing) continue;
    if (Pending(s.goal_weight, s.applied_weight))
      changes.push_back({&s, true, this->Change(s, true)});
    if (Pending(s.goal_state, s.applied_state))
      changes.push_back({&s, false, this->Change(s, false)});
  }
  for (size_t from = 0; from < changes.size(); from += kBatch) {
    size_t to = std::min(changes.size(), from + kBatch);
    std::vector<std::string> commands;
    for (size_t i = from; i < to; ++i) commands.push_back(changes[i].event.command);
    std::vector<std::string> answers(commands.size());
    if (has_socket_ && !dry_run_) {
      std::string err;
      if (Exchange(commands, &answers, &err) != 0) {
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
      if (!answer.empty()) ++errors_;
      if (c.weight) {
        c.s->applied_weight = c.s->goal_weight;
      } else {
        c.s->applied_state = c.s->goal_state;
      }
      Emit(c.event);
    }
  }
}

void CBalancer::Tick(int64_t now_ms) {
  if (unheard_deadline_ >= 0 && now_ms >= unheard_deadline_) {
    unheard_deadline_ = -1;
    for (Server& s : servers_) {
      if (!s.heard) OnGone(s.map.agent, "silent");
    }
  }
  if (!has_socket_) {
    Write(now_ms);
    return;
  }
  if (now_ms < retry_at_) return;
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
    for (const Server& s : servers_) {
      if (Pending(s.goal_weight, s.applied_weight) || Pending(s.goal_state, s.applied_state)) {
        take(now_ms);
      }
    }
    return due;
  }
  if (!linked_) {
    take(retry_at_);
    return due;
  }
  take(info_due_);
  for (const Server& s : servers_) {
    if (s.missing) continue;
    if (s.initial < 0 || Pending(s.goal_weight, s.applied_weight) ||
        Pending(s.goal_state, s.applied_state)) {
      take(std::max(now_ms, retry_at_));
    }
  }
  return due;
}

bool CBalancer::View(uint32_t agent, std::string* weight, std::string* state) const {
  for (const Server& s : servers_) {
    if (s.map.agent != agent) continue;
    if (s.missing) {
      *weight = "-";
      *state = "no-server";
      return true;
    }
    *weight = s.applied_weight >= 0   ? std::to_string(s.applied_weight)
              : s.haproxy_weight >= 0 ? std::to_string(s.haproxy_weight)
                                      : "-";
    *state = LbStateName(s.applied_state);
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

void CBalancer::Fill(std::vector<ServerStatus>* servers,
                     std::vector<EndpointStatus>* endpoints) const {
  for (const Server& s : servers_) {
    ServerStatus v;
    v.backend = s.map.backend;
    v.server = s.map.server;
    v.agent = s.map.agent;
    v.weight = s.applied_weight >= 0 ? s.applied_weight : s.haproxy_weight;
    v.target = s.goal_weight;
    v.state = s.applied_state;
    v.load = s.has_load ? static_cast<int>(std::lround(s.load)) : -1;
    v.missing = s.missing;
    servers->push_back(std::move(v));
  }
  if (!has_socket_) return;
  EndpointStatus e;
  e.endpoint = socket_.Endpoint();
  e.reachable = linked_;
  e.commands = commands_;
  e.errors = errors_;
  e.latency = latency_;
  endpoints->push_back(std::move(e));
}

}  // namespace coord
