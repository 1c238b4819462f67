// SPDX-License-Identifier: Apache-2.0
// The table of kinds, and the goals, the valve and the holds that every
// driver shares, through the dry run: no balancer, no I/O.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tools/keld4-coordinator/Balancer.h"
#include "tools/keld4-coordinator/Driver.h"

namespace coord {
namespace {

ServerMapping Map(uint32_t agent, const std::string& server, bool hold = false) {
  ServerMapping m;
  m.agent = agent;
  m.backend = "web";
  m.server = server;
  m.hold = hold;
  return m;
}

TEST(Driver, TableOfKinds) {
  EXPECT_EQ(DriverKinds(), (std::vector<std::string>{"haproxy", "nftables", "dryrun"}));
  EXPECT_EQ(MakeDriver("ipvs", "/run/x"), nullptr);
  std::unique_ptr<CDriver> dry = MakeDriver("dryrun", "");
  ASSERT_NE(dry, nullptr);
  EXPECT_FALSE(dry->Reads());
  EXPECT_FALSE(dry->Writes());
  std::unique_ptr<CDriver> haproxy = MakeDriver("haproxy", "/run/haproxy.sock");
  ASSERT_NE(haproxy, nullptr);
  EXPECT_STREQ(haproxy->Kind(), "haproxy");
  EXPECT_EQ(haproxy->Endpoint(), "/run/haproxy.sock");
  EXPECT_TRUE(haproxy->Reads() && haproxy->Writes());
}

TEST(Driver, DryRunCarriesGoalsValveAndHoldsWithoutExchanges) {
  std::vector<LbEvent> events;
  std::vector<std::unique_ptr<CDriver>> drivers;
  drivers.push_back(MakeDriver("dryrun", ""));
  CBalancer b({Map(1, "a"), Map(2, "b"), Map(3, "c"), Map(4, "d", true)}, WeightPolicy{},
              LbState::kDrain, std::move(drivers),
              [&events](const LbEvent& e) { events.push_back(e); });
  b.SetMaxDrain(50);
  b.Start(0, 1000);
  b.OnReport(1, true, 0, true);
  b.Tick(10);
  std::vector<std::string> commands;
  for (const LbEvent& e : events) {
    if (e.kind == LbEvent::Kind::kWeight || e.kind == LbEvent::Kind::kState)
      commands.push_back(e.command);
  }
  // The maximum without an initial weight to read.
  EXPECT_EQ(commands, (std::vector<std::string>{"set server web/a weight 100",
                                                "set server web/a state ready"}));
  events.clear();

  // b, c and d unheard past the silence: half of four may be drained, the
  // third is held; when b is heard again, its place goes to the held one.
  b.Tick(1000);
  std::vector<ValveView> valves = b.Valves();
  ASSERT_EQ(valves.size(), 1u);
  EXPECT_EQ(valves[0].drained, 2u);
  EXPECT_EQ(valves[0].held, 1u);
  b.OnReport(2, true, 0, false);
  b.Tick(1010);
  valves = b.Valves();
  EXPECT_EQ(valves[0].drained, 2u);
  EXPECT_EQ(valves[0].held, 0u);
  std::string weight, state;
  ASSERT_TRUE(b.View(3, &weight, &state));
  EXPECT_EQ(weight, "0");
  EXPECT_EQ(state, "drain");
  // d is out for silence, but its mark keeps anything from being written.
  EXPECT_TRUE(b.TakenOut(4));
  ASSERT_TRUE(b.View(4, &weight, &state));
  EXPECT_EQ(weight, "-");
  EXPECT_NE(state.find("held"), std::string::npos) << state;
  EXPECT_EQ(b.Endpoints()[0].commands, 0u) << "a dry run sends nothing";
  std::vector<ServerStatus> servers;
  std::vector<EndpointStatus> endpoints;
  b.Fill(&servers, &endpoints);
  EXPECT_EQ(servers.size(), 4u);
  EXPECT_TRUE(endpoints.empty()) << "no balancer to show";
}

// The nftables dialogue without the kernel: the driver answers the readings
// from what it was told, a name the service file lacks is no such server, and
// a whole tick's changes go out as one write.
TEST(Driver, NftablesDialogueThroughTheDryRun) {
  DriverSpec setup;
  setup.table = "keld4";
  L4Service web;
  web.name = "web";
  web.servers = {{"a", 0x0A000005, 80}, {"b", 0x0A000006, 80}};
  setup.services = {web};
  std::unique_ptr<CDriver> d = MakeDriver("dryrun", setup);
  ASSERT_NE(d, nullptr);
  EXPECT_TRUE(d->Reads());
  EXPECT_FALSE(d->Writes());
  std::vector<std::string> answers;
  std::string err;
  ASSERT_EQ(d->Write({"set weight web/a 7", "set state web/b drain", "set weight web/x 1"},
                     &answers, &err),
            0);
  EXPECT_EQ(answers, (std::vector<std::string>{"", "", "No such server."}));
  EXPECT_EQ(d->BatchEnd(std::vector<std::string>(5000, "set weight web/a 1"), 0), 5000u);
  ASSERT_EQ(d->Read({"get weight web/a", "show servers web", "show servers db"}, &answers, &err),
            0);
  int current = 0, initial = 0;
  ASSERT_TRUE(d->ParseWeight(answers[0], &current, &initial)) << answers[0];
  EXPECT_EQ(current, 7);
  EXPECT_EQ(initial, 100) << "the maximum without --max-weight";
  std::vector<ServerState> rows;
  ASSERT_TRUE(d->ParseStates(answers[1], &rows)) << answers[1];
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[1].server, "b");
  EXPECT_EQ(AdminState(rows[1].admin), LbState::kDrain);
  EXPECT_FALSE(d->ParseStates(answers[2], &rows));

  // Through the balancer: its goals in that dialogue, nothing held.
  std::vector<LbEvent> events;
  std::vector<std::unique_ptr<CDriver>> drivers;
  drivers.push_back(MakeDriver("dryrun", setup));
  ServerMapping a = Map(1, "a");
  CBalancer b({a}, WeightPolicy{}, LbState::kDrain, std::move(drivers),
              [&events](const LbEvent& e) { events.push_back(e); });
  b.Start(0, 1000);
  b.OnReport(1, true, 0, true);
  b.Tick(10);
  std::vector<std::string> commands;
  for (const LbEvent& e : events) {
    EXPECT_NE(e.kind, LbEvent::Kind::kHold) << e.server;
    if (e.kind == LbEvent::Kind::kWeight || e.kind == LbEvent::Kind::kState)
      commands.push_back(e.command);
  }
  EXPECT_EQ(commands, (std::vector<std::string>{"set weight web/a 100", "set state web/a ready"}));
}

}  // namespace
}  // namespace coord
