// SPDX-License-Identifier: Apache-2.0
// The service file, and the nftables table against the real kernel: each
// kernel test runs again in a network namespace of its own, with the
// servers and the clients on its loopback and the virtual address
// 127.0.0.100 DNATed by the output chain.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/TestSupport.h"
#include "tools/keld4-coordinator/Balancer.h"
#include "tools/keld4-coordinator/Driver.h"
#include "tools/keld4-coordinator/Nftables.h"
#include "tools/keld4-coordinator/ServiceFile.h"

namespace coord {
namespace {

// "" when the file loads, else the error.
std::string Load(const std::string& text, std::vector<L4Service>* out = nullptr) {
  testsupport::TempDir dir;
  testsupport::WriteFile(dir.file("services"), text);
  std::vector<L4Service> s;
  std::string err;
  if (LoadServiceFile(dir.file("services"), out != nullptr ? out : &s, &err) == 0) return "";
  return err.substr(err.find("services:"));
}

TEST(ServiceFile, ServicesAndServers) {
  std::vector<L4Service> s;
  ASSERT_EQ(Load("# the site\n"
                 "service web 10.0.0.100:80/tcp\n"
                 "  server app1 10.0.0.5:8080\n"
                 "\tserver app2 10.0.0.6:8080   \n"
                 "\n"
                 "service dns 10.0.0.100:53/udp\n"
                 "  server app1 10.0.0.5:53\n"
                 "service web-udp 10.0.0.100:80/udp\n"
                 "  server app2 10.0.0.6:8080\n",
                 &s),
            "");
  ASSERT_EQ(s.size(), 3u);
  EXPECT_EQ(s[0].name, "web");
  EXPECT_EQ(s[0].vip, 0x0A000064u);
  EXPECT_EQ(s[0].port, 80);
  EXPECT_FALSE(s[0].udp);
  ASSERT_EQ(s[0].servers.size(), 2u);
  EXPECT_EQ(s[0].servers[1].name, "app2");
  EXPECT_EQ(s[0].servers[1].addr, 0x0A000006u);
  EXPECT_EQ(s[0].servers[1].port, 8080);
  EXPECT_TRUE(s[1].udp);
  EXPECT_EQ(s[1].line, 6);
  EXPECT_EQ(FindL4Server(s, "dns", "app1"), std::make_pair(1, 0));
  EXPECT_EQ(FindL4Server(s, "dns", "app2"), std::make_pair(-1, -1));
}

TEST(ServiceFile, EachErrorNamesItsLine) {
  const std::string web = "service web 10.0.0.100:80/tcp\n  server a 10.0.0.5:80\n";
  EXPECT_EQ(Load(web + "  server a 10.0.0.6:80\n"), "services:3: server web/a is named twice");
  EXPECT_EQ(Load(web + "  server b 10.0.0.5:80\n"),
            "services:3: server web/b has the address of web/a");
  EXPECT_EQ(Load(web + "service www 10.0.0.100:80/tcp\n  server a 10.0.0.5:80\n"),
            "services:3: service www has the address of service web (line 1)");
  EXPECT_EQ(Load(web + "service web 10.0.0.101:80/tcp\n  server a 10.0.0.5:80\n"),
            "services:3: service web is named already at line 1");
  EXPECT_EQ(Load("  server a 10.0.0.5:80\n"), "services:1: server a outside a service");
  EXPECT_EQ(Load("service web 10.0.0.100:80/tcp\nservice www 10.0.0.101:80/tcp\n"),
            "services:1: service web has no server");
  EXPECT_EQ(Load(web + "service www 10.0.0.101:80/tcp\n"), "services:3: service www has no server");
  EXPECT_EQ(Load(web + "backend x\n"), "services:3: unknown word 'backend' (service or server)");
  EXPECT_EQ(Load("# nothing\n"), "services:1: no service");
  for (const char* bad : {"service web 10.0.0.100:80/sctp", "service web 10.0.0.100/tcp",
                          "service web 10.0.0.100:0/tcp", "service web 10.0.0.300:80/tcp",
                          "service w/b 10.0.0.100:80/tcp", "service web 10.0.0.100:80/tcp x"}) {
    EXPECT_EQ(
        Load(std::string(bad) + "\n  server a 10.0.0.5:80\n"),
        "services:1: '" + std::string(bad) + "' is not 'service NAME VIP:PORT/tcp' (or /udp)");
  }
  for (const char* bad :
       {"server a 10.0.0.5", "server a 10.0.0.5:65536", "server a:b 10.0.0.5:1"}) {
    EXPECT_EQ(Load("service web 10.0.0.100:80/tcp\n" + std::string(bad) + "\n"),
              "services:2: '" + std::string(bad) + "' is not 'server NAME ADDR:PORT'");
  }
}

TEST(NftIntervals, SharesOfTheSlotsInTheServersOrder) {
  std::vector<NftInterval> iv = NftIntervals({10, 0, 30, 60});
  ASSERT_EQ(iv.size(), 3u);  // the server at 0 has none
  EXPECT_EQ(iv[0].first, 0u);
  EXPECT_EQ(iv[0].server, 0);
  EXPECT_EQ(iv[1].first, iv[0].last + 1);
  EXPECT_EQ(iv[1].server, 2);
  EXPECT_EQ(iv[2].last, kNftSlots - 1);
  EXPECT_NEAR((iv[2].last - iv[2].first + 1) / double(kNftSlots), 0.6, 1e-5);
  EXPECT_TRUE(NftIntervals({0, 0}).empty());
  EXPECT_TRUE(NftIntervals({0, -3}).empty());
  // Many small weights: every slot covered once, no server out of order.
  std::vector<int> many(4000, 1);
  many[17] = 256;
  iv = NftIntervals(many);
  uint32_t next = 0;
  for (const NftInterval& x : iv) {
    ASSERT_EQ(x.first, next);
    next = x.last + 1;
  }
  EXPECT_EQ(next, kNftSlots);
}

// --- against the kernel ---------------------------------------------------

constexpr uint32_t kVip = 0x7F000064;  // 127.0.0.100
constexpr uint16_t kVipPort = 80;

sockaddr_in Sockaddr(uint32_t addr, uint16_t port) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(port);
  sa.sin_addr.s_addr = htonl(addr);
  return sa;
}

// TCP and UDP servers on 127.0.0.1, one port each: a TCP server sends its
// index on accepting and then echoes, a UDP server answers each datagram
// with its index.
class Servers {
 public:
  Servers(int count, bool udp, uint32_t addr = 0x7F000001, uint16_t port = 0) : udp_(udp) {
    for (int i = 0; i < count; ++i) {
      int fd = socket(AF_INET, udp ? SOCK_DGRAM : SOCK_STREAM, 0);
      int on = 1;
      setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
      sockaddr_in sa = Sockaddr(addr, port);
      EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof(sa)), 0) << "errno " << errno;
      socklen_t len = sizeof(sa);
      getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len);
      if (!udp) listen(fd, 512);
      ports_.push_back(ntohs(sa.sin_port));
      fds_.push_back({fd, POLLIN, 0});
      index_.push_back(i);
    }
    thread_ = std::thread([this] { Run(); });
  }
  ~Servers() {
    stop_ = true;
    thread_.join();
    for (pollfd& p : fds_) close(p.fd);
  }
  std::vector<L4Server> List() const {
    std::vector<L4Server> v;
    for (size_t i = 0; i < ports_.size(); ++i) {
      v.push_back({"s" + std::to_string(i), 0x7F000001, ports_[i]});
    }
    return v;
  }

 private:
  void Run() {
    size_t listeners = ports_.size();
    while (!stop_) {
      if (poll(fds_.data(), fds_.size(), 50) <= 0) continue;
      for (size_t k = 0; k < fds_.size(); ++k) {
        if ((fds_[k].revents & (POLLIN | POLLHUP | POLLERR)) == 0) continue;
        char id = static_cast<char>('0' + index_[k]);
        if (udp_) {
          char b[64];
          sockaddr_in from{};
          socklen_t len = sizeof(from);
          if (recvfrom(fds_[k].fd, b, sizeof(b), 0, reinterpret_cast<sockaddr*>(&from), &len) > 0) {
            sendto(fds_[k].fd, &id, 1, 0, reinterpret_cast<sockaddr*>(&from), len);
          }
        } else if (k < listeners) {
          int c = accept(fds_[k].fd, nullptr, nullptr);
          if (c >= 0 && send(c, &id, 1, MSG_NOSIGNAL) == 1) {
            fds_.push_back({c, POLLIN, 0});
            index_.push_back(index_[k]);
          } else if (c >= 0) {
            close(c);
          }
        } else {
          char b[64];
          ssize_t n = recv(fds_[k].fd, b, sizeof(b), 0);
          if (n > 0 && send(fds_[k].fd, b, n, MSG_NOSIGNAL) == n) continue;
          close(fds_[k].fd);
          fds_.erase(fds_.begin() + static_cast<long>(k));
          index_.erase(index_.begin() + static_cast<long>(k));
          --k;
        }
      }
    }
  }

  bool udp_;
  std::vector<uint16_t> ports_;
  std::vector<pollfd> fds_;
  std::vector<int> index_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// A TCP connection to the virtual address: the index of the server that
// answered, or -errno (-ECONNREFUSED, -ECONNRESET, -ETIMEDOUT).
int Connect(int* held = nullptr) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  timeval tv{2, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof(tv));
  sockaddr_in sa = Sockaddr(kVip, kVipPort);
  char id = 0;
  int rc = 0;
  if (connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof(sa)) != 0) {
    rc = -errno;
  } else {
    ssize_t n = recv(fd, &id, 1, 0);
    rc = n == 1 ? id - '0' : -(n == 0 ? ECONNRESET : errno);
  }
  if (held != nullptr && rc >= 0) {
    *held = fd;
  } else {
    close(fd);
  }
  return rc;
}

// One datagram to the virtual address from a fresh socket on source (a
// connection of its own for conntrack, unless its port was drawn before from
// the same source within conntrack's timeout): the index of the server that
// answered, or -1.
int Ask(uint32_t source = 0x7F000001) {
  int fd = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in from = Sockaddr(source, 0);
  if (bind(fd, reinterpret_cast<sockaddr*>(&from), sizeof(from)) != 0) {
    close(fd);
    return -1;
  }
  timeval tv{1, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
  sockaddr_in sa = Sockaddr(kVip, kVipPort);
  char id = 0;
  int rc = -1;
  if (sendto(fd, "?", 1, 0, reinterpret_cast<sockaddr*>(&sa), sizeof(sa)) == 1 &&
      recv(fd, &id, 1, 0) == 1) {
    rc = id - '0';
  }
  close(fd);
  return rc;
}

// Echoes one byte on a held connection.
bool Echoes(int fd) {
  char b = 'x';
  return send(fd, &b, 1, MSG_NOSIGNAL) == 1 && recv(fd, &b, 1, 0) == 1 && b == 'x';
}

L4Service Service(const Servers& s, bool udp) {
  L4Service v;
  v.name = udp ? "dns" : "web";
  v.vip = kVip;
  v.port = kVipPort;
  v.udp = udp;
  v.servers = s.List();
  return v;
}

// Sets up the namespace's loopback; false (with a failure) where the test
// cannot go on.
bool InNamespace() {
  if (!testsupport::InOwnNetworkNamespace()) {
    testsupport::RunAgainInOwnNetworkNamespace();
    return false;
  }
  EXPECT_EQ(std::system("PATH=/usr/sbin:/sbin:/usr/bin:/bin; ip link set lo up"), 0);
  return !::testing::Test::HasFailure();
}

int Nft(const std::string& command) {
  return std::system(
      ("PATH=/usr/sbin:/sbin:/usr/bin:/bin; nft " + command + " >/dev/null").c_str());
}

// source: the UDP clients' address; each round of datagrams takes another,
// so that none meets a conntrack entry of an earlier round.
std::vector<int> Shares(int connections, int servers, bool udp, uint32_t source = 0x7F000001) {
  std::vector<int> got(servers + 1, 0);  // the last: failures
  for (int i = 0; i < connections; ++i) {
    int r = udp ? Ask(source) : Connect();
    ++got[r >= 0 && r < servers ? r : servers];
  }
  return got;
}

TEST(NftTable, TrafficFollowsTheWeightsTcpAndUdp) {
  if (!InNamespace()) return;
  Servers tcp(3, false);
  Servers udp(2, true);
  CNftTable t("keld4", {Service(tcp, false), Service(udp, true)});
  std::string err;
  ASSERT_EQ(t.Open(&err), 0) << err;
  ASSERT_EQ(t.Write({{10, 30, 60}, {75, 25}}, &err), 0) << err;
  std::vector<int> got = Shares(2000, 3, false);
  EXPECT_EQ(got[3], 0);
  EXPECT_NEAR(got[0] / 2000.0, 0.10, 0.03);
  EXPECT_NEAR(got[1] / 2000.0, 0.30, 0.04);
  EXPECT_NEAR(got[2] / 2000.0, 0.60, 0.04);
  got = Shares(1000, 2, true);
  EXPECT_EQ(got[2], 0);
  EXPECT_NEAR(got[0] / 1000.0, 0.75, 0.05);
  // The second write is the quick one (the maps alone).
  ASSERT_EQ(t.Write({{0, 50, 50}, {25, 75}}, &err), 0) << err;
  got = Shares(1000, 3, false);
  EXPECT_EQ(got[0], 0);
  EXPECT_EQ(got[3], 0);
  EXPECT_NEAR(got[1] / 1000.0, 0.5, 0.06);
  got = Shares(1000, 2, true, 0x7F000002);
  EXPECT_NEAR(got[0] / 1000.0, 0.25, 0.05);
}

// Weight 0 takes no new connection and keeps the held ones; a service whose
// every server is at 0 refuses new connections (TCP reset, ICMP for UDP)
// rather than letting them through to the virtual address un-NATed.
TEST(NftTable, DrainKeepsHeldConnectionsAndAllZeroRefuses) {
  if (!InNamespace()) return;
  Servers tcp(2, false);
  Servers udp(1, true);
  // Something listening on the virtual address itself: an un-NATed
  // connection would reach it.
  Servers vip(1, false, kVip, kVipPort);
  Servers vip_udp(1, true, kVip, kVipPort);
  CNftTable t("keld4", {Service(tcp, false), Service(udp, true)});
  std::string err;
  ASSERT_EQ(t.Open(&err), 0) << err;
  ASSERT_EQ(t.Write({{100, 0}, {100}}, &err), 0) << err;
  std::vector<int> held;
  for (int i = 0; i < 5; ++i) {
    int fd = -1;
    ASSERT_EQ(Connect(&fd), 0);
    held.push_back(fd);
  }
  ASSERT_EQ(t.Write({{0, 100}, {100}}, &err), 0) << err;
  EXPECT_EQ(Shares(200, 2, false), (std::vector<int>{0, 200, 0}));
  for (int fd : held) EXPECT_TRUE(Echoes(fd));
  ASSERT_EQ(t.Write({{0, 0}, {0}}, &err), 0) << err;
  for (int i = 0; i < 20; ++i) EXPECT_EQ(Connect(), -ECONNREFUSED);
  EXPECT_EQ(Ask(), -1);
  for (int fd : held) {
    EXPECT_TRUE(Echoes(fd));
    close(fd);
  }
  ASSERT_EQ(t.Write({{1, 0}, {1}}, &err), 0) << err;
  EXPECT_EQ(Connect(), 0);
  EXPECT_EQ(Ask(0x7F000003), 0);
}

// Weights rewritten every 50 ms while a client connects without pause: no
// connection refused, reset or lost.
TEST(NftTable, UpdatesUnderTrafficLoseNoConnection) {
  if (!InNamespace()) return;
  Servers tcp(4, false);
  CNftTable t("keld4", {Service(tcp, false)});
  std::string err;
  ASSERT_EQ(t.Open(&err), 0) << err;
  ASSERT_EQ(t.Write({{25, 25, 25, 25}}, &err), 0) << err;
  std::atomic<bool> stop{false};
  std::atomic<int> ok{0};
  std::map<int, int> failures;
  std::thread client([&] {
    for (int i = 0; i < 20000 && !stop; ++i) {
      int r = Connect();
      if (r >= 0) {
        ++ok;
      } else {
        ++failures[r];
      }
    }
  });
  for (int round = 0; round < 40; ++round) {
    // One server at 0 in turn, the others moving.
    std::vector<int> w = {10 + round % 7, 40 - round % 11, 5 + round % 3, 20};
    w[round % 4] = 0;
    ASSERT_EQ(t.Write({w}, &err), 0) << err;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  stop = true;
  client.join();
  EXPECT_GT(ok.load(), 100);
  EXPECT_TRUE(failures.empty()) << failures.begin()->first << " x" << failures.begin()->second;
  EXPECT_EQ(t.Writes(), 41u);
}

// A flushed ruleset, a deleted table, a flushed map or chain: the next check
// writes the table back with its last weights; a check with nothing changed
// writes nothing.
TEST(NftTable, CheckPutsBackWhatOthersRemoved) {
  if (!InNamespace()) return;
  Servers tcp(2, false);
  // And a service of many servers, whose map the kernel dumps in several
  // messages.
  L4Service big = Service(tcp, false);
  big.vip = kVip + 1;
  big.servers.clear();
  std::vector<int> big_weights;
  for (int i = 0; i < 1500; ++i) {
    big.servers.push_back({"b" + std::to_string(i), 0x7F010000u + i, 80});
    big_weights.push_back(1 + i % 97);
  }
  CNftTable t("keld4", {Service(tcp, false), big});
  std::string err;
  ASSERT_EQ(t.Open(&err), 0) << err;
  EXPECT_EQ(t.Check(&err), 0) << "nothing written yet, nothing to put back";
  ASSERT_EQ(t.Write({{0, 100}, big_weights}, &err), 0) << err;
  EXPECT_EQ(t.Check(&err), 0) << err;
  // Someone else's table: a change, but not to ours.
  ASSERT_EQ(Nft("add table ip other"), 0);
  EXPECT_EQ(t.Check(&err), 0) << err;
  EXPECT_EQ(t.Restores(), 0u);
  const std::string drained = std::to_string(tcp.List()[0].port);
  for (const std::string& change : std::vector<std::string>{
           "flush ruleset", "delete table ip keld4", "flush map ip keld4 s0",
           "flush chain ip keld4 output",
           "'flush map ip keld4 s0; add element ip keld4 s0 { 0-1048575 : 127.0.0.1 . " + drained +
               " }'"}) {
    ASSERT_EQ(Nft(change), 0) << change;
    EXPECT_EQ(t.Check(&err), 1) << change << ": " << err;
    EXPECT_EQ(Shares(50, 2, false), (std::vector<int>{0, 50, 0})) << change;
    EXPECT_EQ(t.Check(&err), 0) << change << ": " << err;
  }
  EXPECT_EQ(t.Restores(), 5u);
}

// The table outlives its writer with the last weights; a later run adopts a
// table of the same layout as it finds it, and replaces one of another.
TEST(NftTable, OutlivesItsWriterAndIsAdoptedAtTheNextStart) {
  if (!InNamespace()) return;
  Servers tcp(3, false);
  std::string err;
  {
    CNftTable t("keld4", {Service(tcp, false)});
    ASSERT_EQ(t.Open(&err), 0) << err;
    ASSERT_EQ(t.Write({{0, 20, 60}}, &err), 0) << err;
  }
  std::vector<int> got = Shares(400, 3, false);
  EXPECT_EQ(got[0], 0);
  EXPECT_NEAR(got[2] / 400.0, 0.75, 0.08);
  CNftTable again("keld4", {Service(tcp, false)});
  ASSERT_EQ(again.Open(&err), 0) << err;
  std::vector<std::vector<int>> w;
  ASSERT_EQ(again.Adopt(100, &w, &err), 1) << err;
  EXPECT_EQ(w, (std::vector<std::vector<int>>{{0, 33, 100}}));
  EXPECT_EQ(again.Check(&err), 0) << err;
  EXPECT_EQ(again.Restores(), 0u);
  // A server added to the file since starts with none of the traffic.
  L4Service more = Service(tcp, false);
  more.servers.push_back({"extra", 0x7F000001, 1});
  CNftTable added("keld4", {more});
  ASSERT_EQ(added.Open(&err), 0) << err;
  ASSERT_EQ(added.Adopt(100, &w, &err), 1) << err;
  EXPECT_EQ(w, (std::vector<std::vector<int>>{{0, 33, 100, 0}}));
  // A server gone from the file, a service moved, no table: replaced by the
  // first write.
  L4Service fewer = Service(tcp, false);
  fewer.servers.pop_back();
  L4Service moved = Service(tcp, false);
  moved.port = 81;
  for (const L4Service& s : {fewer, moved}) {
    CNftTable other("keld4", {s});
    ASSERT_EQ(other.Open(&err), 0) << err;
    EXPECT_EQ(other.Adopt(100, &w, &err), 0) << err;
  }
  ASSERT_EQ(Nft("delete table ip keld4"), 0);
  CNftTable none("keld4", {fewer});
  ASSERT_EQ(none.Open(&err), 0) << err;
  EXPECT_EQ(none.Adopt(100, &w, &err), 0) << err;
  ASSERT_EQ(none.Write({{1, 0}}, &err), 0) << err;
  EXPECT_EQ(Shares(20, 3, false), (std::vector<int>{20, 0, 0, 0}));
}

// The coordinator's side: the balancer's goals through the nftables driver.
// A start with no table writes one with every server at the maximum; loads
// move the shares; an agent's down message takes its server out (held
// connections go on); a flushed ruleset is back at the next probe; the
// table outlives the balancer and the next one starts from its weights.
TEST(NftDriver, BalancerDrivesTheKernelTable) {
  if (!InNamespace()) return;
  Servers tcp(2, false);
  DriverSpec setup;
  setup.table = "keld4";
  setup.services = {Service(tcp, false)};
  ServerMapping a{1, "web", "s0"}, b{2, "web", "s1"};
  WeightPolicy linear;
  linear.law = WeightLaw::kLinear;
  linear.step = 1;
  auto make = [&] {
    std::vector<std::unique_ptr<CDriver>> d;
    d.push_back(MakeDriver("nftables", setup));
    return std::make_unique<CBalancer>(std::vector<ServerMapping>{a, b}, linear, LbState::kDrain,
                                       std::move(d), nullptr);
  };
  std::unique_ptr<CBalancer> lb = make();
  int64_t now = 0;
  lb->Start(now, 60000);
  lb->Tick(now);
  ASSERT_TRUE(lb->Endpoints()[0].linked) << lb->Endpoints()[0].last_error;
  std::vector<int> got = Shares(400, 2, false);
  EXPECT_EQ(got[2], 0);
  EXPECT_NEAR(got[0] / 400.0, 0.5, 0.1) << "both at the maximum before any report";

  lb->OnReport(1, true, 20, true);  // weight 80
  lb->OnReport(2, true, 80, true);  // weight 21
  lb->Tick(now += 100);
  got = Shares(1000, 2, false);
  EXPECT_EQ(got[2], 0);
  EXPECT_NEAR(got[0] / 1000.0, 80.0 / 101, 0.05);

  int held = -1;
  for (int i = 0; i < 50 && Connect(&held) != 1; ++i) held = -1;
  ASSERT_GE(held, 0) << "no connection reached s1";
  lb->OnGone(2, "down");
  lb->Tick(now += 100);
  EXPECT_EQ(Shares(100, 2, false), (std::vector<int>{100, 0, 0}));
  EXPECT_TRUE(Echoes(held)) << "a connection made before the drain keeps its server";
  close(held);

  ASSERT_EQ(Nft("flush ruleset"), 0);
  lb->Tick(now += 300);
  EXPECT_EQ(Shares(50, 2, false), (std::vector<int>{50, 0, 0})) << "put back as it was";

  lb.reset();
  EXPECT_EQ(Shares(50, 2, false), (std::vector<int>{50, 0, 0})) << "left in place at the end";
  lb = make();
  lb->Start(now, 60000);
  lb->Tick(now += 100);
  std::string weight, state;
  ASSERT_TRUE(lb->View(1, &weight, &state));
  EXPECT_EQ(weight, "100") << "adopted: the earlier run's largest share at the maximum";
  ASSERT_TRUE(lb->View(2, &weight, &state));
  EXPECT_EQ(weight, "0");
  EXPECT_EQ(Shares(50, 2, false), (std::vector<int>{50, 0, 0})) << "until agents are heard";
}

}  // namespace
}  // namespace coord
