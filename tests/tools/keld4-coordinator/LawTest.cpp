// SPDX-License-Identifier: Apache-2.0
// The even law in a closed loop: a backend of unequal servers in front of a
// model of the load balancer, one step a period on a fake clock.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <deque>
#include <vector>

#include "tools/keld4-coordinator/Weights.h"

namespace coord {
namespace {

enum class Share { kRoundRobin, kLeastConn };

// Servers with capacities c (work per period), offered load times their sum.
// A server's backlog is bounded; it reads as full while it drains.
class CLoop {
 public:
  CLoop(std::vector<double> capacity, double load, Share share, int delay = 1)
      : capacity_(std::move(capacity)), demand_(load), share_(share), delay_(delay) {
    size_t n = capacity_.size();
    law_.resize(n);
    smoothed_.assign(n, 0);
    backlog_.assign(n, 0);
    weight_.assign(n, 100);
    utilization_.assign(n, 0);
    for (LawServer& s : law_) {
      s.active = true;
      s.max_weight = 100;
    }
  }

  void Period() {
    size_t n = capacity_.size();
    std::vector<double> pull(n);
    double sum = 0;
    for (size_t i = 0; i < n; ++i) {
      // Least connections already sends more to the faster server, part way.
      pull[i] = weight_[i] * (share_ == Share::kLeastConn ? std::sqrt(capacity_[i]) : 1.0);
      sum += pull[i];
    }
    double total = 0;
    for (double c : capacity_) total += c;
    if (conns_.empty()) conns_.assign(n, kConnections / static_cast<double>(n));
    std::vector<uint32_t> sample(n);
    std::vector<double> arrived(n);
    for (size_t i = 0; i < n; ++i) {
      // Long-lived connections carry equal work; only the ones that end are
      // placed anew by the weights.
      conns_[i] += turnover_ * (kConnections * pull[i] / sum - conns_[i]);
      double part = turnover_ > 0 ? conns_[i] / kConnections : pull[i] / sum;
      arrived[i] = demand_ * total * part;
      double work = arrived[i] + backlog_[i];
      double done = std::min(work, capacity_[i]);
      dropped_ += std::max(0.0, work - done - kMaxBacklog * capacity_[i]);
      backlog_[i] = std::min(work - done, kMaxBacklog * capacity_[i]);
      utilization_[i] = 100 * done / capacity_[i];
      sample[i] = static_cast<uint32_t>(std::lround(utilization_[i]));
    }
    // The agents' reports reach the law late.
    reports_.push_back(sample);
    if (reports_.size() <= static_cast<size_t>(delay_)) return;
    std::vector<uint32_t> seen = reports_.front();
    reports_.pop_front();
    std::vector<LawServer*> members;
    for (size_t i = 0; i < n; ++i) {
      smoothed_[i] = SmoothLoad(smoothed_[i], started_, seen[i], policy_.smoothing);
      law_[i].sample = seen[i];
      law_[i].fresh = true;
      // The balancer's counts are read as the law moves: never late.
      law_[i].counted = counts_;
      law_[i].arrived = arrived[i];
      law_[i].open = turnover_ > 0 ? conns_[i] : backlog_[i];
      law_[i].by_connections = turnover_ > 0 || tcp_;
      members.push_back(&law_[i]);
    }
    started_ = true;
    EvenStep(members, policy_);
    for (size_t i = 0; i < n; ++i) {
      int target = EvenWeight(law_[i].share, policy_.min_weight, 100);
      if (!WorthWriting(weight_[i], target, policy_.step, policy_.min_weight, 100)) continue;
      int move = target - weight_[i];
      ++writes_;
      if (last_move_[i] != 0 && (move > 0) != (last_move_[i] > 0)) ++reversals_;
      last_move_[i] = move;
      weight_[i] = target;
    }
  }

  void Run(int periods) {
    last_move_.resize(capacity_.size());
    for (int k = 0; k < periods; ++k) Period();
  }

  double Spread() const {
    auto [lo, hi] = std::minmax_element(utilization_.begin(), utilization_.end());
    return *hi - *lo;
  }

  static constexpr double kMaxBacklog = 1;  // periods of work
  static constexpr double kConnections = 48;
  WeightPolicy policy_;
  std::vector<double> capacity_;
  double demand_;
  Share share_;
  int delay_;
  std::vector<LawServer> law_;
  std::vector<double> smoothed_, backlog_, utilization_;
  std::vector<int> weight_;
  std::vector<int> last_move_;
  std::deque<std::vector<uint32_t>> reports_;
  bool started_ = false;
  bool counts_ = false;
  double turnover_ = 0;  // share of the connections that end each period; 0: none held
  bool tcp_ = false;     // counted by connections, however short
  std::vector<double> conns_;
  double dropped_ = 0;  // work turned away by a full backlog
  int writes_ = 0;
  int reversals_ = 0;
};

const std::vector<double> kFleet = {1, 1, 2, 2, 4, 4};

TEST(EvenLaw, UnequalServersConvergeToEqualUtilization) {
  for (Share share : {Share::kRoundRobin, Share::kLeastConn}) {
    for (double load : {0.7, 0.9}) {
      CLoop loop(kFleet, load, share);
      loop.Run(30);
      SCOPED_TRACE(testing::Message()
                   << "leastconn " << (share == Share::kLeastConn) << " load " << load);
      EXPECT_LE(loop.Spread(), 5) << "within the dead band and rounding";
      // The weights hold their proportions: the largest at the top, not all at the floor.
      EXPECT_GE(*std::max_element(loop.weight_.begin(), loop.weight_.end()), 80);
      if (share == Share::kRoundRobin) {
        EXPECT_NEAR(loop.weight_[4] / static_cast<double>(loop.weight_[0]), 4, 0.5);
      }
      int settled = loop.writes_;
      loop.Run(30);
      EXPECT_LE(loop.writes_ - settled, 6) << "settled: at most a few more writes";
      EXPECT_LE(loop.Spread(), 5);
    }
  }
}

TEST(EvenLaw, ALateSignalDoesNotOscillate) {
  for (int delay : {1, 2}) {
    CLoop loop(kFleet, 0.7, Share::kRoundRobin, delay);
    loop.Run(60);
    SCOPED_TRACE(testing::Message() << "delay " << delay);
    // A stale signal stops the moves a little further out of the dead band.
    EXPECT_LE(loop.Spread(), delay == 1 ? 5 : 8);
    EXPECT_LE(loop.reversals_ * 5, loop.writes_) << loop.reversals_ << " of " << loop.writes_;
    EXPECT_LE(loop.writes_, 6 * 15) << "bounded writes per server";
  }
}

TEST(EvenLaw, ASaturatedServerIsShedAndTakenBackWithoutABurst) {
  CLoop loop(kFleet, 0.8, Share::kRoundRobin);
  loop.Run(30);
  ASSERT_LE(loop.Spread(), 5);
  loop.capacity_[5] = 2;  // the largest server halved: it fills its backlog
  int shed_at = -1;
  int before = loop.weight_[5];
  for (int k = 0; k < 30; ++k) {
    loop.Run(1);
    int w = loop.weight_[5];
    // Taken back in bounded steps, never a jump past what it can take.
    EXPECT_LE(w, std::max(before, static_cast<int>(std::ceil(before * 1.25)) + 1)) << k;
    before = w;
    if (shed_at < 0 && loop.backlog_[5] == 0) shed_at = k;
    if (shed_at >= 0) {
      EXPECT_LT(loop.utilization_[5], 100) << "no second backlog, period " << k;
    }
  }
  EXPECT_GE(shed_at, 0);
  EXPECT_LE(shed_at, 6) << "its backlog drained";
  EXPECT_LE(loop.Spread(), 5) << "back in line with the others";

  // Nearly stopped for a while, it is taken down to the floor; restored, it
  // comes back a bounded step a period, not in one burst.
  loop.capacity_[5] = 0.1;
  loop.Run(20);
  ASSERT_LE(loop.weight_[5], 3);
  loop.capacity_[5] = 4;
  before = loop.weight_[5];
  for (int k = 0; k < 40; ++k) {
    loop.Run(1);
    EXPECT_LE(loop.weight_[5], static_cast<int>(std::ceil(before * 1.25)) + 1) << k;
    before = loop.weight_[5];
  }
  EXPECT_LE(loop.Spread(), 5) << "back in line with the others";
}

// At 90 % with every weight equal, the small servers fill their backlogs in
// the first period. The CPU load says only "full"; the balancer's counts say
// how far behind, and the law sheds them by that: their backlogs drain and
// nothing more is turned away, where the CPU load alone keeps them full.
TEST(EvenLaw, CountsShedASaturatedServerByHowFarBehindItIs) {
  CLoop blind(kFleet, 0.9, Share::kRoundRobin, 0);
  CLoop counted(kFleet, 0.9, Share::kRoundRobin, 0);
  counted.counts_ = true;
  blind.Run(2);
  counted.Run(2);
  double turned_away = counted.dropped_;
  blind.Run(4);
  counted.Run(4);
  EXPECT_EQ(counted.backlog_[0], 0) << "drained within six periods";
  EXPECT_GT(blind.backlog_[0], 0) << "the load alone is slower";
  counted.Run(24);
  EXPECT_EQ(counted.dropped_, turned_away) << "nothing turned away after the second period";
  EXPECT_LT(counted.dropped_, blind.dropped_);
  EXPECT_LE(counted.Spread(), 10) << "within the dead band on either side";
}

// Long-lived connections (a tenth of them end each period): the weights
// reach the work only as connections are placed anew, so a law that reads
// its own shares takes its moves as done and goes astray; one that counts
// the connections each server holds converges.
TEST(EvenLaw, HeldConnectionsAreCountedNotTheShares) {
  CLoop shares(kFleet, 0.7, Share::kRoundRobin);
  CLoop held(kFleet, 0.7, Share::kRoundRobin);
  shares.turnover_ = held.turnover_ = 0.1;
  held.counts_ = true;
  shares.Run(60);
  held.Run(60);
  EXPECT_LE(held.Spread(), 7) << "the dead band, and a write step of 2 at weight 25";
  EXPECT_NEAR(held.weight_[4] / static_cast<double>(held.weight_[0]), 4, 0.5);
  EXPECT_GT(shares.Spread(), 10) << "the shares alone do not settle";
  int settled = held.writes_;
  held.Run(30);
  EXPECT_LE(held.writes_ - settled, 6) << "settled: at most a few more writes";

  // Connections of one request each: many begin in a period, few are held,
  // and those are the backlog of the slow. The law goes by the shares then.
  CLoop shorts(kFleet, 0.7, Share::kRoundRobin);
  shorts.tcp_ = shorts.counts_ = true;
  shorts.Run(30);
  EXPECT_LE(shorts.Spread(), 5);
}

}  // namespace
}  // namespace coord
