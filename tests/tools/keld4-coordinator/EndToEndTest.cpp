// SPDX-License-Identifier: Apache-2.0
// The real keld4-coordinator against a tiny fake agent, on loopback only: the
// coordinator listens on 127.0.0.1, the fake agent on 127.0.0.2, both at the
// same port as the protocol wants.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <nlohmann/json.hpp>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "tests/tools/keld4-coordinator/HaproxySupport.h"
#include "tools/keld4-coordinator/Clock.h"

namespace {

using Bytes = std::vector<uint8_t>;
using coord::MonotonicMs;
using nlohmann::json;

constexpr uint32_t kCoordinatorAddr = 0x7F000001;  // 127.0.0.1
constexpr uint32_t kAgentAddr = 0x7F000002;        // 127.0.0.2
constexpr uint32_t kLoopbackBroadcast = 0x7FFFFFFF;

sockaddr_in Sockaddr(uint32_t addr, uint16_t port) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(port);
  sa.sin_addr.s_addr = htonl(addr);
  return sa;
}

class UdpSocket {
 public:
  UdpSocket() = default;
  ~UdpSocket() { Close(); }
  UdpSocket(const UdpSocket&) = delete;
  UdpSocket& operator=(const UdpSocket&) = delete;

  bool Bind(uint32_t addr, uint16_t port) {
    Close();
    fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa = Sockaddr(addr, port);
    return fd_ >= 0 && bind(fd_, reinterpret_cast<sockaddr*>(&sa), sizeof(sa)) == 0;
  }
  uint16_t Port() const {
    sockaddr_in sa{};
    socklen_t len = sizeof(sa);
    getsockname(fd_, reinterpret_cast<sockaddr*>(&sa), &len);
    return ntohs(sa.sin_port);
  }
  void Close() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
  }
  bool SendTo(const Bytes& b, uint32_t addr, uint16_t port) {
    sockaddr_in sa = Sockaddr(addr, port);
    return sendto(fd_, b.data(), b.size(), 0, reinterpret_cast<sockaddr*>(&sa), sizeof(sa)) ==
           static_cast<ssize_t>(b.size());
  }
  // One datagram within timeout_ms.
  bool Recv(int timeout_ms, Bytes* out, sockaddr_in* from) {
    pollfd p = {fd_, POLLIN, 0};
    if (poll(&p, 1, timeout_ms) != 1) return false;
    uint8_t buf[2048];
    socklen_t len = sizeof(*from);
    ssize_t n = recvfrom(fd_, buf, sizeof(buf), 0, reinterpret_cast<sockaddr*>(from), &len);
    if (n < 0) return false;
    out->assign(buf, buf + n);
    return true;
  }

 private:
  int fd_ = -1;
};

// The coordinator as a child process with its output on pipes.
class Coordinator {
 public:
  explicit Coordinator(std::vector<std::string> args) {
    int out[2], err[2];
    if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) return;
    args.insert(args.begin(), KELD4_COORDINATOR_BINARY);
    pid_ = fork();
    if (pid_ == 0) {
      dup2(out[1], STDOUT_FILENO);
      dup2(err[1], STDERR_FILENO);
      std::vector<char*> argv;
      for (std::string& a : args) argv.push_back(a.data());
      argv.push_back(nullptr);
      execv(argv[0], argv.data());
      _exit(127);
    }
    close(out[1]);
    close(err[1]);
    out_ = out[0];
    err_ = err[0];
  }
  ~Coordinator() {
    if (pid_ > 0 && !reaped_) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    if (out_ >= 0) close(out_);
    if (err_ >= 0) close(err_);
  }
  Coordinator(const Coordinator&) = delete;
  Coordinator& operator=(const Coordinator&) = delete;

  bool Started() const { return pid_ > 0; }
  pid_t Pid() const { return pid_; }

  // The next line of standard output within timeout_ms; false at end or timeout.
  bool ReadLine(std::string* line, int timeout_ms) {
    int64_t deadline = MonotonicMs() + timeout_ms;
    for (;;) {
      size_t nl = pending_.find('\n');
      if (nl != std::string::npos) {
        *line = pending_.substr(0, nl);
        pending_.erase(0, nl + 1);
        return true;
      }
      int64_t left = deadline - MonotonicMs();
      if (left <= 0 || eof_) return false;
      pollfd p = {out_, POLLIN, 0};
      if (poll(&p, 1, static_cast<int>(left)) != 1) continue;
      char buf[4096];
      ssize_t n = read(out_, buf, sizeof(buf));
      if (n <= 0) {
        eof_ = true;
        continue;
      }
      pending_.append(buf, static_cast<size_t>(n));
    }
  }

  // Every remaining line until the program closes its output.
  std::vector<std::string> ReadAll(int timeout_ms) {
    std::vector<std::string> lines;
    std::string line;
    int64_t deadline = MonotonicMs() + timeout_ms;
    while (ReadLine(&line, static_cast<int>(std::max<int64_t>(0, deadline - MonotonicMs())))) {
      lines.push_back(line);
    }
    if (!pending_.empty()) lines.push_back(pending_);
    pending_.clear();
    return lines;
  }

  // Exit code, or -1 when it did not end in time (it is then killed).
  int Wait(int timeout_ms) {
    int64_t deadline = MonotonicMs() + timeout_ms;
    int status = 0;
    while (waitpid(pid_, &status, WNOHANG) == 0) {
      if (MonotonicMs() > deadline) return -1;
      usleep(10000);
    }
    reaped_ = true;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }

  // Standard error, once the program has ended.
  std::string Stderr() {
    std::string s;
    char buf[4096];
    ssize_t n;
    while ((n = read(err_, buf, sizeof(buf))) > 0) s.append(buf, static_cast<size_t>(n));
    return s;
  }

 private:
  pid_t pid_ = -1;
  int out_ = -1;
  int err_ = -1;
  bool reaped_ = false;
  bool eof_ = false;
  std::string pending_;
};

void Put32(Bytes* b, size_t at, uint32_t v) {
  (*b)[at] = static_cast<uint8_t>(v >> 24);
  (*b)[at + 1] = static_cast<uint8_t>(v >> 16);
  (*b)[at + 2] = static_cast<uint8_t>(v >> 8);
  (*b)[at + 3] = static_cast<uint8_t>(v);
}

// What an agent at 127.0.0.2 sends to 127.0.0.1: OS type 4, 2400 MHz.
Bytes AliveDatagram() {
  Bytes b = {0, 0, 0, 4,   0, 0, 0, 1,   0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 24, 0,
             0, 0, 1, 127, 0, 0, 2, 127, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0,  4};
  const char mac[18] = "00-11-22-33-44-55";
  b.insert(b.end(), mac, mac + 18);
  b.insert(b.end(), {0x00, 0x00, 0x09, 0x60});
  return b;
}

Bytes CpuLoadDatagram(uint32_t load) {
  Bytes b(44, 0);
  Put32(&b, 0, 4);
  Put32(&b, 4, 0x01200001);
  Put32(&b, 16, 4);
  Put32(&b, 20, 1);
  Put32(&b, 24, kAgentAddr);
  Put32(&b, 28, kCoordinatorAddr);
  Put32(&b, 40, load);
  return b;
}

std::string PortText(uint16_t port) { return std::to_string(port); }

class CoordinatorEndToEnd : public ::testing::Test {
 protected:
  // Binds the fake agent on 127.0.0.2 at a port that is free on 127.0.0.1 too.
  void SetUp() override {
    for (int i = 0; i < 20; ++i) {
      ASSERT_TRUE(agent_.Bind(kAgentAddr, 0)) << std::strerror(errno);
      port_ = agent_.Port();
      UdpSocket probe;
      if (probe.Bind(kCoordinatorAddr, port_)) return;
    }
    FAIL() << "no UDP port free on both 127.0.0.1 and 127.0.0.2";
  }

  std::vector<std::string> Args(std::vector<std::string> extra) {
    std::vector<std::string> a = {"--listen", "127.0.0.1", "--port", PortText(port_)};
    a.insert(a.end(), extra.begin(), extra.end());
    return a;
  }

  // Waits for the coordinator's Coor_alive and returns it.
  Bytes AwaitCoorAlive() {
    Bytes got;
    sockaddr_in from{};
    EXPECT_TRUE(agent_.Recv(5000, &got, &from)) << "no Coor_alive arrived";
    EXPECT_EQ(ntohl(from.sin_addr.s_addr), kCoordinatorAddr);
    return got;
  }

  static std::vector<json> ParseLines(const std::vector<std::string>& lines) {
    std::vector<json> events;
    for (const std::string& l : lines) {
      json j = json::parse(l, nullptr, false);
      EXPECT_TRUE(j.is_object()) << "not a JSON object: " << l;
      if (j.is_object()) events.push_back(j);
    }
    return events;
  }

  UdpSocket agent_;
  uint16_t port_ = 0;
};

TEST_F(CoordinatorEndToEnd, ConfiguresAnAgentAndReportsWhatItSends) {
  Coordinator c(
      Args({"--agent", "127.0.0.2", "--json", "--count", "2", "--duration", "20", "--loglevel", "2",
            "--log-refresh", "120", "--alive", "7", "--cpu-interval", "3"}));
  ASSERT_TRUE(c.Started());
  Bytes coor = AwaitCoorAlive();
  const Bytes expected = {0, 0, 0,  4, 0,   0, 0, 1,   0, 0, 0, 0,   0, 0, 0, 0, 0,
                          0, 0, 28, 0, 0,   0, 4, 127, 0, 0, 1, 127, 0, 0, 2, 0, 0,
                          0, 0, 0,  0, 0,   0, 0, 0,   0, 0, 0, 0,   0, 0, 0, 0, 0,
                          2, 0, 0,  0, 120, 0, 0, 0,   7, 0, 0, 0,   0, 0, 0, 0, 3};
  EXPECT_EQ(coor, expected);

  // Garbage is booked to the row of an agent that has one; it makes none.
  Bytes bad = AliveDatagram();
  bad.pop_back();
  ASSERT_TRUE(agent_.SendTo(AliveDatagram(), kCoordinatorAddr, port_));
  ASSERT_TRUE(agent_.SendTo(bad, kCoordinatorAddr, port_));
  ASSERT_TRUE(agent_.SendTo(CpuLoadDatagram(37), kCoordinatorAddr, port_));

  std::vector<json> ev = ParseLines(c.ReadAll(10000));
  EXPECT_EQ(c.Wait(5000), 0) << c.Stderr();
  ASSERT_EQ(ev.size(), 6u);
  const char* order[] = {"start", "sent", "alive", "malformed", "cpu_load", "end"};
  for (size_t i = 0; i < ev.size(); ++i) EXPECT_EQ(ev[i]["event"], order[i]) << ev[i].dump();

  EXPECT_EQ(ev[0]["listen"], "127.0.0.1:" + PortText(port_));
  EXPECT_EQ(ev[0]["address"], "127.0.0.1");
  EXPECT_EQ(ev[0]["alive"], 7);
  EXPECT_EQ(ev[1]["to"], "127.0.0.2");
  EXPECT_EQ(ev[1]["bytes"], 68);
  EXPECT_EQ(ev[3]["agent"], "127.0.0.2");
  EXPECT_EQ(ev[3]["reason"], "length");
  EXPECT_EQ(ev[3]["bytes"], 63);
  EXPECT_EQ(ev[2]["mac"], "00-11-22-33-44-55");
  EXPECT_EQ(ev[2]["ostype"], 4);
  EXPECT_EQ(ev[2]["mhz"], 2400);
  EXPECT_EQ(ev[2]["from"], "127.0.0.2:" + PortText(port_));
  EXPECT_EQ(ev[2]["state"], "up");
  EXPECT_EQ(ev[4]["load"], 37);

  const json& end = ev[5];
  EXPECT_EQ(end["reason"], "count");
  EXPECT_EQ(end["sent"], 1);
  EXPECT_EQ(end["valid"], 2);
  EXPECT_EQ(end["malformed"], 1);
  ASSERT_EQ(end["agents"].size(), 1u);
  const json& row = end["agents"][0];
  EXPECT_EQ(row["agent"], "127.0.0.2");
  EXPECT_EQ(row["state"], "up");
  EXPECT_EQ(row["mac"], "00-11-22-33-44-55");
  EXPECT_EQ(row["load"], 37);
  EXPECT_EQ(row["messages"], 2);
  EXPECT_EQ(row["malformed"], 1);
  EXPECT_LT(row["alive_age"].get<double>(), 5.0);
}

TEST_F(CoordinatorEndToEnd, SilentAfterThreeAlivePeriodsAndSigintEnds) {
  Coordinator c(Args({"--agent", "127.0.0.2", "--json", "--alive", "1", "--cpu-interval", "0",
                      "--duration", "20"}));
  ASSERT_TRUE(c.Started());
  AwaitCoorAlive();
  ASSERT_TRUE(agent_.SendTo(AliveDatagram(), kCoordinatorAddr, port_));
  std::string line;
  std::vector<json> ev;
  while (c.ReadLine(&line, 6000)) {
    ev.push_back(json::parse(line, nullptr, false));
    if (ev.back().value("event", "") == "silent") break;
  }
  ASSERT_GE(ev.size(), 4u);
  const json& alive = ev[ev.size() - 2];
  const json& silent = ev.back();
  ASSERT_EQ(alive["event"], "alive");
  ASSERT_EQ(silent["event"], "silent");
  EXPECT_EQ(silent["agent"], "127.0.0.2");
  double quiet = silent["t"].get<double>() - alive["t"].get<double>();
  EXPECT_GE(quiet, 3.0);
  EXPECT_LT(quiet, 4.5);
  EXPECT_GE(silent["quiet"].get<double>(), 3.0);

  kill(c.Pid(), SIGINT);
  std::vector<json> rest = ParseLines(c.ReadAll(5000));
  EXPECT_EQ(c.Wait(5000), 0) << c.Stderr();
  ASSERT_EQ(rest.size(), 1u);
  EXPECT_EQ(rest[0]["event"], "end");
  EXPECT_EQ(rest[0]["reason"], "signal");
  EXPECT_EQ(rest[0]["agents"][0]["state"], "silent");
}

TEST_F(CoordinatorEndToEnd, ResendsAndEndsOnSigterm) {
  Coordinator c(Args({"--agent", "127.0.0.2", "--json", "--resend", "1", "--duration", "20"}));
  ASSERT_TRUE(c.Started());
  AwaitCoorAlive();
  int64_t first = MonotonicMs();
  AwaitCoorAlive();
  int64_t gap = MonotonicMs() - first;
  EXPECT_GE(gap, 800);
  EXPECT_LT(gap, 2500);
  kill(c.Pid(), SIGTERM);
  std::vector<json> ev = ParseLines(c.ReadAll(5000));
  EXPECT_EQ(c.Wait(5000), 0) << c.Stderr();
  ASSERT_FALSE(ev.empty());
  EXPECT_EQ(ev.back()["event"], "end");
  EXPECT_EQ(ev.back()["reason"], "signal");
  EXPECT_GE(ev.back()["sent"].get<int>(), 2);
}

TEST_F(CoordinatorEndToEnd, BroadcastIsAllowedOnTheSocket) {
  UdpSocket listener;
  ASSERT_TRUE(listener.Bind(kLoopbackBroadcast, port_)) << std::strerror(errno);
  Coordinator c(Args({"--broadcast", "127.255.255.255", "--json", "--duration", "0.5"}));
  ASSERT_TRUE(c.Started());
  Bytes got;
  sockaddr_in from{};
  ASSERT_TRUE(listener.Recv(5000, &got, &from));
  ASSERT_EQ(got.size(), 68u);
  EXPECT_EQ(Bytes(got.begin() + 28, got.begin() + 32), (Bytes{127, 255, 255, 255}));
  std::vector<json> ev = ParseLines(c.ReadAll(5000));
  EXPECT_EQ(c.Wait(5000), 0) << c.Stderr();
  ASSERT_EQ(ev.size(), 3u);
  EXPECT_EQ(ev[1]["event"], "sent");
  EXPECT_EQ(ev[1]["broadcast"], true);
  EXPECT_EQ(ev[2]["reason"], "duration");
}

TEST_F(CoordinatorEndToEnd, PrintsTheTableOnceWhenNotATerminal) {
  Coordinator c(Args({"--agent", "127.0.0.2", "--count", "1", "--duration", "20"}));
  ASSERT_TRUE(c.Started());
  AwaitCoorAlive();
  ASSERT_TRUE(agent_.SendTo(AliveDatagram(), kCoordinatorAddr, port_));
  std::vector<std::string> lines = c.ReadAll(10000);
  EXPECT_EQ(c.Wait(5000), 0) << c.Stderr();
  ASSERT_EQ(lines.size(), 6u);  // title, blank, heading, one agent, two footer lines
  EXPECT_EQ(lines[0].find("keld4-coordinator on 127.0.0.1:" + PortText(port_)), 0u);
  EXPECT_EQ(lines[2].find("AGENT"), 0u);
  EXPECT_EQ(lines[3].find("127.0.0.2       up      00-11-22-33-44-55"), 0u) << lines[3];
  EXPECT_EQ(lines[4].find("Coor_alive: 1 of 1 agents configured, 0 sends failed; dropped: 0 by "
                          "the kernel"),
            0u)
      << lines[4];
  EXPECT_EQ(lines[5],
            "agent table: 1 of 16384 rows (0 mapped); 0 rows given to new senders, 0 reports "
            "untracked");
  EXPECT_EQ(lines[0].find('\x1b'), std::string::npos) << "no terminal codes into a pipe";
}

TEST_F(CoordinatorEndToEnd, SurvivesJunkAndCountsIt) {
  Coordinator c(Args({"--agent", "127.0.0.2", "--json", "--count", "1", "--duration", "20"}));
  ASSERT_TRUE(c.Started());
  AwaitCoorAlive();
  std::mt19937 rng(12345);
  const int kJunk = 200;
  for (int i = 0; i < kJunk; ++i) {
    Bytes junk(static_cast<size_t>(rng() % 120));
    for (uint8_t& b : junk) b = static_cast<uint8_t>(rng());
    ASSERT_TRUE(agent_.SendTo(junk, kCoordinatorAddr, port_));
    usleep(1000);  // stay well inside the receive buffer
  }
  ASSERT_TRUE(agent_.SendTo(AliveDatagram(), kCoordinatorAddr, port_));
  std::vector<json> ev = ParseLines(c.ReadAll(10000));
  EXPECT_EQ(c.Wait(5000), 0) << c.Stderr();
  ASSERT_FALSE(ev.empty());
  const json& end = ev.back();
  EXPECT_EQ(end["event"], "end");
  EXPECT_EQ(end["reason"], "count");
  EXPECT_EQ(end["malformed"], kJunk);
  EXPECT_EQ(end["valid"], 1);
  EXPECT_EQ(ev.size(), static_cast<size_t>(kJunk) + 4);
}

TEST_F(CoordinatorEndToEnd, BindFailureExitsWithOne) {
  UdpSocket taken;
  ASSERT_TRUE(taken.Bind(kCoordinatorAddr, port_));
  Coordinator c(Args({"--agent", "127.0.0.2", "--json", "--duration", "5"}));
  ASSERT_TRUE(c.Started());
  EXPECT_EQ(c.Wait(5000), 1);
  EXPECT_EQ(c.Stderr(), "keld4-coordinator: cannot listen on 127.0.0.1:" + PortText(port_) +
                            ": Address already in use\n");
  EXPECT_TRUE(c.ReadAll(1000).empty());
}

// The whole program between a fake agent and a real HAProxy: the socket is
// missing at first, the table goes on, and the weight is written once it is there.
TEST_F(CoordinatorEndToEnd, RefusedHaproxySocketDoesNotStopTheTable) {
  coord::HaproxyProcess haproxy({{"app", 100}});
  Coordinator c(
      Args({"--agent", "127.0.0.2", "--json", "--duration", "30", "--haproxy", haproxy.Socket(),
            "--server", "127.0.0.2=web/app", "--smoothing", "1", "--law", "linear"}));
  ASSERT_TRUE(c.Started());
  AwaitCoorAlive();
  ASSERT_TRUE(agent_.SendTo(AliveDatagram(), kCoordinatorAddr, port_));
  ASSERT_TRUE(agent_.SendTo(CpuLoadDatagram(50), kCoordinatorAddr, port_));
  std::string line;
  std::vector<json> ev;
  auto await = [&](const char* event) {
    while (c.ReadLine(&line, 10000)) {
      ev.push_back(json::parse(line, nullptr, false));
      if (ev.back().value("event", "") == event) return true;
    }
    return false;
  };
  ASSERT_TRUE(await("cpu_load"));
  bool lost = false;
  for (const json& e : ev) lost = lost || (e["event"] == "haproxy" && e["status"] == "lost");
  EXPECT_TRUE(lost) << "the missing socket is reported";

  ASSERT_TRUE(haproxy.Start());
  ASSERT_TRUE(await("weight"));
  const json& w = ev.back();
  EXPECT_EQ(w["agent"], "127.0.0.2");
  EXPECT_EQ(w["server"], "web/app");
  EXPECT_EQ(w["old"], 100);
  EXPECT_EQ(w["new"], 51);
  EXPECT_EQ(w["load"], 50);
  EXPECT_EQ(w["reason"], "load");
  EXPECT_EQ(haproxy.Weight("app"), 51);
  ASSERT_TRUE(await("state"));
  EXPECT_EQ(ev.back()["new"], "ready");

  kill(c.Pid(), SIGTERM);
  c.ReadAll(5000);
  EXPECT_EQ(c.Wait(5000), 0) << c.Stderr();
}

TEST_F(CoordinatorEndToEnd, DryRunPrintsTheCommandsAndTheTableShowsThem) {
  Coordinator c(Args({"--agent", "127.0.0.2", "--count", "2", "--duration", "20", "--dry-run",
                      "--server", "127.0.0.2=web/app", "--max-weight", "200", "--law", "linear"}));
  ASSERT_TRUE(c.Started());
  AwaitCoorAlive();
  ASSERT_TRUE(agent_.SendTo(AliveDatagram(), kCoordinatorAddr, port_));
  ASSERT_TRUE(agent_.SendTo(CpuLoadDatagram(25), kCoordinatorAddr, port_));
  std::vector<std::string> lines = c.ReadAll(10000);
  EXPECT_EQ(c.Wait(5000), 0) << c.Stderr();
  ASSERT_GE(lines.size(), 6u);
  // The alive and the load may be read in one pass or two, so either command can come first.
  std::vector<std::string> commands(lines.begin(), lines.begin() + 2);
  std::sort(commands.begin(), commands.end());
  EXPECT_EQ(commands[0], "set server web/app state ready");
  EXPECT_EQ(commands[1], "set server web/app weight 150");
  EXPECT_EQ(lines[3], "HAProxy: dry run");
  EXPECT_NE(lines[4].find("WEIGHT LB STATE"), std::string::npos) << lines[4];
  EXPECT_NE(lines[5].find("150 ready"), std::string::npos) << lines[5];
}

// A report naming a mapped agent from another UDP source is dropped and
// counted; the agent's own report still moves its weight.
TEST_F(CoordinatorEndToEnd, ForgedSourceIsDroppedAndCounted) {
  Coordinator c(Args({"--json", "--duration", "20", "--dry-run", "--server", "127.0.0.2=web/app",
                      "--smoothing", "1", "--law", "linear"}));
  ASSERT_TRUE(c.Started());
  AwaitCoorAlive();
  UdpSocket forger;
  ASSERT_TRUE(forger.Bind(0x7F000003, 0));
  ASSERT_TRUE(forger.SendTo(CpuLoadDatagram(90), kCoordinatorAddr, port_));
  ASSERT_TRUE(agent_.SendTo(AliveDatagram(), kCoordinatorAddr, port_));
  ASSERT_TRUE(agent_.SendTo(CpuLoadDatagram(50), kCoordinatorAddr, port_));
  std::string line;
  std::vector<json> ev;
  while (c.ReadLine(&line, 10000)) {
    ev.push_back(json::parse(line, nullptr, false));
    if (ev.back().value("event", "") == "weight") break;
  }
  ASSERT_FALSE(ev.empty());
  EXPECT_EQ(ev.back()["event"], "weight");
  EXPECT_EQ(ev.back()["load"], 50);
  kill(c.Pid(), SIGTERM);
  for (const json& e : ParseLines(c.ReadAll(5000))) ev.push_back(e);
  EXPECT_EQ(c.Wait(5000), 0) << c.Stderr();
  for (const json& e : ev) EXPECT_NE(e.value("load", 0), 90) << e.dump();
  ASSERT_EQ(ev.back()["event"], "end");
  EXPECT_EQ(ev.back()["source_drops"], 1);
  EXPECT_EQ(ev.back()["valid"], 2);
}

// SIGHUP re-reads the map: a newly mapped agent gets its Coor_alive at once,
// the agent kept is not sent to again before its resend, and both count as
// configured.
TEST_F(CoordinatorEndToEnd, ReloadConfiguresANewlyMappedAgentAtOnce) {
  testsupport::TempDir dir;
  const std::string map = dir.file("servers");
  auto write = [&map](const char* text) {
    FILE* f = std::fopen(map.c_str(), "w");
    ASSERT_NE(f, nullptr);
    std::fputs(text, f);
    std::fclose(f);
  };
  write("127.0.0.2 = web/a\n");
  UdpSocket added;
  ASSERT_TRUE(added.Bind(0x7F000003, port_));
  Coordinator c(
      Args({"--json", "--duration", "20", "--dry-run", "--config", map, "--resend", "60"}));
  ASSERT_TRUE(c.Started());
  AwaitCoorAlive();
  write("127.0.0.2 = web/a\n127.0.0.3 = web/b\n");
  kill(c.Pid(), SIGHUP);
  Bytes got;
  sockaddr_in from{};
  EXPECT_TRUE(added.Recv(3000, &got, &from)) << "no Coor_alive for the new agent";
  EXPECT_FALSE(agent_.Recv(500, &got, &from)) << "the kept agent was sent to again";
  kill(c.Pid(), SIGTERM);
  std::vector<json> ev = ParseLines(c.ReadAll(5000));
  EXPECT_EQ(c.Wait(5000), 0) << c.Stderr();
  auto reload = std::find_if(ev.begin(), ev.end(),
                             [](const json& e) { return e.value("event", "") == "reload"; });
  ASSERT_NE(reload, ev.end());
  EXPECT_EQ((*reload)["servers"], 2);
  ASSERT_EQ(ev.back()["event"], "end");
  EXPECT_EQ(ev.back()["configured"], 2);
}

// Reports that find the receive buffer full are counted from what the kernel
// says: every report is either read or counted.
TEST_F(CoordinatorEndToEnd, KernelDropsAreCounted) {
  Coordinator c(Args({"--agent", "127.0.0.2", "--json", "--duration", "20", "--rcvbuf", "4096"}));
  ASSERT_TRUE(c.Started());
  AwaitCoorAlive();
  kill(c.Pid(), SIGSTOP);
  const int kSent = 300;
  for (int i = 0; i < kSent; ++i) {
    ASSERT_TRUE(agent_.SendTo(CpuLoadDatagram(1), kCoordinatorAddr, port_));
  }
  kill(c.Pid(), SIGCONT);
  usleep(300000);
  // The kernel tells the count with the next datagram read.
  ASSERT_TRUE(agent_.SendTo(CpuLoadDatagram(1), kCoordinatorAddr, port_));
  usleep(300000);
  kill(c.Pid(), SIGTERM);
  std::vector<json> ev = ParseLines(c.ReadAll(5000));
  EXPECT_EQ(c.Wait(5000), 0) << c.Stderr();
  ASSERT_FALSE(ev.empty());
  const json& end = ev.back();
  ASSERT_EQ(end["event"], "end");
  EXPECT_GT(end["kernel_drops"].get<int>(), 0);
  EXPECT_EQ(end["valid"].get<int>() + end["kernel_drops"].get<int>(), kSent + 1);
  bool shown = false;
  for (const json& e : ev) shown = shown || (e["event"] == "drops" && e["kernel"].get<int>() > 0);
  EXPECT_TRUE(shown) << "a drops event while running";
}

// 600 agents whose neighbour entries never resolve fill the send buffer at
// once: the sends wait for room instead of failing, and an agent without a
// route is reported once, not once per round, without failing the run.
TEST(CoordinatorPacing, FullSendBufferIsWaitedForAndAnUnreachableAgentToldOnce) {
  if (!testsupport::InOwnNetworkNamespace()) {
    testsupport::RunAgainInOwnNetworkNamespace();
    return;
  }
  ASSERT_EQ(std::system("PATH=/usr/sbin:/sbin:/usr/bin:/bin; ip link set lo up && "
                        "ip link add kf0 type veth peer name kf1 && "
                        "ip addr add 10.9.0.1/16 dev kf0 && ip link set kf0 up && "
                        "ip link set kf1 up && "
                        "echo 1 > /proc/sys/net/ipv4/neigh/kf0/mcast_solicit && "
                        "echo 100 > /proc/sys/net/ipv4/neigh/kf0/retrans_time_ms"),
            0);
  std::vector<std::string> args = {"--listen", "10.9.0.1",   "--json", "--resend",
                                   "1",        "--duration", "3.5"};
  for (int i = 0; i < 600; ++i) {
    args.push_back("--agent");
    args.push_back("10.9." + std::to_string(1 + i / 200) + "." + std::to_string(1 + i % 200));
  }
  args.push_back("--agent");
  args.push_back("10.10.0.5");
  Coordinator c(args);
  ASSERT_TRUE(c.Started());
  std::vector<json> ev;
  for (const std::string& l : c.ReadAll(15000)) ev.push_back(json::parse(l, nullptr, false));
  EXPECT_EQ(c.Wait(5000), 0);
  std::string err = c.Stderr();
  EXPECT_EQ(err.find("cannot send to 10.10.0.5"), err.rfind("cannot send to 10.10.0.5")) << err;
  EXPECT_NE(err.find("cannot send to 10.10.0.5"), std::string::npos) << err;
  std::set<std::string> reached;
  int errors = 0;
  std::vector<double> second_round;  // the resend at 1 s, spread over its second
  for (const json& e : ev) {
    if (e["event"] == "sent") {
      reached.insert(e["to"].get<std::string>());
      double t = e["t"].get<double>();
      if (t >= 1.0 && t < 2.0) second_round.push_back(t);
    }
    if (e["event"] == "error") ++errors;
  }
  ASSERT_GE(second_round.size(), 500u);
  EXPECT_GE(second_round.back() - second_round.front(), 0.8) << "a round is not one burst";
  EXPECT_EQ(reached.size(), 600u);
  EXPECT_EQ(errors, 1);
  ASSERT_FALSE(ev.empty());
  ASSERT_EQ(ev.back()["event"], "end");
  EXPECT_EQ(ev.back()["configured"], 600);
  EXPECT_GE(ev.back()["send_failed"].get<int>(), 2) << "tried again each round";
  EXPECT_GE(ev.back()["sent"].get<int>(), 1200) << "the rounds after the first reach everyone too";
}

TEST(CoordinatorCommandLine, BadUsageExitsWithTwoAndHelpWithZero) {
  Coordinator bad({"--agent", "127.0.0.2", "--listen", "127.0.0.1", "--port", "seventy"});
  ASSERT_TRUE(bad.Started());
  EXPECT_EQ(bad.Wait(5000), 2);
  std::string err = bad.Stderr();
  EXPECT_EQ(err.find("keld4-coordinator: --port 'seventy' is not a port number"), 0u) << err;
  EXPECT_TRUE(bad.ReadAll(1000).empty());

  Coordinator help({"--help"});
  ASSERT_TRUE(help.Started());
  std::vector<std::string> lines = help.ReadAll(5000);
  EXPECT_EQ(help.Wait(5000), 0);
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines[0], "Usage: keld4-coordinator [OPTION]...");

  Coordinator version({"--version"});
  ASSERT_TRUE(version.Started());
  lines = version.ReadAll(5000);
  EXPECT_EQ(version.Wait(5000), 0);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].find("keld4-coordinator "), 0u);
}

// One node of a redundant pair, in a network namespace of the test's own:
// the coordinator acts only while the virtual address is on one of its
// interfaces, and gives the agents a full silence period when it gains it.
TEST(CoordinatorPair, ActiveOnlyWhileHoldingTheVirtualAddress) {
  if (!testsupport::InOwnNetworkNamespace()) {
    testsupport::RunAgainInOwnNetworkNamespace();
    return;
  }
  ASSERT_EQ(std::system("PATH=/usr/sbin:/sbin:/usr/bin:/bin; ip link set lo up"), 0);
  coord::HaproxyProcess haproxy({{"app", 100}});
  ASSERT_TRUE(haproxy.Start());
  UdpSocket agent;
  ASSERT_TRUE(agent.Bind(kAgentAddr, 45002));
  // The backend's only server: without --max-drain 100 the valve would keep
  // it in service when its agent falls silent.
  Coordinator c({"--listen",    "127.0.0.1",
                 "--address",   "10.9.0.1",
                 "--virtual",   "--agent",
                 "127.0.0.2",   "--alive",
                 "1",           "--resend",
                 "1",           "--json",
                 "--duration",  "40",
                 "--haproxy",   haproxy.Socket(),
                 "--server",    "127.0.0.2=web/app",
                 "--smoothing", "1",
                 "--max-drain", "100"});
  ASSERT_TRUE(c.Started());
  std::vector<json> ev;
  auto await = [&](const char* event, int timeout_ms) {
    std::string line;
    int64_t deadline = MonotonicMs() + timeout_ms;
    while (c.ReadLine(&line, static_cast<int>(std::max<int64_t>(0, deadline - MonotonicMs())))) {
      ev.push_back(json::parse(line, nullptr, false));
      if (ev.back().value("event", "") == event) return true;
    }
    return false;
  };
  auto writes = [&ev]() {
    int n = 0;
    for (const json& e : ev) n += e["event"] == "weight" || e["event"] == "state" ? 1 : 0;
    return n;
  };
  Bytes got;
  sockaddr_in from{};

  // Standby: no Coor_alive, and a report changes nothing in HAProxy.
  ASSERT_TRUE(await("standby", 5000));
  EXPECT_FALSE(agent.Recv(1500, &got, &from)) << "a Coor_alive from the standby";
  ASSERT_TRUE(agent.SendTo(CpuLoadDatagram(50), kCoordinatorAddr, 45002));
  ASSERT_TRUE(await("cpu_load", 5000));
  EXPECT_FALSE(await("weight", 1000));
  EXPECT_EQ(writes(), 0);
  EXPECT_EQ(haproxy.Weight("app"), 100);

  // The address arrives: Coor_alive at once, from the virtual address.
  int64_t gained = MonotonicMs();  // the coordinator may see the address before ip has ended
  ASSERT_EQ(std::system("PATH=/usr/sbin:/sbin:/usr/bin:/bin; ip addr add 10.9.0.1/32 dev lo"), 0);
  ASSERT_TRUE(await("active", 3000));
  ASSERT_TRUE(agent.Recv(1000, &got, &from)) << "no Coor_alive on becoming active";
  EXPECT_EQ(ntohl(from.sin_addr.s_addr), 0x0A090001u);
  ASSERT_GE(got.size(), 28u);
  EXPECT_EQ(Bytes(got.begin() + 24, got.begin() + 28), (Bytes{10, 9, 0, 1}));
  // The report above is more than an alive period old, yet silence counts
  // only three periods after the address came.
  EXPECT_FALSE(await("state", 2500));
  EXPECT_EQ(haproxy.State("app"), "ready");
  ASSERT_TRUE(await("state", 2500));
  EXPECT_EQ(ev.back()["new"], "drain");
  EXPECT_GE(MonotonicMs() - gained, 2990) << "three alive periods, within the clocks' milliseconds";

  // The address goes: nothing more is written, no Coor_alive goes out.
  ASSERT_TRUE(agent.SendTo(CpuLoadDatagram(0), kCoordinatorAddr, 45002));
  ASSERT_TRUE(await("state", 3000));
  EXPECT_EQ(ev.back()["new"], "ready");
  ASSERT_EQ(std::system("PATH=/usr/sbin:/sbin:/usr/bin:/bin; ip addr del 10.9.0.1/32 dev lo"), 0);
  ASSERT_TRUE(await("standby", 3000));
  int before = writes();
  ASSERT_TRUE(agent.SendTo(CpuLoadDatagram(100), kCoordinatorAddr, 45002));
  ASSERT_TRUE(await("cpu_load", 3000));
  EXPECT_FALSE(await("weight", 1500));
  EXPECT_EQ(writes(), before);
  EXPECT_EQ(haproxy.Weight("app"), 100);
  while (agent.Recv(0, &got, &from)) {
  }
  EXPECT_FALSE(agent.Recv(1500, &got, &from)) << "a Coor_alive after the address went";

  kill(c.Pid(), SIGTERM);
  c.ReadAll(5000);
  EXPECT_EQ(c.Wait(5000), 0) << c.Stderr();
}

}  // namespace
