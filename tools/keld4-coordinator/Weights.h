// SPDX-License-Identifier: Apache-2.0
// How a reported CPU load becomes an HAProxy server weight.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace coord {

// A server's administrative state in HAProxy, as far as we know it.
enum class LbState { kUnknown, kReady, kDrain, kMaint };

const char* LbStateName(LbState s);

constexpr int kMaxHaproxyWeight = 256;

// even: each server's weight is corrected towards the utilization of the
// others in its backend, so unequal servers end up equally busy.
// linear: each weight from its own load alone, in a straight line.
enum class WeightLaw { kEven, kLinear };

const char* WeightLawName(WeightLaw law);
bool ParseWeightLaw(const std::string& text, WeightLaw* law);

struct WeightPolicy {
  WeightLaw law = WeightLaw::kEven;
  int min_weight = 1;        // a fully busy server still gets some traffic
  int max_weight = -1;       // an idle server's weight; -1: the server's initial weight
  double smoothing = 0.5;    // share of the newest sample in the moving average
  int step = 2;              // smaller changes are not written
  int64_t period_ms = 2000;  // the agents' CPU-load period: the even law moves once a period
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

// One server as the even law sees it.
struct LawServer {
  bool active = false;  // ready, with a load and a maximum weight: it counts and moves
  bool fresh = false;   // a sample came since its last move; the law clears it
  double sample = 0;    // the latest load, percent
  int max_weight = 0;
  double share = 1;     // the law's state: the weight as a fraction of max_weight
  double capacity = 0;  // share per point of load, smoothed; 0 none yet
  int hold = 0;         // saturated samples to wait before the next cut
  // What the load balancer counted since the last move, where it counts
  // requests (HAProxy in mode http): begun, and open now. The law keeps the
  // open count it saw last.
  bool counted = false;
  double arrived = 0;
  double open = 0;
  double open_before = -1;  // -1: not counted at the last move
  // Where it counts connections instead (mode tcp, open ones) and they are
  // long-lived, the work follows the connections a server holds, which the
  // weights only move as they end: the law then measures a server by its
  // connections per point of load.
  bool by_connections = false;
  bool on_connections = false;  // its capacity is in connections, not shares
  double held = 0;              // connections held, and the load, averaged over periods
  double loaded = 0;
};

// A load this high hides how far the server is behind: a backlog reads as
// full until it drains.
constexpr double kLawSaturated = 97.0;

// One period of the even law over one backend's servers: each fresh sample
// updates its server's capacity (share / load: the share that would make it
// 1 % busy), and every share moves towards the capacities' proportions, the
// largest at 1, by a bounded factor; a saturated server is cut, to what it
// finished of what it was sent when the balancer counted both. In a backend
// of long-lived connections a server's capacity is the connections it holds
// per point of load instead.
void EvenStep(const std::vector<LawServer*>& servers, const WeightPolicy& policy);

// The weight a share of max_weight stands for, at least min_weight.
int EvenWeight(double share, int min_weight, int max_weight);

}  // namespace coord
