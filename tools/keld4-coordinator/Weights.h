// SPDX-License-Identifier: Apache-2.0
// How a reported CPU load becomes an HAProxy server weight.
#pragma once

#include <cstdint>

namespace coord {

// A server's administrative state in HAProxy, as far as we know it.
enum class LbState { kUnknown, kReady, kDrain, kMaint };

const char* LbStateName(LbState s);

constexpr int kMaxHaproxyWeight = 256;

struct WeightPolicy {
  int min_weight = 1;      // a fully busy server still gets some traffic
  int max_weight = -1;     // an idle server's weight; -1: the server's initial weight
  double smoothing = 0.5;  // share of the newest sample in the moving average
  int step = 2;            // smaller changes are not written
};

// The moving average after one more sample; the first sample is taken whole.
double SmoothLoad(double average, bool has_average, uint32_t load, double smoothing);

// The weight for a (smoothed) load in percent: max when idle, min when fully
// busy, in a straight line between.
int WeightForLoad(double load, int min_weight, int max_weight);

// Whether moving from the weight last written to target is worth a write:
// a change of at least step, or one that reaches either end of the range
// (so an idle server gets exactly its maximum).
bool WorthWriting(int written, int target, int step, int min_weight, int max_weight);

}  // namespace coord
