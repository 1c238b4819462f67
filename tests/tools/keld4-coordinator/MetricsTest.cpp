// SPDX-License-Identifier: Apache-2.0
#include <gtest/gtest.h>

#include <regex>
#include <set>
#include <sstream>

#include "tests/support/TestSupport.h"
#include "tools/keld4-coordinator/Metrics.h"
#include "tools/keld4-coordinator/StatusPage.h"

namespace coord {
namespace {

CoordinatorStatus Sample() {
  CoordinatorStatus s;
  s.version = "1.0";
  AgentStatus up;
  up.addr = 0x0A000005;
  up.state = AgentState::kUp;
  up.load = 37;
  up.last_report_s = 1700000000.5;
  AgentStatus quiet;
  quiet.addr = 0x0A000006;
  quiet.state = AgentState::kSilent;
  s.agents = {up, quiet};
  ServerStatus a;
  a.backend = "web";
  a.server = "a";
  a.agent = up.addr;
  a.weight = 40;
  a.target = 42;
  a.state = LbState::kDrain;
  a.load = 61;
  ServerStatus gone;
  gone.backend = "web";
  gone.server = "gone";
  gone.agent = quiet.addr;
  gone.missing = true;
  s.servers = {a, gone};
  s.backends = BackendsOf(s.servers);
  EndpointStatus e;
  e.kind = "haproxy";
  e.endpoint = "/run/a \"b\".sock";
  e.reachable = true;
  e.commands = 9;
  e.latency.Observe(0.0002);
  e.latency.Observe(0.003);
  e.latency.Observe(7);
  s.endpoints = {e};
  return s;
}

bool Has(const std::string& text, const std::string& line) {
  return text.find("\n" + line + "\n") != std::string::npos;
}

TEST(CoordinatorMetrics, SeriesAndTheirLabelSet) {
  std::string text = MetricsText(Sample());
  for (const char* line : {
           "keld4_agent_cpu_load_ratio{agent=\"10.0.0.5\"} 0.37",
           "keld4_agent_state{agent=\"10.0.0.6\",state=\"silent\"} 1",
           "keld4_agent_state{agent=\"10.0.0.6\",state=\"up\"} 0",
           "keld4_agent_last_report_timestamp_seconds{agent=\"10.0.0.5\"} 1700000000.5",
           "keld4_server_info{backend=\"web\",server=\"gone\",agent=\"10.0.0.6\"} 1",
           "keld4_server_weight{backend=\"web\",server=\"a\"} 40",
           "keld4_server_target_weight{backend=\"web\",server=\"a\"} 42",
           "keld4_server_state{backend=\"web\",server=\"a\",state=\"drain\"} 1",
           "keld4_server_state{backend=\"web\",server=\"a\",state=\"ready\"} 0",
           "keld4_haproxy_up{endpoint=\"/run/a \\\"b\\\".sock\",kind=\"haproxy\"} 1",
           "keld4_haproxy_command_duration_seconds_bucket{endpoint=\"/run/a "
           "\\\"b\\\".sock\",kind=\"haproxy\",le=\"0.0025\"} 1",
           "keld4_haproxy_command_duration_seconds_bucket{endpoint=\"/run/a "
           "\\\"b\\\".sock\",kind=\"haproxy\",le=\"0.005\"} 2",
           "keld4_haproxy_command_duration_seconds_bucket{endpoint=\"/run/a "
           "\\\"b\\\".sock\",kind=\"haproxy\",le=\"1\"} 2",
           "keld4_haproxy_command_duration_seconds_bucket{endpoint=\"/run/a "
           "\\\"b\\\".sock\",kind=\"haproxy\",le=\"+Inf\"} 3",
           "keld4_datagrams_dropped_total{reason=\"kernel\"} 0",
           "keld4_backend_silence_valve_holding{backend=\"web\"} 0",
       }) {
    EXPECT_TRUE(Has(text, line)) << line;
  }
  // No agent has a load, an unknown agent no time, a missing server no weight.
  EXPECT_EQ(text.find("keld4_agent_cpu_load_ratio{agent=\"10.0.0.6\"}"), std::string::npos);
  EXPECT_EQ(text.find("keld4_agent_last_report_timestamp_seconds{agent=\"10.0.0.6\"}"),
            std::string::npos);
  size_t gone = text.find("server=\"gone\"");
  EXPECT_EQ(text.find("server=\"gone\"", gone + 1), std::string::npos);

  // Bounded label names only: nothing per datagram or per message.
  const std::set<std::string> allowed = {"agent",  "state",   "backend", "server", "endpoint",
                                         "reason", "version", "le",      "kind"};
  std::istringstream lines(text);
  std::string line;
  std::regex label(R"(([a-z_]+)=")");
  while (std::getline(lines, line)) {
    if (line.empty() || line[0] == '#') continue;
    ASSERT_EQ(line.rfind("keld4_", 0), 0u) << line;
    std::string labels = line.substr(0, line.find('}'));
    for (std::sregex_iterator it(labels.begin(), labels.end(), label), end; it != end; ++it) {
      EXPECT_TRUE(allowed.count((*it)[1])) << line;
    }
  }
}

// Large families are written in chunks, each family still declared once.
TEST(CoordinatorMetrics, ThousandsOfAgentsMakeOneFamilyEach) {
  CoordinatorStatus s;
  for (uint32_t i = 0; i < 3000; ++i) s.agents.push_back({0x0A000000 + i, AgentState::kUp, 5, 1});
  std::string text = MetricsText(s);
  auto count = [&text](const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
  };
  EXPECT_EQ(count("# TYPE keld4_agent_state gauge\n"), 1u);
  EXPECT_EQ(count("# HELP keld4_agent_state "), 1u);
  EXPECT_EQ(count("\nkeld4_agent_state{"), 12000u);
  EXPECT_EQ(count("\nkeld4_agent_cpu_load_ratio{"), 3000u);
  EXPECT_TRUE(Has(text, "keld4_agent_state{agent=\"10.0.11.183\",state=\"up\"} 1"));
}

// Every keld4_ name the rules and the dashboard use must be served.
TEST(CoordinatorMetrics, RulesAndDashboardUseOnlyServedNames) {
  std::set<std::string> served;
  std::istringstream lines(MetricsText(CoordinatorStatus()));
  std::string line;
  while (std::getline(lines, line)) {
    std::istringstream words(line);
    std::string hash, kind, name, type;
    words >> hash >> kind >> name >> type;
    if (kind != "TYPE") continue;
    served.insert(name);
    if (type == "histogram") {
      for (const char* part : {"_bucket", "_sum", "_count"}) served.insert(name + part);
    }
  }
  ASSERT_GT(served.size(), 20u);
  std::regex name(R"(keld4_[a-z_]+)");
  for (const char* file : {"doc/prometheus/keld4.rules.yml", "doc/prometheus/keld4.rules.test.yml",
                           "doc/grafana/keld4-dashboard.json"}) {
    std::string text = testsupport::ReadFile(std::string(KELD4_SOURCE_DIR) + "/" + file);
    size_t used = 0;
    for (std::sregex_iterator it(text.begin(), text.end(), name), end; it != end; ++it, ++used) {
      EXPECT_TRUE(served.count(it->str())) << file << " uses " << it->str();
    }
    EXPECT_GT(used, 4u) << file;
  }
}

TEST(CoordinatorStatusBoard, KeepsTheLastSamplesOldestFirst) {
  CStatusBoard board(2, 5000, 3);
  for (int64_t i = 0; i < 5; ++i) {
    auto s = std::make_shared<CoordinatorStatus>();
    s->time_s = static_cast<double>(100 + 5 * i);
    s->servers.resize(2);
    s->servers[0].load = static_cast<int>(10 * i);
    s->servers[0].weight = static_cast<int>(i);
    board.Publish(s, 5000 * i);
    // Between samples only the snapshot changes.
    board.Publish(s, 5000 * i + 1000);
  }
  std::vector<CStatusBoard::Point> h = board.History(0);
  ASSERT_EQ(h.size(), 3u);
  EXPECT_EQ((std::vector<int>{h[0].load, h[1].load, h[2].load}), (std::vector<int>{20, 30, 40}));
  EXPECT_EQ(h[0].weight, 2);
  EXPECT_DOUBLE_EQ(h[0].age_s, 10);
  EXPECT_EQ(board.History(1)[2].load, -1);
  EXPECT_TRUE(board.History(2).empty());
}

TEST(CoordinatorStatusPage, TenThousandServersArePagedByBackendUnderAMegabyte) {
  constexpr size_t kServers = 10000;
  CStatusBoard board(kServers);
  auto s = std::make_shared<CoordinatorStatus>();
  for (size_t i = 0; i < kServers; ++i) {
    ServerStatus v;
    v.backend = i < 20 ? "<small>" : "big";
    v.server = "srv" + std::to_string(i);
    v.agent = 0x0A000000 + static_cast<uint32_t>(i);
    v.weight = 200 + static_cast<int>(i % 50);
    v.target = v.weight;
    v.load = static_cast<int>(i % 100);
    v.state = LbState::kReady;
    s->servers.push_back(v);
    s->agents.push_back({v.agent, AgentState::kUp, v.load, 1.0});
  }
  s->agents.push_back({0x0B000001, AgentState::kSilent, -1, 0});
  s->backends = BackendsOf(s->servers);
  // A full ten minutes of history.
  for (size_t k = 0; k < CStatusBoard::kSamples; ++k) {
    auto copy = std::make_shared<CoordinatorStatus>(*s);
    copy->time_s = 1000 + 5.0 * static_cast<double>(k);
    board.Publish(copy, static_cast<int64_t>(k) * CStatusBoard::kSampleMs);
  }
  auto history = [&board](size_t i) { return board.History(i); };
  auto count = [](const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
  };

  std::string overview = StatusPage(*board.Latest(), history, {});
  EXPECT_EQ(count(overview, "<tr class=\"server\""), 0u) << "a large tier starts collapsed";
  EXPECT_NE(overview.find("&lt;small&gt;</a>"), std::string::npos);
  EXPECT_NE(overview.find("href=\"/?backend=%3Csmall%3E\""), std::string::npos);

  PageQuery q;
  q.backend = "big";
  q.page = 3;
  std::string big = StatusPage(*board.Latest(), history, q);
  EXPECT_LT(big.size(), 1000000u);
  EXPECT_EQ(count(big, "<tr class=\"server\""), kPageRows);
  EXPECT_EQ(count(big, "<polyline class=\"load\""), kPageRows);
  EXPECT_NE(big.find("data-server=\"srv620\""), std::string::npos);  // 20 + 3 * 200
  EXPECT_NE(big.find("page 4 of 50"), std::string::npos);
  q.page = 999;  // past the end: the last page
  EXPECT_NE(StatusPage(*board.Latest(), history, q).find("data-server=\"srv9999\""),
            std::string::npos);

  PageQuery unmapped;
  unmapped.unmapped = true;
  std::string agents = StatusPage(*board.Latest(), history, unmapped);
  EXPECT_EQ(count(agents, "<tr class=\"agent\""), 1u);
  EXPECT_NE(agents.find("11.0.0.1"), std::string::npos);
}

}  // namespace
}  // namespace coord
