// SPDX-License-Identifier: Apache-2.0
#include "Weights.h"

#include <algorithm>
#include <cmath>

namespace coord {

const char* LbStateName(LbState s) {
  switch (s) {
    case LbState::kReady: return "ready";
    case LbState::kDrain: return "drain";
    case LbState::kMaint: return "maint";
    case LbState::kUnknown: break;
  }
  return "-";
}

double SmoothLoad(double average, bool has_average, uint32_t load, double smoothing) {
  // The agent caps its load at 100; anything above is treated as full.
  double sample = load > 100 ? 100.0 : static_cast<double>(load);
  if (!has_average) return sample;
  return smoothing * sample + (1.0 - smoothing) * average;
}

int WeightForLoad(double load, int min_weight, int max_weight) {
  if (max_weight < min_weight) max_weight = min_weight;
  if (load < 0) load = 0;
  if (load > 100) load = 100;
  double w = max_weight - (max_weight - min_weight) * load / 100.0;
  return static_cast<int>(std::lround(w));
}

bool WorthWriting(int written, int target, int step, int min_weight, int max_weight) {
  if (written < 0) return true;
  if (target == written) return false;
  if (target - written >= step || written - target >= step) return true;
  return target == min_weight || target == (max_weight < min_weight ? min_weight : max_weight);
}

const char* WeightLawName(WeightLaw law) { return law == WeightLaw::kLinear ? "linear" : "even"; }

bool ParseWeightLaw(const std::string& text, WeightLaw* law) {
  if (text == "even") {
    *law = WeightLaw::kEven;
  } else if (text == "linear") {
    *law = WeightLaw::kLinear;
  } else {
    return false;
  }
  return true;
}

namespace {

// A target this close to the share is left alone: sampling noise alone would
// otherwise keep every weight moving.
constexpr double kDeadBand = 0.05;
// A full server's capacity is cut to what it seems times the fleet's mean
// load (as a fraction), but never below this fraction.
constexpr double kShed = 0.6;
// A share rises by at most this factor a move, so a server that has drained
// its backlog, or was taken far down, comes back without a burst.
constexpr double kMaxRise = 1.25;
// And falls by at most this one.
constexpr double kMaxFall = 0.5;
// A server behind by its counts is sent less than it finishes until what it
// holds open has drained, over about this many periods, and a cut takes at
// most this part of its share, so the others are not flooded in one move.
constexpr double kDrainPeriods = 3;
constexpr double kDrainFloor = 0.5;
// Each move goes this part of the way (in log space) towards the target: the
// sample it comes from may be a period old.
constexpr double kGain = 0.5;
// Below this load (percent) a server's connections are too few to measure it by.
constexpr double kConnectionsFrom = 5;

double Floor(const LawServer& s, int min_weight) {
  // Weight 0 is held just below where it rounds to 1, so the shares stay bounded.
  return (min_weight > 0 ? min_weight : 0.4) / s.max_weight;
}

}  // namespace

void EvenStep(const std::vector<LawServer*>& servers, const WeightPolicy& policy) {
  // Each fresh sample tells how much work a unit of share brings the server:
  // its capacity in shares, as the load balancer spreads the work now.
  size_t n = 0;
  double sum = 0;
  for (const LawServer* s : servers) {
    if (!s->active) continue;
    sum += s->sample;
    ++n;
  }
  if (n < 2) {
    for (LawServer* s : servers) {
      s->fresh = false;
      s->counted = false;
      s->arrived = 0;
      s->open_before = -1;
    }
    return;  // nothing to compare with
  }
  // How far a full server is behind is unknown, but the fleet cannot be
  // much busier than its mean: near full, a large cut would only move the
  // backlog to the others.
  double cut = std::clamp(sum / static_cast<double>(n) / 100, kShed, 0.9);
  // A first estimate is gone to in one move: there is no earlier move yet
  // whose effect it could still be missing.
  std::vector<bool> first(servers.size(), false);
  std::vector<bool> counted_cut(servers.size(), false);
  std::vector<bool> behind(servers.size(), false);
  // Connections that last less than a period follow the weights at once, as
  // requests do, and how many a server holds then says how slow it is, not
  // how much work it was given: only long-lived ones (fewer begun in the
  // period than held, by a margin either way so it does not flap) are
  // counted as the work.
  double begun = 0;
  double holding = 0;
  bool by_connections = false;
  bool known = false;
  bool was = false;
  for (const LawServer* s : servers) {
    was = was || s->on_connections;
    if (!s->by_connections) continue;
    by_connections = true;
    if (!s->counted || s->open_before < 0) continue;
    known = true;
    begun += s->arrived;
    holding += s->open;
  }
  bool long_lived = !known ? was : was ? begun < 2 * holding : 2 * begun < holding;
  // A first reading tells how many are held but not how many began: which
  // measure holds is known a period later.
  bool undecided = by_connections && !known && !was;
  for (size_t i = 0; i < servers.size(); ++i) {
    LawServer* s = servers[i];
    if (s->on_connections != long_lived) {
      // Another measure of capacity: start it afresh.
      s->on_connections = long_lived;
      s->capacity = 0;
      s->held = 0;
      s->loaded = 0;
    }
    first[i] = s->capacity <= 0;
    bool fresh = s->fresh;
    s->fresh = false;  // a drained server's samples say nothing of its weight
    // What it finished since the last move, when it was counted then and now.
    bool read = s->counted;
    double arrived = s->arrived;
    bool counted = read && s->open_before >= 0 && arrived > 0;
    double done = counted ? arrived - (s->open - s->open_before) : 0;
    // The connections it held over the period, about.
    double held = read ? (s->open + (s->open_before >= 0 ? s->open_before : s->open)) / 2 : 0;
    s->open_before = read ? s->open : -1;
    s->counted = false;
    s->arrived = 0;
    if (!s->active || !fresh || undecided) continue;
    double seen = s->share / std::max(s->sample, 1.0);
    if (long_lived) {
      // Its connections, not its share, brought it this load. A server holds
      // a few of them, each begun or ended at any time in a period, so the
      // connections and the load are averaged apart and divided: a period
      // of one or two connections weighs as little as it tells.
      if (!read) continue;
      bool some = s->loaded > 0;
      s->held = some ? policy.smoothing * held + (1 - policy.smoothing) * s->held : held;
      s->loaded =
          some ? policy.smoothing * s->sample + (1 - policy.smoothing) * s->loaded : s->sample;
      if (s->loaded < kConnectionsFrom || s->held <= 0) continue;
      behind[i] = s->sample >= kLawSaturated;
      if (!behind[i]) {
        s->capacity = s->held / s->loaded;
      } else if (s->capacity <= 0) {
        s->capacity = s->held / s->loaded * cut;
      }
      // A full one keeps the capacity it had, since the connections it holds
      // leave only as they end, whatever its share: it is sent half of that
      // until it is no longer full, rather than cut again and again.
      continue;
    }
    if (s->sample >= kLawSaturated && done > 0) {
      // The counts show how far behind it is: the share that brings it what
      // it finished, less enough for what it holds open to drain.
      double drain = std::clamp(1 - s->open / done / kDrainPeriods, kDrainFloor, 1.0);
      s->capacity = s->share * done / arrived * drain / 100;
      s->hold = 0;
      counted_cut[i] = true;
      continue;
    }
    if (s->sample >= kLawSaturated) {
      // A backlog keeps the load at full while the cut is already working:
      // the server is cut, then left a sample to show it, so cuts do not pile
      // up unseen.
      if (s->hold > 0) {
        --s->hold;
        continue;
      }
      s->hold = 1;
      s->capacity = std::min(s->capacity > 0 ? s->capacity : seen, seen * cut);
      continue;
    }
    s->hold = 0;
    s->capacity =
        s->capacity > 0 ? policy.smoothing * seen + (1 - policy.smoothing) * s->capacity : seen;
  }
  double top = 0;
  for (const LawServer* s : servers) {
    if (s->active && s->capacity > 0) top = std::max(top, s->capacity);
  }
  if (top <= 0) return;
  for (size_t i = 0; i < servers.size(); ++i) {
    LawServer* s = servers[i];
    if (!s->active || s->capacity <= 0) continue;
    // Equal utilization: shares in proportion to the capacities, the largest at 1.
    double ratio = s->capacity / top / s->share * (behind[i] ? kDrainFloor : 1);
    if (std::fabs(ratio - 1) <= kDeadBand) continue;
    // A cut from the counts is no estimate from a stale sample: it is gone
    // to whole, within the floor of a drain.
    double factor = counted_cut[i]
                        ? std::clamp(ratio, kDrainFloor, kMaxRise)
                        : std::clamp(std::pow(ratio, first[i] ? 1.0 : kGain), kMaxFall, kMaxRise);
    double floor = s->max_weight > 0 ? Floor(*s, policy.min_weight) : 0;
    s->share = std::clamp(s->share * factor, floor, 1.0);
  }
}

int EvenWeight(double share, int min_weight, int max_weight) {
  int w = static_cast<int>(std::lround(share * max_weight));
  return std::clamp(w, std::min(min_weight, max_weight), max_weight);
}

}  // namespace coord
