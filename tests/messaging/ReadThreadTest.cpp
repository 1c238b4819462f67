// SPDX-License-Identifier: Apache-2.0
// The receive thread over real loopback UDP, a real pipe and a stand-in
// master thread with a real queue.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <map>
#include <memory>
#include <regex>
#include <set>
#include <tuple>

#include "config/KELD3Register.h"
#include "log/Log.h"
#include "messaging/Read.h"
#include "messaging/Workers.h"
#include "tests/messaging/DatagramSupport.h"

using namespace dgram;

namespace {

std::string Payload(size_t n, uint8_t seed) {
  std::string p;
  for (size_t i = 0; i < n; ++i) p += static_cast<char>(seed + i * 7);
  return p;
}

// A Coor_alive as the coordinator sends it: 40 + 28 bytes.
std::string CoorAlive(uint32_t sequence = 0, const char* src = "10.1.2.3",
                      uint32_t type = MSG_ALIVE) {
  WireFields f;
  f.type = type;
  f.sequence = sequence;
  f.dataleng = COOR_ALIVE_DATA_SIZE;
  f.id = COORDINATOR_ID;
  f.srcAddr = src;
  f.desAddr = "10.1.2.4";
  return WireHeader(f) + Payload(COOR_ALIVE_DATA_SIZE, 1);
}

std::string Text(const char* format, uint32_t value) {
  char text[128];
  std::snprintf(text, sizeof(text), format, value);
  return text;
}

class ReadThreadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    StopCounter = 0;
    ASSERT_TRUE(plat::CreatePipe(&pipeRead_, &pipeWrite_, nullptr, 0));
    read_.OutPipe = &pipeWrite_;
    read_.MasterThreadId = &masterId_;
  }

  void TearDown() override {
    worker_.reset();
    master_.reset();
    read_.close_socket();
    plat::CloseHandle(pipeRead_);
    plat::CloseHandle(pipeWrite_);
    StopCounter = 0;
    // A test that listed coordinators and failed leaves no list behind.
    g_Config.m_bCoordinatorsListed = false;
    g_Config.m_nCoordinatorNets = 0;
  }

  void StartMaster(plat::DWORD queueDelayMs = 0) {
    master_ = std::make_unique<MasterStandIn>(queueDelayMs);
    masterId_ = master_->id();
  }

  // Binds to a port that is free (another program may take one between the
  // probe and the bind, hence a few tries).
  void Init() {
    for (int i = 0; i < 5; ++i) {
      port_ = FreePort();
      read_.Port = plat::htons(port_);
      if (read_.init() == 0) return;
    }
    FAIL() << "no free port for the receive socket";
  }

  void Start() {
    worker_ = std::make_unique<Worker>([this] { return read_.read_thread(); },
                                       [this] {
                                         StopCounter = 1;
                                         read_.close_socket();
                                         plat::CloseHandle(pipeRead_);
                                       });
  }

  void Send(const std::string& bytes) {
    ASSERT_EQ(sender_.SendTo(bytes, "127.0.0.1", port_), static_cast<long>(bytes.size()));
  }

  bool Next(MsgHeader* h, std::string* data) { return ReadPipeMessage(pipeRead_, h, data); }

  // Only once the thread has ended: nothing more is waiting in the pipe.
  bool PipeIsEmpty() {
    plat::CloseHandle(pipeWrite_);
    char byte;
    plat::DWORD n = 0;
    bool failed = !plat::ReadFile(pipeRead_, &byte, 1, &n, nullptr);
    return failed && n == 0 && plat::GetLastError() == plat::kERROR_BROKEN_PIPE;
  }

  LogCapture log_;
  CRead read_;
  plat::HANDLE pipeRead_ = nullptr;
  plat::HANDLE pipeWrite_ = nullptr;
  std::atomic<plat::DWORD> masterId_{0};
  uint16_t port_ = 0;
  UdpPeer sender_;
  std::unique_ptr<MasterStandIn> master_;
  std::unique_ptr<Worker> worker_;
};

TEST_F(ReadThreadTest, CoorAliveGoesToThePipeInHostOrderWithOneNotice) {
  StartMaster();
  Init();
  Start();
  WireFields f;
  f.desId = 1;
  f.type = MSG_ALIVE;
  f.status = 0x12;
  f.sequence = 0;
  f.dataleng = COOR_ALIVE_DATA_SIZE;
  f.id = COORDINATOR_ID;
  f.srcAddr = "10.1.2.3";
  f.desAddr = "10.1.2.4";
  f.param = 7;
  f.reserved = 9;
  std::string payload = Payload(COOR_ALIVE_DATA_SIZE, 3);
  Send(WireHeader(f) + payload);
  ASSERT_TRUE(master_->WaitArrived(1, 5000));

  MsgHeader h;
  std::string data;
  ASSERT_TRUE(Next(&h, &data));
  MsgHeader expected = HostHeader(f);
  EXPECT_EQ(Hex(Bytes(&h, sizeof(h))), Hex(Bytes(&expected, sizeof(expected))));
  EXPECT_EQ(h.srcAddr, Addr("10.1.2.3"));  // still network order
  EXPECT_EQ(h.desAddr, Addr("10.1.2.4"));
  EXPECT_EQ(Hex(data), Hex(payload));

  // A second message proves the first came with exactly one notice.
  Send(CoorAlive(0, "10.9.9.9"));
  ASSERT_TRUE(master_->WaitArrived(2, 5000));
  ASSERT_TRUE(Next(&h, &data));
  EXPECT_EQ(h.srcAddr, Addr("10.9.9.9"));
  auto messages = master_->Messages();
  ASSERT_EQ(messages.size(), 2u);
  for (const auto& m : messages) {
    EXPECT_EQ(m.message, 1034u);
    EXPECT_EQ(m.wParam, 0u);
    EXPECT_EQ(m.lParam, 0);
  }

  EXPECT_TRUE(log_.Has("DEBUG: Read thread read 68 bit msg . Type: 1; data length:28"));
  int at = log_.Find("DEBUG: read message type:1");
  ASSERT_GE(at, 0);
  auto lines = log_.Lines();
  ASSERT_GE(lines.size(), static_cast<size_t>(at + 7));
  EXPECT_EQ(lines[at + 1], "DEBUG: read message dataleng:28");
  EXPECT_EQ(lines[at + 2], "DEBUG: read message status:12");
  EXPECT_EQ(lines[at + 3], "DEBUG: read message srcAddr:10.1.2.3");
  EXPECT_EQ(lines[at + 4], "DEBUG: read message desAddr:10.1.2.4");
  EXPECT_EQ(lines[at + 5], "DEBUG: read message sequence:0");
  EXPECT_EQ(lines[at + 6], "DEBUG: read message id:4");
  EXPECT_EQ(StopCounter.load(), 0u);
  EXPECT_EQ(read_.ErrNo, 0u);
}

class LengthMismatchTest : public ReadThreadTest, public ::testing::WithParamInterface<size_t> {};

// Anyone can send a malformed datagram: it is logged with its number and
// dropped, and the thread goes on receiving.
TEST_P(LengthMismatchTest, IsLoggedWith3560AndDropped) {
  StartMaster();
  Init();
  Start();
  std::string datagram = CoorAlive();
  datagram.resize(GetParam(), '\x55');
  Send(datagram);
  Send(CoorAlive());
  ASSERT_TRUE(master_->WaitArrived(1, 5000));

  EXPECT_EQ(read_.ErrNo, 3560u);
  EXPECT_EQ(StopCounter.load(), 0u);
  EXPECT_NE(read_.Socket.load(), plat::kINVALID_SOCKET);
  MsgHeader h;
  std::string data;
  ASSERT_TRUE(Next(&h, &data));
  EXPECT_EQ(h.dataleng, 28u);
  std::string n = std::to_string(GetParam());
  EXPECT_TRUE(log_.Has("DEBUG: Read thread read " + n + " bit msg . Type: 1; data length:28"));
  EXPECT_TRUE(log_.Has("DEBUG: In Read socket call recvfrom(). Should receive:68, but recv:" + n));
  EXPECT_TRUE(log_.Has(Text(
      "ERR: In Read socket call recvfrom(). Local error:3560, system error:%08x", read_.SysError)));
  EXPECT_FALSE(log_.Has("ERR: Read thread error in fuction read_socket()"));
  EXPECT_FALSE(worker_->WaitEnded(0));
}

INSTANTIATE_TEST_SUITE_P(OneByteOff, LengthMismatchTest, ::testing::Values(67u, 69u));

// (datagram length, dataleng in it, type in it, expected DEBUG texts)
using ShortCase = std::tuple<size_t, uint32_t, uint32_t, const char*, const char*>;
class ShortDatagramTest : public ReadThreadTest, public ::testing::WithParamInterface<ShortCase> {};

// A full header sits in the buffer from the datagram before; the short one
// must be judged and reported on its own bytes only, and never wrap round.
TEST_P(ShortDatagramTest, IsNeverAcceptedWhateverTheBufferHeld) {
  auto [length, dataleng, type, readLine, shouldLine] = GetParam();
  StartMaster();
  Init();
  Start();
  Send(CoorAlive());
  ASSERT_TRUE(master_->WaitArrived(1, 5000));

  WireFields f;
  f.type = type;
  f.dataleng = dataleng;
  std::string datagram = WireHeader(f);
  datagram.resize(length);
  Send(datagram);
  Send(CoorAlive(0, "10.1.2.9"));
  ASSERT_TRUE(master_->WaitArrived(2, 5000));

  EXPECT_EQ(read_.ErrNo, 3560u);
  for (const char* src : {"10.1.2.3", "10.1.2.9"}) {
    MsgHeader h;
    std::string data;
    ASSERT_TRUE(Next(&h, &data));
    EXPECT_EQ(h.dataleng, 28u);
    EXPECT_EQ(h.srcAddr, plat::inet_addr(src));
  }
  EXPECT_TRUE(log_.Has(std::string("DEBUG: ") + readLine)) << log_.Raw();
  EXPECT_TRUE(log_.Has(std::string("DEBUG: In Read socket call recvfrom(). ") + shouldLine))
      << log_.Raw();
  EXPECT_EQ(StopCounter.load(), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ShortDatagramTest,
    ::testing::Values(ShortCase{39, 0xFFFFFFFF, MSG_ALIVE,
                                "Read thread read 39 bit msg . Type: 1; data length:-1",
                                "Should receive:4294967335, but recv:39"},
                      ShortCase{28, 0xFFFFFFF4, MSG_ALIVE,
                                "Read thread read 28 bit msg . Type: 1; data length:-12",
                                "Should receive:4294967324, but recv:28"},
                      // dataleng lies beyond the 10 bytes that came: reported as 0, not as
                      // the 28 the buffer still holds.
                      ShortCase{10, 28, 0x77,
                                "Read thread read 10 bit msg . Type: 77; data length:0",
                                "Should receive:40, but recv:10"}));

TEST_F(ReadThreadTest, EmptyDatagramIsLoggedWith3580AndDropped) {
  StartMaster();
  Init();
  Start();
  Send(std::string());
  Send(CoorAlive());
  ASSERT_TRUE(master_->WaitArrived(1, 5000));
  EXPECT_EQ(read_.ErrNo, 3580u);
  EXPECT_TRUE(log_.Has("DEBUG: Read thread read 0 bit msg . Type: 0; data length:0"));
  // This one has no colon after "system error".
  EXPECT_TRUE(log_.Has(Text(
      "ERR: In Read socket call recvfrom(). Local error:3580, system error%08x", read_.SysError)))
      << log_.Raw();
  EXPECT_EQ(StopCounter.load(), 0u);
  EXPECT_FALSE(log_.Has("ERR: Read thread error in fuction read_socket()"));
}

// A failure of the socket itself still ends the thread.
TEST_F(ReadThreadTest, ClosedSocketEndsTheThreadWith3570) {
  StartMaster();
  Init();
  Start();
  Send(std::string());
  ASSERT_TRUE(
      WaitForLogLine(log_, "ERR: In Read socket call recvfrom(). Local error:3580", 1, 5000));
  read_.close_socket();
  ASSERT_TRUE(worker_->WaitEnded(5000));
  EXPECT_EQ(read_.ErrNo, 3570u);
  EXPECT_EQ(StopCounter.load(), 1u);
  EXPECT_TRUE(log_.Has("ERR: Read thread error in fuction read_socket()"));
}

TEST_F(ReadThreadTest, SequenceZeroRepeatsAreAllPassedOn) {
  StartMaster();
  Init();
  Start();
  for (int i = 0; i < 3; ++i) Send(CoorAlive(0));
  ASSERT_TRUE(master_->WaitArrived(3, 5000));
  for (int i = 0; i < 3; ++i) {
    MsgHeader h;
    std::string data;
    ASSERT_TRUE(Next(&h, &data));
    EXPECT_EQ(h.sequence, 0u);
    EXPECT_EQ(h.type, MSG_ALIVE);
  }
  EXPECT_EQ(log_.CountPrefix("DEBUG: Read thread drop message"), 0);
  EXPECT_EQ(read_.RecentPos, 0u);  // sequence 0 is never remembered
}

TEST_F(ReadThreadTest, RepeatedNumberedMessageIsDroppedUntilFiveOthersCame) {
  StartMaster();
  Init();
  Start();
  struct Triple {
    uint32_t type, sequence;
    const char* src;
  };
  const Triple A{MSG_ALIVE, 7, "10.0.0.1"};
  const Triple sent[] = {
      A,
      A,  // dropped
      {MSG_ALIVE, 8, "10.0.0.1"},
      {MSG_ALIVE, 7, "10.0.0.2"},  // differs only in srcAddr
      {0x20, 7, "10.0.0.1"},       // differs only in type
      {MSG_ALIVE, 0, "10.0.0.1"},  // sequence 0: passes, not remembered
      {MSG_ALIVE, 9, "10.0.0.1"},
      A,  // still among the last five numbered: dropped
      {MSG_ALIVE, 10, "10.0.0.1"},
      A,                      // five others since: accepted again
      A,                      // dropped
      {0x99, 0, "10.0.0.9"},  // marker
  };
  const int acceptedIndex[] = {0, 2, 3, 4, 5, 6, 8, 9, 11};
  for (const auto& t : sent) Send(CoorAlive(t.sequence, t.src, t.type));
  const int accepted = static_cast<int>(std::size(acceptedIndex));
  ASSERT_TRUE(master_->WaitArrived(accepted, 5000));

  for (int i : acceptedIndex) {
    MsgHeader h;
    std::string data;
    ASSERT_TRUE(Next(&h, &data));
    EXPECT_EQ(h.type, sent[i].type) << "message " << i;
    EXPECT_EQ(h.sequence, sent[i].sequence) << "message " << i;
    EXPECT_EQ(h.srcAddr, Addr(sent[i].src)) << "message " << i;
  }
  EXPECT_EQ(master_->Arrived(), accepted);
  EXPECT_EQ(log_.Count("DEBUG: Read thread drop message 1"), 3);
  EXPECT_EQ(log_.CountPrefix("DEBUG: Read thread drop message"), 3);
  EXPECT_EQ(read_.RecentPos, 2u);  // seven numbered messages remembered
}

TEST_F(ReadThreadTest, RememberedMessagesSurviveInit) {
  StartMaster();
  Init();
  Start();
  Send(CoorAlive(5, "10.0.0.5"));
  ASSERT_TRUE(master_->WaitArrived(1, 5000));
  ASSERT_TRUE(WaitForLogLine(log_, "DEBUG: Enter: CRead::read_socket()", 2, 5000));
  read_.close_socket();
  ASSERT_TRUE(worker_->WaitEnded(5000));
  worker_.reset();

  // A restart: same object, new socket and buffer.
  StopCounter = 0;
  ASSERT_EQ(read_.init(), 0);
  EXPECT_EQ(read_.RecentPos, 1u);
  EXPECT_EQ(read_.RecentMsg[0].type, MSG_ALIVE);
  EXPECT_EQ(read_.RecentMsg[0].sequence, 5u);
  EXPECT_EQ(read_.RecentMsg[0].srcAddr, Addr("10.0.0.5"));
  Start();
  Send(CoorAlive(5, "10.0.0.5"));
  Send(CoorAlive(0, "10.0.0.6"));
  ASSERT_TRUE(master_->WaitArrived(2, 5000));

  MsgHeader h;
  std::string data;
  ASSERT_TRUE(Next(&h, &data));
  EXPECT_EQ(h.srcAddr, Addr("10.0.0.5"));
  ASSERT_TRUE(Next(&h, &data));
  EXPECT_EQ(h.srcAddr, Addr("10.0.0.6"));  // the repeat in between was dropped
  EXPECT_EQ(log_.Count("DEBUG: Read thread drop message 1"), 1);
  EXPECT_EQ(master_->Arrived(), 2);
}

TEST_F(ReadThreadTest, PostIsRetriedEvery10msUntilTheMasterHasItsQueue) {
  StartMaster(300);
  Init();
  Start();
  auto sent = std::chrono::steady_clock::now();
  Send(CoorAlive());
  ASSERT_TRUE(master_->WaitArrived(1, 5000));
  auto waitedMs =
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - sent)
          .count();

  const std::string retry =
      "DEBUG: Read thread postmesage to Master thread again. system err:000005a4";
  int retries = log_.Count(retry);
  EXPECT_GE(retries, 1);
  EXPECT_LE(retries, waitedMs / 10 + 1) << "retried faster than every 10 ms";
  EXPECT_EQ(log_.CountPrefix("DEBUG: Read thread postmesage"), retries);
  EXPECT_EQ(master_->Arrived(), 1);
  MsgHeader h;
  std::string data;
  ASSERT_TRUE(Next(&h, &data));
  EXPECT_EQ(data.size(), 28u);
  EXPECT_EQ(StopCounter.load(), 0u);
}

TEST_F(ReadThreadTest, PostRetriesStopWhenStopCounterRises) {
  StartMaster(MasterStandIn::kNever);
  Init();
  Start();
  Send(CoorAlive());
  ASSERT_TRUE(
      WaitForLogLine(log_, "DEBUG: Read thread postmesage to Master thread again.", 2, 5000));
  StopCounter = 1;
  ASSERT_TRUE(worker_->WaitEnded(5000));
  EXPECT_EQ(StopCounter.load(), 2u);  // the thread's own increment
  EXPECT_EQ(read_.ErrNo, 0u);
  EXPECT_EQ(log_.CountPrefix("ERR:"), 0);
  EXPECT_EQ(read_.Socket.load(), plat::kINVALID_SOCKET);
  EXPECT_EQ(master_->Arrived(), 0);
}

TEST_F(ReadThreadTest, ClosingTheSocketUnderTheWaitingThreadEndsItWith3570) {
  StartMaster();
  Init();
  Start();
  ASSERT_TRUE(WaitForLogLine(log_, "DEBUG: Enter: CRead::read_socket()", 1, 5000));
  read_.close_socket();
  ASSERT_TRUE(worker_->WaitEnded(5000));
  EXPECT_EQ(worker_->ExitCode(), 0u);
  EXPECT_EQ(read_.ErrNo, 3570u);
  EXPECT_EQ(read_.SysError, plat::kWSAEINTR);
  EXPECT_TRUE(log_.Has("DEBUG: Read thread read -1 bit msg . Type: 0; data length:0"));
  EXPECT_TRUE(
      log_.Has("ERR: In Read socket call recvfrom(). Local error:3570, system error:00002714"));
  EXPECT_TRUE(log_.Has("ERR: Read thread error in fuction read_socket()"));
  EXPECT_EQ(StopCounter.load(), 1u);
}

TEST_F(ReadThreadTest, BrokenPipeEndsTheThreadWith3620) {
  StartMaster();
  Init();
  plat::CloseHandle(pipeRead_);
  Start();
  Send(CoorAlive());
  ASSERT_TRUE(worker_->WaitEnded(5000));
  EXPECT_EQ(read_.ErrNo, 3620u);
  EXPECT_EQ(read_.SysError, plat::kERROR_NO_DATA);
  EXPECT_TRUE(
      log_.Has("ERR: Read thread write msg head to master by pipe error . Local error:3620, system "
               "error:000000e8"));
  EXPECT_TRUE(log_.Has("ERR: Function write_to_master error in Read thread()"));
  EXPECT_EQ(master_->Arrived(), 0);
  EXPECT_EQ(StopCounter.load(), 1u);
  EXPECT_EQ(read_.Socket.load(), plat::kINVALID_SOCKET);
}

TEST_F(ReadThreadTest, InitReportsAPortInUse) {
  UdpPeer holder;
  ASSERT_TRUE(holder.Bind("0.0.0.0", 0));
  read_.Port = plat::htons(holder.port());
  EXPECT_EQ(read_.init(), -1);
  EXPECT_EQ(read_.ErrNo, 3530u);
  EXPECT_EQ(read_.SysError, plat::kWSAEADDRINUSE);
  EXPECT_EQ(read_.Socket.load(), plat::kINVALID_SOCKET);
  EXPECT_TRUE(log_.Has("ERR: In Read init call bind(). Local error:3530, system error:00002740"));
  EXPECT_EQ(log_.CountPrefix("DEBUG: Enter: CRead::init()"), 1);
  EXPECT_EQ(log_.CountPrefix("DEBUG: Leave: CRead::init()"), 1);
}

TEST_F(ReadThreadTest, InitTwiceKeepsOneSocketOnThePort) {
  Init();
  plat::SOCKET first = read_.Socket.load();
  ASSERT_NE(first, plat::kINVALID_SOCKET);
  ASSERT_NE(read_.Buffer, nullptr);
  // The earlier socket is closed rather than left holding the port.
  ASSERT_EQ(read_.init(), 0);
  EXPECT_NE(read_.Socket.load(), first);
  EXPECT_EQ(plat::closesocket(first), plat::kSOCKET_ERROR);
}

// Every operation leaves a Leave record for each Enter, and each exit path
// names its own source line.
TEST_F(ReadThreadTest, TraceRecordsPairUpAndNameTheirExitLines) {
  StartMaster();
  Init();
  Start();
  Send(CoorAlive());
  ASSERT_TRUE(master_->WaitArrived(1, 5000));
  std::string bad = CoorAlive();
  bad.resize(67);
  Send(bad);
  ASSERT_TRUE(
      WaitForLogLine(log_, "ERR: In Read socket call recvfrom(). Local error:3560", 1, 5000));
  read_.close_socket();
  ASSERT_TRUE(worker_->WaitEnded(5000));

  const std::regex record(
      "DEBUG: (Enter|Leave): (CRead::[a-z_]+)\\(\\), .*messaging/Read\\.cpp Line ([0-9]+)");
  std::map<std::string, int> balance;
  std::set<std::string> readSocketLeaves;
  int records = 0;
  for (const auto& line : log_.Lines()) {
    std::smatch m;
    if (!std::regex_match(line, m, record)) continue;
    ++records;
    balance[m[2]] += m[1] == "Enter" ? 1 : -1;
    if (m[1] == "Leave" && m[2] == "CRead::read_socket") readSocketLeaves.insert(m[3]);
  }
  EXPECT_GT(records, 0);
  for (const char* name : {"CRead::init", "CRead::read_thread", "CRead::read_socket",
                           "CRead::msg_header_ntoh", "CRead::write_to_master"}) {
    EXPECT_EQ(balance.count(name), 1u) << name;
    EXPECT_EQ(balance[name], 0) << name;
  }
  // The accepted and the refused datagram, and the closed socket.
  EXPECT_EQ(readSocketLeaves.size(), 3u);
}

}  // namespace

namespace {

// Only the listed coordinators' Coor_alive reach the master, judged by the
// UDP source (here 127.0.0.1), not by the srcAddr the header claims.
TEST_F(ReadThreadTest, CoordinatorAddressesDropOtherSourcesCoorAlive) {
  // Set before the thread starts: the agent never changes the list while it runs.
  ASSERT_TRUE(CKELD3Register::ParseCoordinatorAddresses(
      "10.0.0.0/8, 127.0.0.2/32", g_Config.m_CoordinatorNets, MAX_COORDINATOR_NETS,
      &g_Config.m_nCoordinatorNets));
  g_Config.m_bCoordinatorsListed = true;
  UdpPeer listed;
  ASSERT_TRUE(listed.Bind("127.0.0.2", 0));
  StartMaster();
  Init();
  Start();
  Send(CoorAlive(7, "10.1.2.3"));                // claims a listed source, comes from 127.0.0.1
  Send(CoorAlive(8, "10.1.2.3", MSG_CPU_LOAD));  // not a Coor_alive: passes
  ASSERT_TRUE(master_->WaitArrived(1, 5000));
  EXPECT_TRUE(WaitForLogLine(
      log_, "WARN: Coor_alive message from 127.0.0.1 is not from a listed coordinator, dropped", 1,
      5000));
  MsgHeader h;
  std::string data;
  ASSERT_TRUE(Next(&h, &data));
  EXPECT_EQ(h.type, MSG_CPU_LOAD);

  // Listed: accepted, and the dropped one was never remembered as a repeat.
  if (testsupport::UnderWine()) {
    GTEST_SKIP() << "Wine binds a UDP socket given a loopback address to all addresses of the "
                    "loopback interface, so one bound to 127.0.0.2 sends from 127.0.0.1";
  }
  const std::string again = CoorAlive(7, "10.1.2.3");
  ASSERT_EQ(listed.SendTo(again, "127.0.0.1", port_), static_cast<long>(again.size()));
  ASSERT_TRUE(master_->WaitArrived(2, 5000));
  ASSERT_TRUE(Next(&h, &data));
  EXPECT_EQ(h.type, MSG_ALIVE);
  EXPECT_EQ(h.sequence, 7u);
  EXPECT_EQ(log_.CountPrefix("WARN: "), 1);
}

}  // namespace
