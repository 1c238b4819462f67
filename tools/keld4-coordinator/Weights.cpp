// SPDX-License-Identifier: Apache-2.0
#include "Weights.h"

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

}  // namespace coord
