// SPDX-License-Identifier: Apache-2.0
// Command-line parsing of keld4-coordinator.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/TestSupport.h"
#include "tools/keld4-coordinator/Options.h"
#include "tools/keld4-coordinator/Reload.h"

namespace coord {
namespace {

// Parses args (without the program name); returns the error text, "" on success.
std::string Parse(std::vector<std::string> args, CoordinatorOptions* o) {
  args.insert(args.begin(), "keld4-coordinator");
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  char err[256];
  int rc = ParseArgs(static_cast<int>(argv.size()), argv.data(), o, err, sizeof(err));
  EXPECT_EQ(rc == 0, err[0] == '\0') << err;
  return rc == 0 ? "" : err;
}

TEST(CoordinatorOptions, DefaultsAndSourceAddress) {
  CoordinatorOptions o;
  ASSERT_EQ(Parse({"--agent", "10.0.0.5", "--address", "10.0.0.1"}, &o), "");
  EXPECT_EQ(o.listen, 0u);
  EXPECT_EQ(o.port, 45002);
  EXPECT_EQ(o.SourceAddr(), 0x0A000001u);
  EXPECT_EQ(o.agents, std::vector<uint32_t>{0x0A000005});
  EXPECT_TRUE(o.broadcasts.empty());
  EXPECT_EQ(o.resend, 30u);
  EXPECT_EQ(o.duration_ms, 0);
  EXPECT_EQ(o.count, 0u);
  EXPECT_FALSE(o.json);
  EXPECT_EQ(o.max_agents, 16384u);
  EXPECT_EQ(o.rcvbuf, 8 << 20);
  EXPECT_EQ(o.max_drain, 50);
  EXPECT_FALSE(o.trust_forwarded);

  // A concrete listen address is the source address unless --address says otherwise.
  ASSERT_EQ(Parse({"--broadcast", "10.0.0.255", "--listen", "10.0.0.2"}, &o), "");
  EXPECT_EQ(o.SourceAddr(), 0x0A000002u);
  ASSERT_EQ(
      Parse({"--broadcast", "10.0.0.255", "--listen", "10.0.0.2", "--address", "10.9.9.9"}, &o),
      "");
  EXPECT_EQ(o.SourceAddr(), 0x0A090909u);
}

TEST(CoordinatorOptions, EveryValueInBothSpellings) {
  CoordinatorOptions o;
  ASSERT_EQ(Parse({"--agent=127.0.0.2",
                   "--agent",
                   "127.0.0.3",
                   "--agent",
                   "127.0.0.2",
                   "--broadcast=127.255.255.255",
                   "--listen=127.0.0.1",
                   "--port=45100",
                   "--loglevel",
                   "3",
                   "--log-refresh=0",
                   "--alive",
                   "4294967295",
                   "--cpu-interval=9",
                   "--resend",
                   "0",
                   "--duration=2.5",
                   "--count",
                   "7",
                   "--max-agents=100000",
                   "--rcvbuf",
                   "33554432",
                   "--max-drain=0",
                   "--trust-forwarded",
                   "--json",
                   "--metrics=127.0.0.1:9164"},
                  &o),
            "");
  EXPECT_EQ(o.agents, (std::vector<uint32_t>{0x7F000002, 0x7F000003})) << "duplicates dropped";
  EXPECT_EQ(o.broadcasts, std::vector<uint32_t>{0x7FFFFFFF});
  EXPECT_EQ(o.listen, 0x7F000001u);
  EXPECT_EQ(o.port, 45100);
  EXPECT_EQ(o.settings.loglevel, 3u);
  EXPECT_EQ(o.settings.log_refresh, 0u);
  EXPECT_EQ(o.settings.alive, 4294967295u);
  EXPECT_EQ(o.settings.cpu_interval, 9u);
  EXPECT_EQ(o.resend, 0u);
  EXPECT_EQ(o.duration_ms, 2500);
  EXPECT_EQ(o.count, 7u);
  EXPECT_EQ(o.max_agents, 100000u);
  EXPECT_EQ(o.rcvbuf, 33554432);
  EXPECT_EQ(o.max_drain, 0);
  EXPECT_TRUE(o.trust_forwarded);
  EXPECT_TRUE(o.json);
  EXPECT_TRUE(o.has_metrics);
  EXPECT_EQ(o.metrics_addr, 0x7F000001u);
  EXPECT_EQ(o.metrics_port, 9164);
}

TEST(CoordinatorOptions, HelpNeedsNothingElse) {
  CoordinatorOptions o;
  ASSERT_EQ(Parse({"--help"}, &o), "");
  EXPECT_TRUE(o.help);
  EXPECT_NE(std::string(UsageText()).find("--cpu-interval"), std::string::npos);
  for (const char* name : {"--haproxy", "--server", "--config", "--min-weight", "--max-weight",
                           "--smoothing", "--step", "--silent-state", "--dry-run", "--version"}) {
    EXPECT_NE(UsageText().find(name), std::string::npos) << name;
  }
}

TEST(CoordinatorOptions, BadArgumentsAreRefusedWithAReason) {
  const std::vector<std::string> ok = {"--agent", "10.0.0.5", "--address", "10.0.0.1"};
  struct Case {
    std::vector<std::string> extra;
    const char* says;
  };
  const Case cases[] = {
      {{"--frobnicate"}, "unknown option '--frobnicate'"},
      {{"stray"}, "unexpected argument 'stray'"},
      {{"-j"}, "unexpected argument '-j'"},
      {{"--port"}, "option '--port' needs a value"},
      {{"--json=yes"}, "option '--json' takes no value"},
      {{"--port", "0"}, "--port '0'"},
      {{"--port", "65536"}, "--port '65536'"},
      {{"--port", "+5"}, "--port '+5'"},
      {{"--port="}, "option '--port' needs a value"},
      {{"--agent", "10.0.0"}, "--agent '10.0.0' is not a unicast"},
      {{"--agent", "256.0.0.1"}, "--agent '256.0.0.1'"},
      {{"--agent", "10.0.0.5 "}, "--agent '10.0.0.5 '"},
      {{"--agent", "host.example"}, "--agent 'host.example'"},
      {{"--agent", "255.255.255.255"}, "(use --broadcast)"},
      {{"--agent", "224.0.0.1"}, "--agent '224.0.0.1'"},
      {{"--agent", "0.0.0.0"}, "--agent '0.0.0.0'"},
      {{"--broadcast", "0.0.0.0"}, "--broadcast '0.0.0.0'"},
      {{"--broadcast", "239.1.1.1"}, "--broadcast '239.1.1.1'"},
      {{"--listen", "255.255.255.255"}, "--listen '255.255.255.255'"},
      {{"--address", "0.0.0.0"}, "--address '0.0.0.0'"},
      {{"--alive", "4294967296"}, "--alive '4294967296' is not a whole number"},
      {{"--loglevel", "-1"}, "--loglevel '-1'"},
      {{"--resend", "1.5"}, "--resend '1.5'"},
      {{"--duration", "0"}, "--duration '0'"},
      {{"--duration", "0.000"}, "--duration '0.000'"},
      {{"--duration", "1.2345"}, "--duration '1.2345'"},
      {{"--duration", ".5"}, "--duration '.5'"},
      {{"--duration", "5."}, "--duration '5.'"},
      {{"--duration", "1e3"}, "--duration '1e3'"},
      {{"--duration", "999999999"}, "--duration '999999999'"},
      {{"--count", "0"}, "--count '0'"},
      {{"--max-agents", "0"}, "--max-agents '0'"},
      {{"--rcvbuf", "4095"}, "--rcvbuf '4095'"},
      {{"--max-drain", "101"}, "--max-drain '101' is not a percentage"},
      {{"--metrics", "127.0.0.1"}, "--metrics '127.0.0.1' is not an IPv4 ADDR:PORT"},
      {{"--metrics", "127.0.0.1:0"}, "--metrics '127.0.0.1:0'"},
      {{"--metrics", "localhost:9164"}, "--metrics 'localhost:9164'"},
  };
  for (const Case& c : cases) {
    std::vector<std::string> args = ok;
    args.insert(args.end(), c.extra.begin(), c.extra.end());
    CoordinatorOptions o;
    std::string err = Parse(args, &o);
    EXPECT_NE(err.find(c.says), std::string::npos) << c.extra[0] << " gave: '" << err << "'";
  }
}

TEST(CoordinatorOptions, DestinationsAndReportAddressAreRequired) {
  CoordinatorOptions o;
  EXPECT_EQ(Parse({"--address", "10.0.0.1"}, &o),
            "nothing to send to: give --agent or --broadcast");
  EXPECT_EQ(Parse({"--agent", "10.0.0.5"}, &o), "--address is required when listening on 0.0.0.0");
  EXPECT_EQ(Parse({"--agent", "10.0.0.5", "--listen", "0.0.0.0"}, &o),
            "--address is required when listening on 0.0.0.0");
}

TEST(CoordinatorOptions, HaproxyMappingsFromTheCommandLineAndAFile) {
  testsupport::TempDir dir;
  testsupport::WriteFile(
      dir.file("map"),
      "# agent = backend/server\n\n  10.0.0.7 = web/app-7  \n10.0.0.8=api/x.1:2\thold \n");
  CoordinatorOptions o;
  ASSERT_EQ(Parse({"--address",      "10.0.0.1",
                   "--haproxy",      "/run/haproxy/admin.sock",
                   "--server",       "10.0.0.5=web/app5",
                   "--config",       dir.file("map"),
                   "--min-weight",   "0",
                   "--max-weight",   "200",
                   "--smoothing",    "0.25",
                   "--step",         "10",
                   "--silent-state", "maint",
                   "--law",          "linear",
                   "--cpu-interval", "3"},
                  &o),
            "");
  ASSERT_EQ(o.servers.size(), 3u);
  EXPECT_EQ(o.servers[1].agent, 0x0A000007u);
  EXPECT_EQ(o.servers[1].Name(), "web/app-7");
  EXPECT_EQ(o.servers[2].Name(), "api/x.1:2");
  EXPECT_FALSE(o.servers[1].hold);
  EXPECT_TRUE(o.servers[2].hold) << "the hold mark after the server";
  EXPECT_EQ(o.agents, (std::vector<uint32_t>{0x0A000005, 0x0A000007, 0x0A000008}))
      << "mapped agents are configured too";
  EXPECT_EQ(o.policy.min_weight, 0);
  EXPECT_EQ(o.policy.max_weight, 200);
  EXPECT_DOUBLE_EQ(o.policy.smoothing, 0.25);
  EXPECT_EQ(o.policy.step, 10);
  EXPECT_EQ(o.silent_state, LbState::kMaint);
  EXPECT_EQ(o.policy.law, WeightLaw::kLinear);
  EXPECT_EQ(o.policy.period_ms, 3000) << "the law moves once a CPU-load period";
  ASSERT_EQ(
      Parse({"--address", "10.0.0.1", "--haproxy", "127.0.0.1:9999", "--server", "10.0.0.5=web/a"},
            &o),
      "");
  EXPECT_EQ(o.policy.min_weight, 1) << "a busy server keeps some traffic by default";
  EXPECT_EQ(o.policy.max_weight, -1) << "the initial weight by default";
  EXPECT_EQ(o.silent_state, LbState::kDrain);
  EXPECT_EQ(o.policy.law, WeightLaw::kEven);

  testsupport::WriteFile(dir.file("bad"), "10.0.0.7=web/a\n10.0.0.9 web/b\n");
  const std::vector<std::string> base = {"--address", "10.0.0.1", "--haproxy", "/s"};
  struct Case {
    std::vector<std::string> extra;
    std::string says;
  };
  const Case cases[] = {
      {{"--config", dir.file("bad")}, dir.file("bad") + ":2: '10.0.0.9 web/b' is not"},
      {{"--config", dir.file("none")}, "--config cannot read"},
      {{"--server", "10.0.0.5=web"}, "is not BACKEND/SERVER"},
      {{"--server", "10.0.0.5=web/a;b"}, "is not BACKEND/SERVER"},
      {{"--server", "10.0.0.5=web/a held"}, "'held' in '10.0.0.5=web/a held' is not a mark"},
      {{"--server", "host=web/a"}, "'host' in 'host=web/a' is not"},
      {{"--server", "10.0.0.5=web/a", "--server", "10.0.0.5=web/b"}, "clashes with"},
      {{"--server", "10.0.0.5=web/a", "--haproxy", "localhost"}, "--haproxy 'localhost' is"},
      {{"--server", "10.0.0.5=web/a", "--min-weight", "257"}, "--min-weight '257'"},
      {{"--server", "10.0.0.5=web/a", "--max-weight", "0"}, "--max-weight '0'"},
      {{"--server", "10.0.0.5=web/a", "--min-weight", "9", "--max-weight", "8"}, "below"},
      {{"--server", "10.0.0.5=web/a", "--smoothing", "0"}, "--smoothing '0'"},
      {{"--server", "10.0.0.5=web/a", "--smoothing", "1.5"}, "--smoothing '1.5'"},
      {{"--server", "10.0.0.5=web/a", "--silent-state", "ready"}, "neither drain nor maint"},
      {{"--server", "10.0.0.5=web/a", "--law", "log"}, "--law 'log' is neither even nor linear"},
      {{"--server", "10.0.0.5=web/a", "--dry-run=1"}, "option '--dry-run' takes no value"},
      {{}, "--haproxy needs at least one --server"},
  };
  for (const Case& c : cases) {
    std::vector<std::string> args = base;
    args.insert(args.end(), c.extra.begin(), c.extra.end());
    std::string err = Parse(args, &o);
    EXPECT_NE(err.find(c.says), std::string::npos) << "gave: '" << err << "'";
  }
  EXPECT_EQ(Parse({"--address", "10.0.0.1", "--server", "10.0.0.5=web/a"}, &o),
            "--server and --config need --haproxy or --nftables (or --dry-run)");
  EXPECT_EQ(Parse({"--address", "10.0.0.1", "--server", "10.0.0.5=web/a", "--dry-run"}, &o), "");
}

TEST(CoordinatorOptions, OptionsFileUnderTheCommandLineAndItsErrorsByLine) {
  testsupport::TempDir dir;
  testsupport::WriteFile(dir.file("map"), "10.0.0.5 = web/app1\n");
  testsupport::WriteFile(dir.file("conf"),
                         "# the pair's options\n\naddress = 10.0.0.1\nvirtual = true\n"
                         "haproxy = /run/a.sock\n--haproxy=\"10.0.0.3:9999\"\nconfig " +
                             dir.file("map") + "\nalive = 5\njson = false\n");
  CoordinatorOptions o;
  ASSERT_EQ(
      Parse({"--options-file", dir.file("conf"), "--alive", "1", "--haproxy", "/run/c.sock"}, &o),
      "");
  EXPECT_EQ(o.address, 0x0A000001u);
  EXPECT_TRUE(o.follow_address);
  EXPECT_FALSE(o.json);
  EXPECT_EQ(o.settings.alive, 1u) << "the command line wins";
  EXPECT_EQ(o.haproxy, (std::vector<std::string>{"/run/a.sock", "10.0.0.3:9999", "/run/c.sock"}));
  ASSERT_EQ(o.servers.size(), 1u);
  EXPECT_EQ(o.server_map, dir.file("map"));

  struct Case {
    std::string text;
    std::string says;
  };
  const Case cases[] = {
      {"address = 10.0.0.1\nnosuch = 1\n", ":2: unknown option '--nosuch'"},
      {"\n\nalive = five\n", ":3: --alive 'five' is not a whole number"},
      {"virtual = maybe\n", ":1: option 'virtual' is a switch: true or false, not 'maybe'"},
      {"options-file = x\n", ":1: option 'options-file' cannot be given in the file"},
      {"haproxy = localhost\n", ":1: --haproxy 'localhost' is neither"},
  };
  for (const Case& c : cases) {
    testsupport::WriteFile(dir.file("bad"), c.text);
    std::string err = Parse({"--options-file", dir.file("bad"), "--agent", "10.0.0.5"}, &o);
    EXPECT_EQ(err.find(dir.file("bad") + c.says), 0u) << "gave: '" << err << "'";
  }
  EXPECT_EQ(Parse({"--options-file", dir.file("none")}, &o),
            "--options-file cannot read " + dir.file("none"));
  EXPECT_EQ(Parse({"--agent", "10.0.0.5", "--listen", "10.0.0.2", "--virtual"}, &o),
            "--virtual needs --address");
  EXPECT_EQ(
      Parse({"--agent", "10.0.0.5", "--address", "10.0.0.1", "--listen", "10.0.0.1", "--virtual"},
            &o),
      "--virtual: listen on 0.0.0.0, not on the virtual address itself");
}

// SIGHUP's reading: every option fixed at the start keeps its running value
// (each refused in a line of its own), the others take the file's.
TEST(CoordinatorOptions, RereadKeepsWhatCannotChangeAndTakesTheRest) {
  testsupport::TempDir dir;
  testsupport::WriteFile(dir.file("map"), "10.0.0.5 = web/app1\n");
  const std::string fixed = "haproxy = /run/a.sock\nconfig = " + dir.file("map") + "\n";
  testsupport::WriteFile(dir.file("conf"),
                         fixed +
                             "address = 10.0.0.1\nport = 45002\nmax-agents = 10\n"
                             "metrics = 127.0.0.1:9164\nalive = 5\nmax-drain = 50\n");
  CoordinatorOptions cur;
  ASSERT_EQ(Parse({"--options-file", dir.file("conf"), "--heartbeat", "/run/hb"}, &cur), "");
  testsupport::WriteFile(dir.file("map"), "10.0.0.5 = web/app1\n10.0.0.6 = web/app2\n");
  testsupport::WriteFile(dir.file("conf"),
                         fixed +
                             "address = 10.0.0.9\nport = 45003\nmax-agents = 20\n"
                             "metrics = 127.0.0.1:9165\nalive = 1\nmax-drain = 25\n"
                             "haproxy = /run/b.sock\nsmoothing = 1\n");
  CoordinatorOptions fresh;
  std::vector<std::string> refused;
  std::string why;
  ASSERT_EQ(RereadOptions(cur, &fresh, &refused, &why), 0) << why;
  ASSERT_EQ(refused.size(), 5u);
  EXPECT_EQ(refused[0],
            "option 'port' cannot change while running: 45002 kept (asked: 45003); restart to "
            "change it");
  EXPECT_EQ(refused[1].find("option 'address' cannot change while running: 10.0.0.1 kept"), 0u);
  EXPECT_EQ(refused[2].find("option 'haproxy' cannot change while running: /run/a.sock kept "
                            "(asked: /run/a.sock, /run/b.sock)"),
            0u);
  EXPECT_EQ(refused[3].find("option 'max-agents'"), 0u);
  EXPECT_EQ(refused[4].find("option 'metrics'"), 0u);
  EXPECT_EQ(fresh.port, 45002);
  EXPECT_EQ(fresh.address, 0x0A000001u);
  EXPECT_EQ(fresh.haproxy, cur.haproxy);
  EXPECT_EQ(fresh.max_agents, 10u);
  EXPECT_EQ(fresh.metrics_port, 9164);
  EXPECT_EQ(fresh.heartbeat, "/run/hb") << "the command line still counts";
  EXPECT_EQ(fresh.settings.alive, 1u);
  EXPECT_EQ(fresh.max_drain, 25);
  EXPECT_EQ(fresh.policy.smoothing, 1.0);
  EXPECT_EQ(fresh.servers.size(), 2u);
  EXPECT_EQ(fresh.agents.size(), 2u);

  testsupport::WriteFile(dir.file("conf"), fixed + "alive = 1\nloglevel = x\n");
  EXPECT_EQ(RereadOptions(cur, &fresh, &refused, &why), -1);
  EXPECT_EQ(why.find(dir.file("conf") + ":4: --loglevel 'x'"), 0u) << why;
}

}  // namespace
}  // namespace coord

namespace coord {
namespace {

TEST(CoordinatorOptions, NftablesServiceFileAndItsMappings) {
  testsupport::TempDir dir;
  std::string services = dir.file("services");
  testsupport::WriteFile(services,
                         "service web 10.0.0.100:80/tcp\n  server app1 10.0.0.5:8080\n"
                         "  server app2 10.0.0.6:8080\n");
  std::string map = dir.file("map");
  testsupport::WriteFile(map, "10.0.0.5 = web/app1\n# a comment\n10.0.0.6 = web/app3\n");
  CoordinatorOptions o;
  ASSERT_EQ(Parse({"--address", "10.0.0.1", "--nftables", services, "--nftables-table", "lb_1",
                   "--server", "10.0.0.6=web/app2"},
                  &o),
            "");
  EXPECT_EQ(o.nftables_table, "lb_1");
  ASSERT_EQ(o.l4_services.size(), 1u);
  EXPECT_EQ(o.l4_services[0].servers.size(), 2u);
  EXPECT_EQ(o.agents, (std::vector<uint32_t>{0x0A000006}));
  EXPECT_EQ(Parse({"--address", "10.0.0.1", "--nftables", services, "--config", map}, &o),
            map + ":3: web/app3 is not a server of " + services);
  EXPECT_EQ(
      Parse({"--address", "10.0.0.1", "--nftables", services, "--server", "10.0.0.7=www/app1"}, &o),
      "--server www/app1 is not a server of " + services);
  testsupport::WriteFile(dir.file("bad"), "service web 10.0.0.100:80/tcp\n  server a 10.0.0.5\n");
  EXPECT_EQ(
      Parse({"--address", "10.0.0.1", "--nftables", dir.file("bad"), "--server", "10.0.0.5=web/a"},
            &o),
      "--nftables " + dir.file("bad") + ":2: 'server a 10.0.0.5' is not 'server NAME ADDR:PORT'");
  EXPECT_EQ(Parse({"--address", "10.0.0.1", "--nftables", services}, &o),
            "--nftables needs at least one --server or a --config");
  EXPECT_EQ(Parse({"--address", "10.0.0.1", "--nftables", services, "--haproxy", "/run/h.sock",
                   "--server", "10.0.0.5=web/app1"},
                  &o),
            "--nftables and --haproxy do not go together");
  EXPECT_NE(Parse({"--address", "10.0.0.1", "--nftables", services, "--nftables-table", "1x",
                   "--server", "10.0.0.5=web/app1"},
                  &o)
                .find("is not a name of letters, digits and _"),
            std::string::npos);
}

}  // namespace
}  // namespace coord
