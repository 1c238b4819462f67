// SPDX-License-Identifier: Apache-2.0
// The valve's look at the whole fleet: when the coordinator hears almost none
// of its agents, silence drains nobody, and when it hears again the silent
// ones are judged only after a fresh silence period.
#include <gtest/gtest.h>

#include <vector>

#include "tools/keld4-coordinator/Balancer.h"
#include "tools/keld4-coordinator/Hearing.h"

namespace coord {
namespace {

ServerMapping Map(uint32_t agent, const std::string& server) {
  ServerMapping m;
  m.agent = agent;
  m.backend = "web";
  m.server = server;
  return m;
}

Decoded Alive(uint32_t agent) {
  Decoded d;
  d.kind = Kind::kAlive;
  d.has_header = true;
  d.src = agent;
  return d;
}

TEST(FleetHearing, DeafOnlyWhenFewerThanATenthOfTheCountedAreHeard) {
  EXPECT_TRUE(FleetDeaf({3, 0}));
  EXPECT_FALSE(FleetDeaf({3, 1})) << "one of three heard: real silences";
  EXPECT_TRUE(FleetDeaf({10, 0}));
  EXPECT_FALSE(FleetDeaf({10, 1}));
  EXPECT_TRUE(FleetDeaf({1000, 99}));
  EXPECT_FALSE(FleetDeaf({1000, 100}));
  EXPECT_TRUE(FleetDeaf({0, 0})) << "nobody left to count on hears nobody";
}

// Heard lately is half a silence period; down agents and servers taken out
// for silence are not counted on, agents never heard and silent ones held in
// service are.
TEST(FleetHearing, CountsWhoIsHeardWithinHalfTheSilencePeriod) {
  CAgentTable t(1, 1);  // alive every second: silent after 3 s
  ASSERT_EQ(HearingWindowMs(t.SilenceMs()), 1500);
  const uint32_t a = 0x0A000001, b = 0x0A000002, c = 0x0A000003, d = 0x0A000004, e = 0x0A000005,
                 f = 0x0A000006;
  std::vector<ServerMapping> servers = {Map(a, "a"), Map(b, "b"), Map(c, "c"),
                                        Map(d, "d"), Map(e, "e"), Map(f, "f")};
  for (const ServerMapping& m : servers) t.Expect(m.agent);
  bool up = false;
  t.Record(Alive(a), a, 1, 10000, &up);
  t.Record(Alive(b), b, 1, 8499, &up);  // 1.501 s before: not lately
  Decoded down = Alive(c);
  down.kind = Kind::kDown;
  t.Record(down, c, 1, 9000, &up);
  t.Record(Alive(d), d, 1, 9000, &up);
  t.Record(Alive(e), e, 1, 1000, &up);
  t.CheckSilence(10000);  // e turns silent; f was never heard
  Hearing h = CountHearing(t, servers, 10000, [=](uint32_t agent) { return agent == d; });
  EXPECT_EQ(h.expected, 4u) << "a, b, e (silent, held) and f (never heard)";
  EXPECT_EQ(h.heard, 1u);
  EXPECT_TRUE(FleetDeaf(CountHearing(t, servers, 20000, nullptr)));
}

TEST(FleetHearing, DeafValveDrainsNobodyAndJudgesAFreshSilencePeriodLater) {
  std::vector<LbEvent> events;
  std::vector<ServerMapping> servers = {Map(1, "a"), Map(2, "b"), Map(3, "c"), Map(4, "d")};
  CBalancer bal(servers, {}, LbState::kDrain, {}, true,
                [&events](const LbEvent& e) { events.push_back(e); });
  bal.SetMaxDrain(50);
  bal.Start(0, 3000);
  for (uint32_t a = 1; a <= 4; ++a) bal.OnReport(a, true, 0, true);
  bal.Tick(0);
  bal.SetDeaf(true, 5000);
  for (uint32_t a = 1; a <= 4; ++a) bal.OnGone(a, "silent");
  bal.Tick(5000);
  ASSERT_EQ(bal.Valves().size(), 1u);
  EXPECT_EQ(bal.Valves()[0].drained, 0u) << "half the backend would drain without the fleet rule";
  EXPECT_EQ(bal.Valves()[0].held, 4u);
  EXPECT_TRUE(bal.Valves()[0].deaf);
  std::string weight, state;
  ASSERT_TRUE(bal.View(1, &weight, &state));
  EXPECT_EQ(state, "ready (held)");

  // Heard again: agents come back one by one; the others are not judged at once.
  bal.OnReport(1, false, 0, true);
  bal.SetDeaf(false, 6000);
  bal.Tick(6000);
  EXPECT_EQ(bal.Valves()[0].drained, 0u);
  EXPECT_EQ(bal.Valves()[0].held, 3u);
  bal.OnReport(2, false, 0, true);
  bal.Tick(8999);
  EXPECT_EQ(bal.Valves()[0].held, 2u);
  EXPECT_EQ(bal.NextDue(8999), 9000);
  // c and d stay silent a full period after the fleet was heard again: the
  // backend's own valve drains two of four.
  bal.Tick(9000);
  EXPECT_EQ(bal.Valves()[0].drained, 2u);
  EXPECT_EQ(bal.Valves()[0].held, 0u);
  EXPECT_FALSE(bal.Valves()[0].deaf);
  EXPECT_TRUE(bal.TakenOut(3));
  EXPECT_FALSE(bal.TakenOut(1));
  size_t drains = 0, marks = 0;
  for (const LbEvent& e : events) {
    if (e.kind == LbEvent::Kind::kState && e.new_value == "drain") ++drains;
    if (e.kind == LbEvent::Kind::kWeight && e.new_value == "0" && e.reason == "silent") ++marks;
  }
  EXPECT_EQ(drains, 2u);
  EXPECT_EQ(marks, 2u) << "each goes out with weight 0";
}

}  // namespace
}  // namespace coord
