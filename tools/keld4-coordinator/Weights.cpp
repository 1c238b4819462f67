// SPDX-License-Identifier: Apache-2.0
#include "Weights.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

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

// Closer to the mean than this, in points, a server is left where it is:
// sampling noise alone would otherwise keep every weight moving.
static double kDeadBand = getenv("DB")?atof(getenv("DB")):2.0;
// A load this high hides how far the server is behind: a backlog reads as
// full until it drains.
static double kSaturated = getenv("SAT")?atof(getenv("SAT")):97.0;
// Each move of a saturated server takes this much of its share.
static double kShedPower = getenv("SHED")?atof(getenv("SHED")):1.0;
constexpr double kMaxShed = 0.5;
constexpr double kMinShed = 0.9;
// A share rises by at most this factor a move, so a server that has drained
// its backlog, or was taken far down, comes back without a burst.
static double kMaxRise = getenv("RISE")?atof(getenv("RISE")):1.25;
// And falls by at most this one outside saturation.
constexpr double kMaxFall = 0.7;
// The shares are scaled up once the largest is below this, keeping the
// weights' resolution without rewriting them all each period.
constexpr double kRescaleBelow = 0.8;

double Floor(const LawServer& s, int min_weight) {
  // Weight 0 is held just below where it rounds to 1, so the integral stays bounded.
  return (min_weight > 0 ? min_weight : 0.4) / s.max_weight;
}

}  // namespace

double EvenGain(double smoothing) {
  // The average reports a change in full after about 1/smoothing samples;
  // a gain of 0.4 would settle a roundrobin backend without overshoot with
  // a fresh signal.
  return (getenv("GAIN")?atof(getenv("GAIN")):0.4) * smoothing;
}

void EvenStep(const std::vector<LawServer*>& servers, const WeightPolicy& policy) {
  double sum = 0;
  size_t n = 0;
  for (const LawServer* s : servers) {
    if (!s->active) continue;
    sum += std::min(s->load, 100.0);
    ++n;
  }
  if (n < 2) {
    for (LawServer* s : servers) s->fresh = false;
    return;  // nothing to compare with
  }
  double mean = sum / static_cast<double>(n);
  double gain = EvenGain(policy.smoothing);
  double top = 0;
  for (LawServer* s : servers) {
    bool fresh = s->fresh;
    s->fresh = false;  // a drained server's samples say nothing of its weight
    if (!s->active) continue;
    if (fresh) {
      double factor = 1;
      if (s->load >= kSaturated && mean < s->load - kDeadBand) {
        // The next sample still shows the backlog of before the cut: one is
        // made every other sample, so the cuts do not pile up unseen.
        if (s->hold == 0) factor = std::clamp(std::pow(mean / 100, kShedPower), kMaxShed, kMinShed);
        s->hold = s->hold == 0 ? 1 : 0;
      } else {
        s->hold = 0;
        if (std::fabs(s->load - mean) > kDeadBand) {
          factor = std::pow(std::max(mean, 1.0) / std::max(s->load, 1.0), gain);
          factor = std::clamp(factor, kMaxFall, kMaxRise);
        }
      }
      s->share *= factor;
    }
    top = std::max(top, s->share);
  }
  if (top > 1 || top < kRescaleBelow) {
    for (LawServer* s : servers) s->share /= top;
  }
  for (LawServer* s : servers) {
    if (s->max_weight > 0) s->share = std::clamp(s->share, Floor(*s, policy.min_weight), 1.0);
  }
}

int EvenWeight(double share, int min_weight, int max_weight) {
  int w = static_cast<int>(std::lround(share * max_weight));
  return std::clamp(w, std::min(min_weight, max_weight), max_weight);
}

}  // namespace coord
