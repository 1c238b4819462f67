// SPDX-License-Identifier: Apache-2.0
// The balancer against a real HAProxy: weights from crafted load reports,
// states on silence, a restart in the middle, unknown servers, a lost socket.
// Time is passed in, so nothing here waits for a clock but a hanging
// socket's timeout.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "tests/support/TestSupport.h"
#include "tests/tools/keld4-coordinator/HaproxySupport.h"
#include "tools/keld4-coordinator/Balancer.h"
#include "tools/keld4-coordinator/Report.h"

namespace coord {
namespace {

constexpr uint32_t kAgentA = 0x0A000001;  // 10.0.0.1
constexpr uint32_t kAgentB = 0x0A000002;
constexpr uint32_t kAgentC = 0x0A000003;

ServerMapping Map(uint32_t agent, const std::string& backend, const std::string& server) {
  ServerMapping m;
  m.agent = agent;
  m.backend = backend;
  m.server = server;
  return m;
}

// These tests follow each load to its weight: the straight line does so at once.
WeightPolicy Linear() {
  WeightPolicy p;
  p.law = WeightLaw::kLinear;
  return p;
}

class BalancerTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(haproxy_.Start()) << "haproxy did not start"; }

  CBalancer Make(std::vector<ServerMapping> servers, WeightPolicy policy = Linear(),
                 LbState silent = LbState::kDrain, std::string endpoint = "") {
    return CBalancer(servers, policy, silent, {endpoint.empty() ? haproxy_.Socket() : endpoint},
                     false, [this](const LbEvent& e) { events_.push_back(e); });
  }

  std::vector<LbEvent> Take(LbEvent::Kind kind) {
    std::vector<LbEvent> out;
    for (const LbEvent& e : events_) {
      if (e.kind == kind) out.push_back(e);
    }
    events_.clear();
    return out;
  }

  HaproxyProcess haproxy_{{{"a", 100}, {"b", 50}, {"c", 10}}};
  std::vector<LbEvent> events_;
};

TEST_F(BalancerTest, WeightsFollowLoadThroughSmoothingAndStep) {
  WeightPolicy policy = Linear();
  policy.smoothing = 0.5;
  policy.step = 5;
  CBalancer b = Make({Map(kAgentA, "web", "a"), Map(kAgentB, "web", "b")}, policy);
  b.Start(0, 0);
  b.OnReport(kAgentA, true, 0, true);
  b.OnReport(kAgentB, true, 50, true);
  b.Tick(0);
  EXPECT_EQ(haproxy_.Weight("a"), 100) << "idle: the initial weight";
  EXPECT_EQ(haproxy_.Weight("b"), 26) << "half busy: half-way from 50 down to 1";
  EXPECT_EQ(haproxy_.State("a"), "ready");
  std::vector<LbEvent> w = Take(LbEvent::Kind::kWeight);
  ASSERT_EQ(w.size(), 2u);
  EXPECT_EQ(w[1].server, "web/b");
  EXPECT_EQ(w[1].old_value, "50");
  EXPECT_EQ(w[1].new_value, "26");
  EXPECT_EQ(w[1].load, 50);
  EXPECT_EQ(w[1].reason, "load");

  // Full load arrives through the average: 50, then 75.
  b.OnReport(kAgentA, true, 100, false);
  b.Tick(0);
  EXPECT_EQ(haproxy_.Weight("a"), 51);
  b.OnReport(kAgentA, true, 100, false);
  b.Tick(0);
  EXPECT_EQ(haproxy_.Weight("a"), 26);
  // A sample that moves the weight by less than the step is not written.
  b.OnReport(kAgentA, true, 70, false);  // average 72.5: weight 28
  b.Tick(0);
  EXPECT_EQ(haproxy_.Weight("a"), 26);
  EXPECT_EQ(Take(LbEvent::Kind::kWeight).size(), 2u) << "51 and 26; the small move was not written";

  // Idle again: up in steps, and the last small move to the maximum is written.
  std::vector<int> seen;
  for (int i = 0; i < 12; ++i) {
    b.OnReport(kAgentA, true, 0, false);
    b.Tick(0);
    seen.push_back(haproxy_.Weight("a"));
  }
  EXPECT_EQ(seen.back(), 100);
  for (size_t i = 1; i < seen.size(); ++i) {
    int d = seen[i] - seen[i - 1];
    EXPECT_TRUE(d == 0 || d >= 5 || seen[i] == 100) << "step " << i << ": " << d;
  }
  // An operator's change of b is left alone while b's load does not move.
  ASSERT_EQ(haproxy_.Ask("set server web/b weight 7"), "");
  b.OnReport(kAgentB, true, 50, false);
  b.Tick(0);
  EXPECT_EQ(haproxy_.Weight("b"), 7);
}

// The default law moves a backend's weights together, once a period, each
// against the others' loads: equal loads move nothing, however high.
TEST_F(BalancerTest, EvenLawComparesTheServersOfABackendOnceAPeriod) {
  WeightPolicy policy;
  policy.period_ms = 1000;
  CBalancer b = Make({Map(kAgentA, "web", "a"), Map(kAgentB, "web", "b")}, policy);
  b.Start(0, 0);
  b.OnReport(kAgentA, true, 90, true);
  b.OnReport(kAgentB, true, 90, true);
  b.Tick(0);
  b.Tick(1);
  EXPECT_EQ(haproxy_.Weight("a"), 100) << "equally busy: left as they are";
  EXPECT_EQ(haproxy_.Weight("b"), 50);
  std::vector<int> a_seen;
  for (int64_t t = 1000; t <= 5000; t += 500) {
    b.OnReport(kAgentA, true, 90, false);
    b.OnReport(kAgentB, true, 30, false);
    b.Tick(t);
    a_seen.push_back(haproxy_.Weight("a"));
  }
  EXPECT_LT(a_seen.back(), 80) << "the busier one falls";
  EXPECT_EQ(haproxy_.Weight("b"), 50) << "the largest share stays at the top";
  EXPECT_EQ(a_seen[1], a_seen[0]) << "a second tick within the period moves nothing";
  for (size_t i = 1; i < a_seen.size(); ++i) EXPECT_LE(a_seen[i], a_seen[i - 1]);
  // A drained server takes no traffic: the other is left alone.
  int a_was = haproxy_.Weight("a");
  b.OnGone(kAgentB, "down");
  for (int64_t t = 6000; t <= 9000; t += 1000) {
    b.OnReport(kAgentA, true, 90, false);
    b.Tick(t);
  }
  EXPECT_EQ(haproxy_.State("b"), "drain");
  EXPECT_EQ(haproxy_.Weight("a"), a_was);
}

// Started again (or taking over as the active one), the coordinator goes on
// from the weights the law left, not from every server's full weight.
TEST_F(BalancerTest, EvenLawStartsFromTheWeightsItFinds) {
  ASSERT_EQ(haproxy_.Ask("set server web/a weight 30"), "");
  WeightPolicy policy;
  policy.period_ms = 1000;
  CBalancer b = Make({Map(kAgentA, "web", "a"), Map(kAgentB, "web", "b")}, policy);
  b.Start(0, 0);
  for (int64_t t = 0; t <= 3000; t += 1000) {
    b.OnReport(kAgentA, true, 60, t == 0);
    b.OnReport(kAgentB, true, 60, t == 0);
    b.Tick(t);
    EXPECT_EQ(haproxy_.Weight("a"), 30) << "equally busy at the weights found, t " << t;
    EXPECT_EQ(haproxy_.Weight("b"), 50);
  }
}

// A TCP socket on loopback, listening when port is given, else connected to
// 127.0.0.1:to; -1 on failure.
int LoopbackSocket(const char* addr, int port, int to = 0) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(static_cast<uint16_t>(to > 0 ? to : port));
  inet_pton(AF_INET, addr, &sa.sin_addr);
  const auto* any = reinterpret_cast<const sockaddr*>(&sa);
  int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
  bool ok = to > 0 ? connect(fd, any, sizeof(sa)) == 0
                   : bind(fd, any, sizeof(sa)) == 0 && listen(fd, 16) == 0;
  if (ok) return fd;
  close(fd);
  return -1;
}

int PortOf(int fd) {
  sockaddr_in sa{};
  socklen_t len = sizeof(sa);
  if (getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len) != 0) return -1;
  return ntohs(sa.sin_port);
}

// In mode tcp the load follows the connections a server holds, not its
// share. Two servers that take connections and never answer, three clients
// through HAProxy: one server holds two, the other one, and each is as busy
// as its connections make it. Their capacities are equal, so the weights
// stay, where by their shares (mode http, the test above) the busier one
// would fall; once a's connections cost it twice as much, a falls.
TEST_F(BalancerTest, EvenLawInModeTcpGoesByTheConnectionsHeld) {
  // Ports of its own: the package's build runs these tests beside others.
  std::vector<int> fds = {LoopbackSocket("127.0.1.1", 0)};
  int port = PortOf(fds[0]);
  fds.push_back(LoopbackSocket("127.0.1.2", port));
  int probe = LoopbackSocket("127.0.0.1", 0);
  int front = PortOf(probe);
  close(probe);
  HaproxyProcess tcp{{{"a", 100}, {"b", 100}}};
  tcp.Mode("tcp");
  tcp.ServerPort(port);
  tcp.Frontend(front);
  ASSERT_GE(fds[0], 0);
  ASSERT_GE(fds[1], 0) << "port " << port << " taken on 127.0.1.2";
  ASSERT_TRUE(tcp.Start()) << "haproxy did not start";
  for (int k = 0; k < 3; ++k) fds.push_back(LoopbackSocket("127.0.0.1", 0, front));
  std::vector<ServerCounts> rows;
  for (int i = 0; i < 200; ++i) {
    rows.clear();
    ParseShowStat(tcp.Ask("show stat web 4 -1"), &rows);
    if (rows.size() == 2 && rows[0].open + rows[1].open == 3) break;
    usleep(10000);
  }
  ASSERT_EQ(rows.size(), 2u);
  ASSERT_EQ(rows[0].open + rows[1].open, 3);
  ASSERT_NE(rows[0].open, rows[1].open);
  WeightPolicy policy;
  policy.period_ms = 1000;
  CBalancer b = Make({Map(kAgentA, "web", "a"), Map(kAgentB, "web", "b")}, policy, LbState::kDrain,
                     tcp.Socket());
  b.Start(0, 0);
  auto run = [&](int64_t from, int64_t to, int a_per_connection) {
    for (int64_t t = from; t <= to; t += 500) {
      b.OnReport(kAgentA, true, static_cast<uint32_t>(a_per_connection * rows[0].open), t == 0);
      b.OnReport(kAgentB, true, static_cast<uint32_t>(20 * rows[1].open), t == 0);
      b.Tick(t);
    }
  };
  run(0, 5000, 20);
  EXPECT_EQ(tcp.Weight("a"), 100);
  EXPECT_EQ(tcp.Weight("b"), 100);
  // Each of a's connections now costs it twice as much: it can take half as many.
  run(5500, 10000, 40);
  EXPECT_LT(tcp.Weight("a"), 80);
  EXPECT_EQ(tcp.Weight("b"), 100);
  for (int fd : fds) {
    if (fd >= 0) close(fd);
  }
}

// What the law sheds a saturated server by: each server's sessions begun and
// open, read by the header's names.
TEST_F(BalancerTest, ShowStatCountsEachServer) {
  std::vector<ServerCounts> rows;
  ASSERT_TRUE(ParseShowStat(haproxy_.Ask("show stat web 4 -1"), &rows));
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(rows[2].backend + "/" + rows[2].server, "web/c");
  EXPECT_TRUE(rows[2].http);
  EXPECT_EQ(rows[2].total, 0);
  EXPECT_FALSE(ParseShowStat(haproxy_.Ask("show stat nosuch 4 -1"), &rows)) << "no such backend";
  // A long-lived HAProxy's totals pass what 32 bits hold.
  rows.clear();
  ASSERT_TRUE(ParseShowStat("# pxname,svname,scur,stot,mode\nweb,a,3,12345678901,tcp\n", &rows));
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].total, 12345678901);
  EXPECT_EQ(rows[0].open, 3);
  EXPECT_FALSE(rows[0].http);
}

TEST_F(BalancerTest, SilenceSetsDrainOrMaintAndAnAliveSetsReady) {
  CBalancer b = Make({Map(kAgentA, "web", "a"), Map(kAgentB, "web", "b")});
  b.Start(0, 3000);
  b.OnReport(kAgentA, true, 0, true);
  b.Tick(0);
  EXPECT_EQ(haproxy_.State("a"), "ready");
  EXPECT_EQ(haproxy_.State("b"), "ready");

  // b never reports: drained when its silence period is over.
  b.Tick(3000);
  EXPECT_EQ(haproxy_.State("b"), "drain");
  b.OnGone(kAgentA, "silent");
  b.Tick(3000);
  EXPECT_EQ(haproxy_.State("a"), "drain");
  std::vector<LbEvent> s = Take(LbEvent::Kind::kState);
  ASSERT_EQ(s.size(), 3u);
  EXPECT_EQ(s[2].server, "web/a");
  EXPECT_EQ(s[2].old_value, "ready");
  EXPECT_EQ(s[2].new_value, "drain");
  EXPECT_EQ(s[2].reason, "silent");

  b.OnReport(kAgentA, false, 0, true);  // an alive
  b.Tick(3000);
  EXPECT_EQ(haproxy_.State("a"), "ready");
  EXPECT_EQ(haproxy_.Weight("a"), 100);

  CBalancer m = Make({Map(kAgentC, "web", "c")}, Linear(), LbState::kMaint);
  m.Start(0, 3000);
  m.OnReport(kAgentC, true, 0, true);
  m.OnGone(kAgentC, "down");
  m.Tick(0);
  EXPECT_EQ(haproxy_.State("c"), "maint");
}

TEST_F(BalancerTest, RestartedHaproxyGetsEveryWeightAndStateBack) {
  CBalancer b = Make({Map(kAgentA, "web", "a"), Map(kAgentB, "web", "b")});
  b.Start(0, 0);
  b.OnReport(kAgentA, true, 80, true);
  b.OnReport(kAgentB, true, 20, true);
  b.OnGone(kAgentB, "silent");
  b.Tick(0);
  int a = haproxy_.Weight("a"), bw = haproxy_.Weight("b");
  EXPECT_EQ(a, 21);
  EXPECT_EQ(bw, 0) << "taken out with weight 0, the coordinators' mark";
  EXPECT_EQ(haproxy_.State("b"), "drain");

  haproxy_.Stop();
  ASSERT_TRUE(haproxy_.Start());
  ASSERT_EQ(haproxy_.Weight("a"), 100) << "a new HAProxy starts from its configuration";
  events_.clear();
  b.Tick(1000);  // show info not due yet: nothing is known to have changed
  EXPECT_EQ(haproxy_.Weight("a"), 100);
  b.Tick(2000);
  EXPECT_EQ(haproxy_.Weight("a"), a);
  EXPECT_EQ(haproxy_.Weight("b"), bw);
  EXPECT_EQ(haproxy_.State("b"), "drain");
  std::vector<LbEvent> w = Take(LbEvent::Kind::kWeight);
  ASSERT_EQ(w.size(), 2u);
  EXPECT_EQ(w[0].reason, "restart");
  EXPECT_EQ(w[0].old_value, "100");
}

TEST_F(BalancerTest, UnknownServerIsReportedOnceAndTheOthersMove) {
  CBalancer b =
      Make({Map(kAgentA, "web", "a"), Map(kAgentB, "web", "nosuch"), Map(kAgentC, "nosuch", "c")});
  b.Start(0, 0);
  for (int load : {0, 100, 100}) {
    for (uint32_t agent : {kAgentA, kAgentB, kAgentC}) b.OnReport(agent, true, load, true);
    b.Tick(0);
  }
  EXPECT_EQ(haproxy_.Weight("a"), 26);
  EXPECT_EQ(haproxy_.Weight("c"), 10) << "same server name, other backend: untouched";
  std::vector<LbEvent> bad = Take(LbEvent::Kind::kServer);
  ASSERT_EQ(bad.size(), 2u);
  EXPECT_EQ(bad[0].server, "web/nosuch");
  EXPECT_EQ(bad[0].message, "No such server.");
  EXPECT_EQ(bad[1].server, "nosuch/c");
  EXPECT_EQ(bad[1].message, "No such backend.");
  std::string weight, state;
  ASSERT_TRUE(b.View(kAgentB, &weight, &state));
  EXPECT_EQ(state, "no-server");
}

TEST_F(BalancerTest, LostSocketIsRetriedWithBackoffAndReportedOnce) {
  HaproxyProcess later({{"a", 100}});
  CBalancer b = Make({Map(kAgentA, "web", "a")}, Linear(), LbState::kDrain, later.Socket());
  b.Start(0, 0);
  b.OnReport(kAgentA, true, 100, true);
  int64_t now = 0;
  std::vector<int64_t> waits;
  for (int i = 0; i < 6; ++i) {
    b.Tick(now);
    int64_t next = b.NextDue(now);
    waits.push_back(next - now);
    now = next;
  }
  EXPECT_EQ(waits, (std::vector<int64_t>{500, 1000, 2000, 4000, 8000, 8000}));
  std::vector<LbEvent> link = Take(LbEvent::Kind::kLink);
  ASSERT_EQ(link.size(), 1u);
  EXPECT_EQ(link[0].reason, "lost");
  EXPECT_NE(link[0].message.find("No such file or directory"), std::string::npos);

  ASSERT_TRUE(later.Start());
  b.Tick(now);
  EXPECT_EQ(later.Weight("a"), 1);
  link = Take(LbEvent::Kind::kLink);
  ASSERT_EQ(link.size(), 1u);
  EXPECT_EQ(link[0].reason, "connected");
}

// Half a backend silent is drained; past that the valve holds the rest in
// service, says so once, lets a down message through, and hands a freed
// place to the server it held longest.
TEST_F(BalancerTest, ValveHoldsPastTheShareAndReleasesAsAgentsAreHeard) {
  HaproxyProcess four({{"a", 100}, {"b", 100}, {"c", 100}, {"d", 100}});
  ASSERT_TRUE(four.Start());
  const uint32_t agents[] = {kAgentA, kAgentB, kAgentC, 0x0A000004};
  CBalancer b = Make({Map(agents[0], "web", "a"), Map(agents[1], "web", "b"),
                      Map(agents[2], "web", "c"), Map(agents[3], "web", "d")},
                     {}, LbState::kDrain, four.Socket());
  b.SetMaxDrain(50);
  b.Start(0, 0);
  for (uint32_t a : agents) b.OnReport(a, true, 0, true);
  b.Tick(0);
  for (int i = 0; i < 3; ++i) b.OnGone(agents[i], "silent");
  b.Tick(0);
  EXPECT_EQ(four.State("a"), "drain");
  EXPECT_EQ(four.State("b"), "drain");
  EXPECT_EQ(four.State("c"), "ready") << "held: 2 of 4 are drained already";
  std::string weight, state;
  ASSERT_TRUE(b.View(agents[2], &weight, &state));
  EXPECT_EQ(state, "ready (held)");
  std::vector<LbEvent> valve = Take(LbEvent::Kind::kValve);
  ASSERT_EQ(valve.size(), 1u);
  EXPECT_EQ(valve[0].reason, "holding");
  EXPECT_EQ(valve[0].server, "web");
  ASSERT_EQ(b.Valves().size(), 1u);
  EXPECT_EQ(b.Valves()[0].drained, 2u);
  EXPECT_EQ(b.Valves()[0].held, 1u);

  b.OnGone(agents[3], "down");
  b.Tick(0);
  EXPECT_EQ(four.State("d"), "drain") << "an agent that says it stops is believed";

  b.OnReport(agents[0], false, 0, true);  // a is back: its place goes to c
  b.Tick(0);
  EXPECT_EQ(four.State("a"), "ready");
  EXPECT_EQ(four.State("c"), "drain");
  valve = Take(LbEvent::Kind::kValve);
  ASSERT_EQ(valve.size(), 1u);
  EXPECT_EQ(valve[0].reason, "released");
  for (uint32_t a : {agents[1], agents[2]}) b.OnReport(a, false, 0, true);
  b.Tick(0);
  EXPECT_EQ(four.State("b"), "ready");
  EXPECT_EQ(four.State("c"), "ready");
  EXPECT_EQ(b.Valves()[0].drained, 0u);
  EXPECT_EQ(b.Valves()[0].held, 0u);
}

// A re-read map keeps who is held and drained; a backend that grows has room
// for the server it held, and servers new to the map are found by agent.
TEST(BalancerRemap, ValveCarriesOverAndMakesRoomAsTheBackendGrows) {
  std::vector<LbEvent> events;
  CBalancer b({Map(kAgentA, "web", "a"), Map(kAgentB, "web", "b")}, {}, LbState::kDrain, {}, true,
              [&events](const LbEvent& e) { events.push_back(e); });
  b.SetMaxDrain(50);
  b.Start(0, 0);
  for (uint32_t a : {kAgentA, kAgentB}) b.OnReport(a, true, 0, true);
  b.Tick(0);
  b.OnGone(kAgentA, "silent");
  b.OnGone(kAgentB, "silent");
  ASSERT_EQ(b.Valves()[0].held, 1u);

  b.Remap({Map(kAgentA, "web", "a"), Map(kAgentB, "web", "b"), Map(kAgentC, "web", "c"),
           Map(0x0A000004, "web", "d")});
  b.Tick(0);
  ASSERT_EQ(b.Valves().size(), 1u);
  EXPECT_EQ(b.Valves()[0].mapped, 4u);
  EXPECT_EQ(b.Valves()[0].drained, 2u) << "b takes the room the two new servers make";
  EXPECT_EQ(b.Valves()[0].held, 0u);
  std::string weight, state;
  ASSERT_TRUE(b.View(kAgentB, &weight, &state));
  EXPECT_EQ(state, "drain");
  EXPECT_TRUE(b.Maps(kAgentC));
  ASSERT_TRUE(b.View(kAgentC, &weight, &state));
  size_t released = 0;
  for (const LbEvent& e : events) released += e.reason == "released" ? 1 : 0;
  EXPECT_EQ(released, 1u);

  b.Remap({Map(kAgentB, "web", "b"), Map(kAgentC, "web", "c")});
  EXPECT_EQ(b.Valves()[0].drained, 1u) << "a left the map drained";
  EXPECT_FALSE(b.Maps(kAgentA));
}

// A whole backend changing at once goes out in several connections, each line
// within the limit, a few per tick, and every answer lands on its own server.
TEST(BalancerBatches, ManyLongNamesInOneTick) {
  std::vector<std::pair<std::string, int>> servers;
  std::vector<ServerMapping> maps;
  for (int i = 0; i < 600; ++i) {
    std::string name = "s" + std::to_string(i) + "-" + std::string(100, 'x');
    servers.emplace_back(name, 100);
    maps.push_back(Map(0x0A020000 + static_cast<uint32_t>(i), "web", name));
  }
  maps.push_back(Map(0x0A030000, "web", "nosuch"));  // one refusal among them
  HaproxyProcess many(servers);
  ASSERT_TRUE(many.Start());
  std::vector<LbEvent> events;
  WeightPolicy policy = Linear();
  policy.smoothing = 1;
  CBalancer b(maps, policy, LbState::kDrain, {many.Socket()}, false,
              [&events](const LbEvent& e) { events.push_back(e); });
  b.Start(0, 0);
  for (size_t i = 0; i < maps.size(); ++i) {
    b.OnReport(maps[i].agent, true, static_cast<uint32_t>(i % 100), true);
  }
  b.Tick(0);
  EXPECT_TRUE(b.Backlog()) << "more than one tick's share";
  for (int i = 0; i < 20 && b.Backlog(); ++i) b.Tick(0);
  size_t weights = 0, refused = 0;
  for (const LbEvent& e : events) {
    weights += e.kind == LbEvent::Kind::kWeight && e.message.empty() ? 1 : 0;
    refused += e.kind == LbEvent::Kind::kServer ? 1 : 0;
  }
  EXPECT_EQ(refused, 1u);
  EXPECT_EQ(weights, 600u);
  for (int i : {1, 299, 599}) {
    EXPECT_EQ(many.Weight(servers[static_cast<size_t>(i)].first), WeightForLoad(i % 100, 1, 100))
        << i;
  }

  std::vector<std::string> commands;
  for (const auto& [name, w] : servers) commands.push_back("set server web/" + name + " weight 1");
  size_t lines = 0;
  for (size_t from = 0, to = 0; from < commands.size(); from = to, ++lines) {
    to = BatchEnd(commands, from);
    size_t bytes = 0;
    for (size_t i = from; i < to; ++i) bytes += commands[i].size() + 1;
    EXPECT_LE(bytes, kMaxCommandLine);
    if (to < commands.size()) {
      EXPECT_GT(bytes + commands[to].size() + 1, kMaxCommandLine) << "a batch takes all that fits";
    }
  }
  EXPECT_GT(lines, 1u);
  EXPECT_EQ(BatchEnd({std::string(kMaxCommandLine * 2, 'x')}, 0), 1u) << "never an empty batch";
}

TEST_F(BalancerTest, EachEndpointIsWrittenOnItsOwnAndNamedInItsFailures) {
  HaproxyProcess other({{"a", 100}});  // has no server b
  ASSERT_TRUE(other.Start());
  testsupport::TempDir dir;
  const std::string gone = dir.file("none.sock");
  WeightPolicy whole = Linear();
  whole.smoothing = 1;
  CBalancer b({Map(kAgentA, "web", "a"), Map(kAgentB, "web", "b")}, whole, LbState::kDrain,
              {haproxy_.Socket(), other.Socket(), gone}, false,
              [this](const LbEvent& e) { events_.push_back(e); });
  b.Start(0, 0);
  b.OnReport(kAgentA, true, 100, true);
  b.OnReport(kAgentB, true, 0, true);
  b.Tick(0);
  EXPECT_EQ(haproxy_.Weight("a"), 1);
  EXPECT_EQ(other.Weight("a"), 1) << "the same weight on every instance";
  EXPECT_EQ(haproxy_.Weight("b"), 50);
  std::vector<LbEvent> events = events_;
  std::vector<LbEvent> bad = Take(LbEvent::Kind::kServer);
  ASSERT_EQ(bad.size(), 1u);
  EXPECT_EQ(bad[0].server, "web/b");
  EXPECT_EQ(bad[0].endpoint, other.Socket());
  events_ = events;
  std::vector<LbEvent> lost = Take(LbEvent::Kind::kLink);
  ASSERT_EQ(lost.size(), 3u) << "two connected, one lost";
  EXPECT_EQ(lost[2].reason, "lost");
  EXPECT_EQ(lost[2].endpoint, gone);

  // The failing instance waits for its retry; the others follow the load.
  b.OnReport(kAgentA, true, 0, false);
  b.Tick(100);
  EXPECT_EQ(haproxy_.Weight("a"), 100);
  EXPECT_EQ(other.Weight("a"), 100);
  const std::vector<HaproxyEndpoint>& eps = b.Endpoints();
  EXPECT_TRUE(eps[0].linked);
  EXPECT_FALSE(eps[2].linked);
  EXPECT_EQ(eps[2].errors, 1u) << "not retried before its backoff";
  EXPECT_EQ(eps[1].errors, 1u) << "the unknown server";
  CoordinatorStatus snapshot;
  b.Fill(&snapshot.servers, &snapshot.endpoints);
  std::vector<std::string> status = HaproxyLines(snapshot);
  ASSERT_EQ(status.size(), 3u);
  EXPECT_NE(status[1].find("1 server(s) unknown"), std::string::npos) << status[1];
  EXPECT_NE(status[2].find(gone + ": connect: No such file"), std::string::npos) << status[2];
}

TEST_F(BalancerTest, StartingAgainForgetsWhatAnotherWriterLeft) {
  CBalancer b = Make({Map(kAgentA, "web", "a"), Map(kAgentB, "web", "b")});
  b.Start(0, 3000);
  b.OnReport(kAgentA, true, 60, true);
  b.Tick(0);
  EXPECT_EQ(haproxy_.Weight("a"), 41);
  // Another coordinator drained a while this one stood by (with weight 0,
  // as coordinators do); b's agent was last heard long ago.
  ASSERT_EQ(haproxy_.Ask("set server web/a weight 0"), "");
  ASSERT_EQ(haproxy_.Ask("set server web/a state drain"), "");
  b.Start(60000, 3000);
  b.OnReport(kAgentA, true, 0, false);  // its row never went silent here
  b.Tick(60000);
  EXPECT_EQ(haproxy_.State("a"), "ready") << "the first report after a start makes it ready";
  EXPECT_EQ(haproxy_.Weight("a"), 100) << "from the new load alone";
  b.Tick(62999);
  EXPECT_EQ(haproxy_.State("b"), "ready") << "a full silence period from the new start";
  b.Tick(63000);
  EXPECT_EQ(haproxy_.State("b"), "drain");
}

// What is not ours to write is held: an operator's maint (weight and state
// kept through silence, a return and a new start), "disabled" in the
// configuration, the map's hold mark. Our own drain carries weight 0 and is
// known as ours after a new start; a server the operator sets ready again is
// balanced again.
TEST_F(BalancerTest, OperatorStatesAreHeldAndOurOwnAreKnownAfterAStart) {
  HaproxyProcess h({{"a", 100}, {"b", 100}, {"c", 100}});
  h.Disable("c");
  ASSERT_TRUE(h.Start());
  ASSERT_EQ(h.Ask("set server web/a state maint"), "");
  ASSERT_EQ(h.Ask("set server web/a weight 7"), "");
  WeightPolicy whole = Linear();
  whole.smoothing = 1;
  std::vector<ServerMapping> map = {Map(kAgentA, "web", "a"), Map(kAgentB, "web", "b"),
                                    Map(kAgentC, "web", "c")};
  CBalancer b(map, whole, LbState::kDrain, {h.Socket()}, false,
              [this](const LbEvent& e) { events_.push_back(e); });
  int64_t now = 0;
  for (int start = 0; start < 2; ++start, now += 60000) {
    b.Start(now, 3000);
    for (uint32_t agent : {kAgentA, kAgentB, kAgentC}) b.OnReport(agent, true, 50, true);
    b.Tick(now);
    EXPECT_EQ(h.State("a"), "maint") << start;
    EXPECT_EQ(h.Weight("a"), 7) << start;
    EXPECT_EQ(h.State("c"), "maint") << start;
    EXPECT_EQ(h.Weight("b"), 51) << start;
    std::vector<LbEvent> holds = Take(LbEvent::Kind::kHold);
    ASSERT_EQ(holds.size(), 2u) << start;
    EXPECT_EQ(holds[0].server, "web/a");
    EXPECT_EQ(holds[0].reason, "holding");
    EXPECT_EQ(holds[0].message, "operator");
    EXPECT_EQ(holds[1].message, "config");
    // Its agent falls silent (the server reboots) and comes back.
    b.OnGone(kAgentA, "silent");
    b.Tick(now + 100);
    b.OnReport(kAgentA, true, 0, true);
    b.Tick(now + 200);
    EXPECT_EQ(h.State("a"), "maint") << start;
    EXPECT_EQ(h.Weight("a"), 7) << start;
  }
  std::string weight, state;
  ASSERT_TRUE(b.View(kAgentA, &weight, &state));
  EXPECT_EQ(state, "maint (held: operator)");
  EXPECT_EQ(weight, "7");

  // Our drain, then a new start: it is ours, and the next report undoes it.
  b.SetMaxDrain(100);
  b.OnGone(kAgentB, "silent");
  b.Tick(now);
  EXPECT_EQ(h.State("b"), "drain");
  EXPECT_EQ(h.Weight("b"), 0);
  b.Start(now, 3000);
  for (uint32_t agent : {kAgentA, kAgentB, kAgentC}) b.OnReport(agent, true, 0, true);
  b.Tick(now);
  EXPECT_EQ(h.State("b"), "ready");
  EXPECT_EQ(h.Weight("b"), 100);
  // An operator's drain is held within one reading period.
  ASSERT_EQ(h.Ask("set server web/b state drain"), "");
  b.OnReport(kAgentB, true, 100, false);
  b.Tick(now + 2000);
  EXPECT_EQ(h.Weight("b"), 100);
  EXPECT_EQ(h.State("b"), "drain");

  // The operator is done with a: it gets the weight of its load again.
  events_.clear();
  ASSERT_EQ(h.Ask("set server web/a state ready"), "");
  b.Tick(now + 4000);
  EXPECT_EQ(h.Weight("a"), 100);
  std::vector<LbEvent> holds = Take(LbEvent::Kind::kHold);
  ASSERT_EQ(holds.size(), 1u);
  EXPECT_EQ(holds[0].reason, "released");

  // The map's mark: nothing is written, whatever the load, until it goes.
  map[0].hold = true;
  b.Remap(map);
  b.OnReport(kAgentA, true, 100, false);
  b.Tick(now + 4100);
  EXPECT_EQ(h.Weight("a"), 100);
  ASSERT_TRUE(b.View(kAgentA, &weight, &state));
  EXPECT_EQ(state, "ready (held: map)");
  map[0].hold = false;
  b.Remap(map);
  b.Tick(now + 4200);
  EXPECT_EQ(h.Weight("a"), 1);
  holds = Take(LbEvent::Kind::kHold);
  ASSERT_EQ(holds.size(), 2u);
  EXPECT_EQ(holds[0].message, "map");
  EXPECT_EQ(holds[1].reason, "released");
}

// An instance that takes connections and never answers costs its timeout
// (2 s) each try, after the reachable ones have been written.
TEST_F(BalancerTest, HangingInstanceIsTriedAfterTheReachableOnes) {
  testsupport::TempDir dir;
  const std::string hung = dir.file("hung.sock");
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un su{};
  su.sun_family = AF_UNIX;
  std::snprintf(su.sun_path, sizeof(su.sun_path), "%s", hung.c_str());
  ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&su), sizeof(su)), 0);
  ASSERT_EQ(listen(fd, 8), 0);
  WeightPolicy whole = Linear();
  whole.smoothing = 1;
  std::vector<std::chrono::steady_clock::time_point> written;
  CBalancer b({Map(kAgentA, "web", "a")}, whole, LbState::kDrain, {hung, haproxy_.Socket()}, false,
              [&written](const LbEvent& e) {
                if (e.kind == LbEvent::Kind::kWeight)
                  written.push_back(std::chrono::steady_clock::now());
              });
  b.Start(0, 0);
  b.OnReport(kAgentA, true, 100, true);
  b.Tick(0);  // neither reached yet: the hanging one, then the other
  EXPECT_EQ(haproxy_.Weight("a"), 1);
  EXPECT_FALSE(b.Endpoints()[0].linked);
  EXPECT_EQ(b.Endpoints()[0].last_error, "no complete answer in time");

  b.OnReport(kAgentA, true, 0, false);
  auto began = std::chrono::steady_clock::now();
  b.Tick(500);  // the retry is due: the reachable one goes first
  ASSERT_EQ(written.size(), 2u);
  EXPECT_LT(written[1] - began, std::chrono::milliseconds(1000));
  EXPECT_EQ(haproxy_.Weight("a"), 100);
  EXPECT_EQ(b.Endpoints()[0].errors, 2u) << "the hanging one was tried again";
  close(fd);
}

}  // namespace
}  // namespace coord
