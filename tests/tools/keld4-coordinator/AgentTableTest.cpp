// SPDX-License-Identifier: Apache-2.0
// Per-agent rows and their states, driven by a fake clock.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <nlohmann/json.hpp>
#include <vector>

#include "tools/keld4-coordinator/AgentTable.h"
#include "tools/keld4-coordinator/Report.h"

namespace coord {
namespace {

constexpr uint32_t kAgent = 0x0A000005;  // 10.0.0.5
constexpr uint32_t kFrom = 0x0A000063;   // 10.0.0.99

Decoded Alive(uint32_t src, const char* mac = "00-11-22-33-44-55") {
  Decoded d;
  d.kind = Kind::kAlive;
  d.has_header = true;
  d.src = src;
  d.ostype = 4;
  std::snprintf(d.mac, sizeof(d.mac), "%s", mac);
  d.mhz = 2400;
  return d;
}

Decoded Load(uint32_t src, uint32_t load) {
  Decoded d;
  d.kind = Kind::kCpuLoad;
  d.has_header = true;
  d.src = src;
  d.load = load;
  return d;
}

Decoded Down(uint32_t src) {
  Decoded d;
  d.kind = Kind::kDown;
  d.has_header = true;
  d.src = src;
  return d;
}

Decoded Malformed(bool has_header, uint32_t src) {
  Decoded d;
  d.kind = Kind::kMalformed;
  d.has_header = has_header;
  d.src = src;
  d.reason = "length";
  return d;
}

class AgentTableTest : public ::testing::Test {
 protected:
  // Books d at time t; returns whether the row came up.
  bool At(CAgentTable& table, const Decoded& d, int64_t t) {
    bool up = false;
    last_ = table.Record(d, kFrom, 45002, t, &up);
    return up;
  }
  const AgentRow* last_ = nullptr;
};

TEST_F(AgentTableTest, UpSilentUpDownWithAlivePeriod) {
  CAgentTable table(5, 2);  // silent after 15 s without an alive
  EXPECT_EQ(table.SilenceMs(), 15000);
  EXPECT_TRUE(At(table, Alive(kAgent), 1000));
  ASSERT_NE(last_, nullptr);
  EXPECT_EQ(last_->state, AgentState::kUp);
  EXPECT_EQ(table.NextSilenceDue(), 16000);

  // CPU loads do not stand in for alives while alives are expected.
  EXPECT_FALSE(At(table, Load(kAgent, 40), 10000));
  EXPECT_TRUE(table.CheckSilence(15999).empty());
  std::vector<size_t> changed = table.CheckSilence(16000);
  ASSERT_EQ(changed.size(), 1u);
  EXPECT_EQ(table.Rows()[changed[0]].state, AgentState::kSilent);
  EXPECT_TRUE(table.CheckSilence(30000).empty()) << "a silent row is reported once";
  EXPECT_EQ(table.NextSilenceDue(), -1);

  EXPECT_FALSE(At(table, Load(kAgent, 41), 31000));
  EXPECT_EQ(last_->state, AgentState::kSilent);
  EXPECT_TRUE(At(table, Alive(kAgent), 32000));
  EXPECT_EQ(last_->state, AgentState::kUp);
  EXPECT_EQ(table.NextSilenceDue(), 47000);

  EXPECT_FALSE(At(table, Down(kAgent), 33000));
  EXPECT_EQ(last_->state, AgentState::kDown);
  EXPECT_TRUE(table.CheckSilence(100000).empty()) << "a down agent does not go silent";

  // A restarted agent comes up again with its next alive.
  EXPECT_TRUE(At(table, Alive(kAgent), 200000));
  const AgentRow& r = table.Rows()[0];
  EXPECT_EQ(r.state, AgentState::kUp);
  EXPECT_EQ(r.messages, 6u);
  EXPECT_EQ(r.malformed, 0u);
  EXPECT_EQ(r.load, 41u);
  EXPECT_EQ(r.last_load_ms, 31000);
  EXPECT_EQ(r.last_alive_ms, 200000);
  EXPECT_STREQ(r.mac, "00-11-22-33-44-55");
  EXPECT_EQ(table.Rows().size(), 1u);
}

TEST_F(AgentTableTest, WithoutAlivesAnyMessageKeepsAnAgentUp) {
  CAgentTable table(0, 2);  // silent after 6 s without any message
  EXPECT_EQ(table.SilenceMs(), 6000);
  EXPECT_TRUE(At(table, Load(kAgent, 10), 0));
  EXPECT_FALSE(At(table, Load(kAgent, 11), 5000));
  EXPECT_TRUE(table.CheckSilence(10999).empty());
  EXPECT_EQ(table.CheckSilence(11000).size(), 1u);
  EXPECT_TRUE(At(table, Load(kAgent, 12), 12000));
  EXPECT_EQ(table.Rows()[0].state, AgentState::kUp);
  EXPECT_FALSE(table.Rows()[0].has_alive);
}

TEST_F(AgentTableTest, NeverSilentWhenBothPeriodsAreZero) {
  CAgentTable table(0, 0);
  EXPECT_EQ(table.SilenceMs(), 0);
  At(table, Alive(kAgent), 0);
  EXPECT_EQ(table.NextSilenceDue(), -1);
  EXPECT_TRUE(table.CheckSilence(int64_t{1} << 40).empty());
  EXPECT_EQ(table.Rows()[0].state, AgentState::kUp);
}

TEST_F(AgentTableTest, FirstContactByCpuLoadCountsAsUp) {
  CAgentTable table(5, 2);
  EXPECT_TRUE(At(table, Load(kAgent, 7), 100));
  EXPECT_EQ(table.NextSilenceDue(), 15100);
}

TEST_F(AgentTableTest, MalformedAreCountedPerSender) {
  CAgentTable table(5, 2);
  // Garbage makes no row, whatever its header bytes name.
  At(table, Malformed(true, kAgent), 0);
  EXPECT_EQ(last_, nullptr);
  EXPECT_TRUE(table.Rows().empty());
  // An agent with a row: booked to the address the header names.
  At(table, Load(kAgent, 1), 0);
  At(table, Malformed(true, kAgent), 0);
  ASSERT_NE(last_, nullptr);
  EXPECT_EQ(last_->addr, kAgent);
  // Too short for a header: booked to the UDP source.
  At(table, Load(kFrom, 1), 0);
  At(table, Malformed(false, 0x01020304), 0);
  ASSERT_NE(last_, nullptr);
  EXPECT_EQ(last_->addr, kFrom);
  At(table, Malformed(false, 0), 1);
  EXPECT_EQ(table.Find(kFrom)->malformed, 2u);
  EXPECT_EQ(table.Find(kFrom)->messages, 1u);
  EXPECT_EQ(table.Find(0x01020304), nullptr);
  EXPECT_EQ(table.Untracked(), 0u) << "garbage is counted malformed, not untracked";

  EXPECT_FALSE(At(table, Alive(kAgent), 2));
  EXPECT_EQ(table.Find(kAgent)->malformed, 1u);
  EXPECT_EQ(table.Find(kAgent)->messages, 2u);

  Decoded echo;
  echo.kind = Kind::kEcho;
  echo.has_header = true;
  echo.src = 0x0A000001;
  At(table, echo, 3);
  EXPECT_EQ(last_, nullptr);
  EXPECT_EQ(table.Find(0x0A000001), nullptr);
}

// A flood cannot lock the table: garbage makes no row, a mapped agent's row
// is reserved whatever else comes, a newcomer takes the row of the unmapped
// agent heard longest ago, and only with every row reserved is a report
// left untracked.
TEST_F(AgentTableTest, FloodsNeitherCrowdOutMappedAgentsNorLockTheTable) {
  CAgentTable table(5, 2, 3);
  table.Expect(kAgent);
  At(table, Alive(1), 0);
  At(table, Alive(2), 1);
  At(table, Load(1, 5), 2);  // 1 heard again: 2 is the one heard longest ago
  EXPECT_TRUE(table.Full());
  At(table, Malformed(true, 9), 3);
  EXPECT_EQ(last_, nullptr);
  EXPECT_TRUE(At(table, Alive(3), 4));
  EXPECT_EQ(table.Find(2), nullptr);
  EXPECT_EQ(table.Find(1)->load, 5u);
  EXPECT_EQ(table.Find(3)->messages, 1u) << "a fresh row, nothing of 2's";
  EXPECT_EQ(table.Recycled(), 1u);
  for (uint32_t a = 100; a < 200; ++a) At(table, Alive(a), 5);
  EXPECT_EQ(table.Rows().size(), 3u);
  EXPECT_NE(table.Find(199), nullptr);
  EXPECT_TRUE(At(table, Alive(kAgent), 6)) << "the reserved row survived the flood";

  // Mapped later (a re-read map) on a full table: a row at once, until every
  // row is reserved; beyond the cap a mapped agent still gets one.
  table.Expect(7);
  table.Expect(8);
  ASSERT_NE(table.Find(7), nullptr);
  EXPECT_EQ(table.Find(7)->state, AgentState::kUnknown);
  EXPECT_EQ(table.Reserved(), 3u);
  At(table, Alive(300), 7);
  EXPECT_EQ(last_, nullptr);
  EXPECT_EQ(table.Untracked(), 1u);
  table.Expect(10);
  EXPECT_EQ(table.Rows().size(), 4u);
  // Unmapped again: its row goes to the next newcomer.
  table.Release(8);
  EXPECT_TRUE(At(table, Alive(301), 8));
  EXPECT_EQ(table.Find(8), nullptr);
  EXPECT_EQ(table.Untracked(), 1u);
}

// A whole fleet at the default cap: every row found by its address, the
// next sender given the row of the one heard first, and silence found for
// exactly the rows that are due, whatever order they were heard in.
TEST_F(AgentTableTest, FullFleetAtTheDefaultCap) {
  CAgentTable table(1, 1);  // silent after 3 s
  const uint32_t base = 0x0A010000;
  for (uint32_t i = 0; i < kMaxAgents; ++i) At(table, Alive(base + i), (i * 7919) % 1000);
  EXPECT_TRUE(At(table, Alive(base + kMaxAgents), 0));
  EXPECT_EQ(table.Find(base), nullptr);
  EXPECT_EQ(table.Untracked(), 0u);
  ASSERT_EQ(table.Rows().size(), kMaxAgents);
  ASSERT_NE(table.Find(base + kMaxAgents - 1), nullptr);
  EXPECT_EQ(table.Find(base + kMaxAgents - 1)->last_alive_ms, ((kMaxAgents - 1) * 7919) % 1000);
  EXPECT_EQ(table.NextSilenceDue(), 3000);

  // Back at 2000, it takes the row of base + 1 (heard at 919).
  At(table, Alive(base), 2000);
  EXPECT_EQ(table.Find(base + 1), nullptr);
  size_t due = 1;  // base + kMaxAgents, heard at 0
  for (uint32_t i = 1; i < kMaxAgents; ++i) due += (i * 7919) % 1000 < 500 ? 1 : 0;
  std::vector<size_t> silent = table.CheckSilence(3499);
  EXPECT_EQ(silent.size(), due);
  for (size_t row : silent) {
    EXPECT_LE(table.Rows()[row].last_live_ms, 499);
    EXPECT_EQ(table.Rows()[row].state, AgentState::kSilent);
  }
  EXPECT_EQ(table.Find(base)->state, AgentState::kUp);
  EXPECT_EQ(table.NextSilenceDue(), 3500);
  EXPECT_EQ(table.CheckSilence(5000).size(), kMaxAgents - due);
}

// After Grace nobody turns silent for one silence period; rows due in it
// turn silent as it ends, and the others keep their own deadline.
TEST_F(AgentTableTest, GraceDefersSilenceWithoutLosingWhoIsDue) {
  CAgentTable table(1, 1);  // silent after 3 s
  EXPECT_EQ(table.NextSilenceDue(), -1);
  table.Grace(2000);
  EXPECT_EQ(table.NextSilenceDue(), -1) << "nobody up, nothing due";
  At(table, Alive(1), 0);
  At(table, Alive(2), 2600);
  EXPECT_TRUE(table.CheckSilence(4999).empty()) << "agent 1 was due at 3000";
  EXPECT_EQ(table.NextSilenceDue(), 5000);
  std::vector<size_t> silent = table.CheckSilence(5000);
  ASSERT_EQ(silent.size(), 1u);
  EXPECT_EQ(table.Rows()[silent[0]].addr, 1u);
  EXPECT_EQ(table.NextSilenceDue(), 5600);
  EXPECT_TRUE(table.CheckSilence(5599).empty());
  EXPECT_EQ(table.CheckSilence(5600).size(), 1u);
}

// A paused table (a standby) keeps nothing due, however long it hears; the
// Grace that ends the pause counts each row from its own last report.
TEST_F(AgentTableTest, PausedTableJudgesNothingAndGraceCountsFromTheLastReport) {
  CAgentTable table(1, 1);
  table.Pause();
  for (int64_t t = 0; t < 100000; t += 1000) At(table, Alive(1), t);
  At(table, Alive(2), 2000);
  EXPECT_EQ(table.NextSilenceDue(), -1);
  EXPECT_TRUE(table.CheckSilence(200000).empty());
  table.Grace(200000);
  EXPECT_EQ(table.NextSilenceDue(), 203000);
  EXPECT_EQ(table.CheckSilence(203000).size(), 2u) << "neither heard since";
  At(table, Alive(1), 203500);
  EXPECT_EQ(table.NextSilenceDue(), 206500);
}

TEST(AgentReport, RowJsonHasNullsForWhatWasNeverSeen) {
  CAgentTable table(5, 2);
  bool up = false;
  table.Record(Load(kAgent, 33), kFrom, 40000, 1000, &up);
  nlohmann::json j = nlohmann::json::parse(RowJson(table.Rows()[0], 3500));
  EXPECT_EQ(j["agent"], "10.0.0.5");
  EXPECT_EQ(j["from"], "10.0.0.99:40000");
  EXPECT_EQ(j["state"], "up");
  EXPECT_TRUE(j["mac"].is_null());
  EXPECT_TRUE(j["ostype"].is_null());
  EXPECT_TRUE(j["alive_age"].is_null());
  EXPECT_EQ(j["load"], 33);
  EXPECT_DOUBLE_EQ(j["load_age"].get<double>(), 2.5);
  EXPECT_EQ(j["messages"], 1);
  EXPECT_EQ(j["malformed"], 0);
}

TEST(AgentReport, JsonQuotesEscapeWhatWouldBreakALine) {
  CJsonLine line;
  line.Str("text",
           "a\"b\\c\nd\x1b"
           "e\xc3")
      .Seconds("neg", -1500)
      .Seconds("pos", 7);
  const std::string& text = line.Text();
  EXPECT_EQ(text.find('\n'), std::string::npos);
  EXPECT_EQ(text.find('\x1b'), std::string::npos);
  nlohmann::json j = nlohmann::json::parse(text);
  EXPECT_EQ(j["text"],
            "a\"b\\c\nd\x1b"
            "e\xc3\x83");  // the lone byte comes back as U+00C3
  EXPECT_DOUBLE_EQ(j["neg"].get<double>(), -1.5);
  EXPECT_DOUBLE_EQ(j["pos"].get<double>(), 0.007);
}

TEST(AgentReport, StartEventKeepsAnyHaproxyPathOnOneLine) {
  CoordinatorOptions o;
  o.haproxy = {"/run/a\nb.sock", "/run/\"q\"\\c", "127.0.0.1:9999"};
  o.servers = {{kAgent, "web", "app1"}};
  CoordinatorStatus s;
  s.balancing = true;
  CJsonLine line;
  StartMembers(&line, o, s);
  const std::string& text = line.Text();
  EXPECT_EQ(text.find('\n'), std::string::npos) << text;
  nlohmann::json j = nlohmann::json::parse(text);
  EXPECT_EQ(j["haproxy"], nlohmann::json(o.haproxy));
  EXPECT_EQ(j["servers"]["10.0.0.5"], "web/app1");
}

TEST(AgentReport, TableIsCutToTheScreen) {
  CAgentTable table(5, 2);
  bool up = false;
  for (uint32_t a = 1; a <= 5; ++a) table.Record(Alive(0x0A000000 + a), kFrom, 1, 0, &up);
  std::vector<std::string> lines = TableLines(table.Rows(), 2000, 3);
  ASSERT_EQ(lines.size(), 5u);  // heading, three rows, the rest
  EXPECT_NE(lines[1].find("10.0.0.1"), std::string::npos);
  EXPECT_NE(lines[1].find("00-11-22-33-44-55"), std::string::npos);
  EXPECT_NE(lines[1].find(" 2s "), std::string::npos);
  EXPECT_EQ(lines[4], "... and 2 more agents");
  EXPECT_EQ(TableLines(table.Rows(), 0, 0).size(), 6u);
}

}  // namespace
}  // namespace coord
