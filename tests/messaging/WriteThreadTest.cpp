// SPDX-License-Identifier: Apache-2.0
// The send thread over a real pipe and real loopback UDP.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <tuple>

#include "log/Log.h"
#include "messaging/Read.h"
#include "messaging/Workers.h"
#include "messaging/Write.h"
#include "tests/messaging/DatagramSupport.h"

using namespace dgram;

namespace {

// Headers as the master builds them.
WireFields AgentFields(uint32_t type, uint32_t dataleng, const char* des = "127.0.0.1") {
  WireFields f;
  f.desId = 4;
  f.type = type;
  f.dataleng = dataleng;
  f.id = AGENT_ID;
  f.srcAddr = "127.0.0.1";
  f.desAddr = des;
  return f;
}

WireFields DownFields() {
  WireFields f = AgentFields(MSG_DOWN, 0);
  f.sequence = 1;
  f.param = 4;
  return f;
}

std::string AlivePayload() {
  AliveData alive{};
  alive.Ostype = plat::htons(4);
  std::snprintf(alive.Mac, sizeof(alive.Mac), "%s", "00-11-22-33-44-55");
  alive.Freq = plat::htonl(2400);
  return Bytes(&alive, sizeof(alive));
}

// The alive example of the message format: agent 192.168.1.10, coordinator
// 192.168.1.1, OSID 4, MAC 00-11-22-33-44-55, 2400 MHz.
const char* const kAliveExample =
    "00 00 00 04 00 00 00 01 00 00 00 00 00 00 00 00 "
    "00 00 00 18 00 00 00 01 C0 A8 01 0A C0 A8 01 01 "
    "00 00 00 00 00 00 00 00 00 04 30 30 2D 31 31 2D "
    "32 32 2D 33 33 2D 34 34 2D 35 35 00 00 00 09 60";

class WriteThreadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    StopCounter = 0;
    ASSERT_TRUE(plat::CreatePipe(&pipeRead_, &pipeWrite_, nullptr, 0));
    write_.InPipe = &pipeRead_;
    ASSERT_TRUE(receiver_.Bind("127.0.0.1", 0));
    write_.Port = plat::htons(receiver_.port());
    ASSERT_EQ(write_.init(), 0);
  }

  void TearDown() override {
    worker_.reset();
    write_.close_socket();
    plat::CloseHandle(pipeRead_);
    plat::CloseHandle(pipeWrite_);
    StopCounter = 0;
  }

  void Start() {
    worker_ = std::make_unique<Worker>([this] { return write_.write_thread(); },
                                       [this] {
                                         StopCounter = 1;
                                         plat::CloseHandle(pipeWrite_);
                                       });
  }

  void Put(const WireFields& f, const std::string& data = std::string()) {
    MsgHeader h = HostHeader(f);
    ASSERT_TRUE(WritePipe(pipeWrite_, &h, sizeof(h)));
    if (!data.empty()) {
      ASSERT_TRUE(WritePipe(pipeWrite_, data.data(), data.size()));
    }
  }

  std::string Left(size_t n) {
    std::string rest(n, '\0');
    plat::DWORD got = 0;
    if (!plat::ReadFile(pipeRead_, rest.data(), static_cast<plat::DWORD>(n), &got, nullptr)) {
      return std::string();
    }
    rest.resize(got);
    return rest;
  }

  LogCapture log_;
  CWrite write_;
  plat::HANDLE pipeRead_ = nullptr;
  plat::HANDLE pipeWrite_ = nullptr;
  UdpPeer receiver_;
  std::unique_ptr<Worker> worker_;
};

TEST_F(WriteThreadTest, DownMessageIsOneReadAndOneDatagramAndEndsTheThread) {
  Put(DownFields());
  ASSERT_TRUE(WritePipe(pipeWrite_, "SENTINEL", 8));
  Start();
  ASSERT_TRUE(worker_->WaitEnded(5000));

  // Ended on its own: StopCounter was still 0 before its own increment.
  EXPECT_EQ(StopCounter.load(), 1u);
  EXPECT_EQ(worker_->ExitCode(), 0u);
  EXPECT_EQ(write_.ErrNo, 0u);
  EXPECT_EQ(write_.Socket.load(), plat::kINVALID_SOCKET);
  std::string datagram;
  ASSERT_TRUE(receiver_.Receive(&datagram, 5000));
  EXPECT_EQ(Hex(datagram), Hex(WireHeader(DownFields())));
  ASSERT_EQ(datagram.size(), 40u);
  EXPECT_EQ(Hex(datagram.substr(4, 4)), "00 00 50 01");
  EXPECT_EQ(Hex(datagram.substr(12, 4)), "00 00 00 01");
  EXPECT_FALSE(receiver_.Receive(&datagram, 100));
  EXPECT_EQ(Left(8), "SENTINEL");  // exactly 40 bytes were taken

  int at = log_.Find("DEBUG: write message type:5001");
  ASSERT_GE(at, 0);
  auto lines = log_.Lines();
  ASSERT_GE(lines.size(), static_cast<size_t>(at + 7));
  EXPECT_EQ(lines[at + 1], "DEBUG: write message dataleng:0");
  EXPECT_EQ(lines[at + 2], "DEBUG: write message status:0");
  EXPECT_EQ(lines[at + 3], "DEBUG: write message srcAddr:127.0.0.1");
  EXPECT_EQ(lines[at + 4], "DEBUG: write message desAddr:127.0.0.1");
  EXPECT_EQ(lines[at + 5], "DEBUG: write message sequence:1");
  EXPECT_EQ(lines[at + 6], "DEBUG: write message id:1");
  EXPECT_TRUE(log_.Has("DEBUG: Write thread write 40 bit msg header to socket. Msg type 5001"));
}

TEST_F(WriteThreadTest, CpuLoadAndAliveLeaveInOrderAndTheThreadKeepsRunning) {
  Start();
  Put(AgentFields(MSG_CPU_LOAD, CPU_LOAD_DATA_SIZE), std::string("\x00\x00\x00\x2A", 4));
  Put(AgentFields(MSG_ALIVE, ALIVE_DATA_SIZE), AlivePayload());

  std::string datagram;
  ASSERT_TRUE(receiver_.Receive(&datagram, 5000));
  ASSERT_EQ(datagram.size(), 44u);
  EXPECT_EQ(Hex(datagram.substr(4, 4)), "01 20 00 01");
  EXPECT_EQ(Hex(datagram.substr(40)), "00 00 00 2A");
  ASSERT_TRUE(receiver_.Receive(&datagram, 5000));
  ASSERT_EQ(datagram.size(), 64u);
  EXPECT_EQ(Hex(datagram.substr(40)), Hex(AlivePayload()));  // payload bytes unchanged

  EXPECT_FALSE(worker_->WaitEnded(100));
  EXPECT_EQ(StopCounter.load(), 0u);
  EXPECT_TRUE(log_.Has("DEBUG: Write thread write 44 bit msg header to socket. Msg type 1200001"));
  EXPECT_TRUE(log_.Has("DEBUG: Write thread write 64 bit msg header to socket. Msg type 1"));
  EXPECT_TRUE(log_.Has("DEBUG: write message dataleng:4"));
}

// The example on loopback: every byte as given except the destination, which
// has to be a loopback address here (the next test covers it exactly).
TEST_F(WriteThreadTest, AliveExampleOnLoopback) {
  WireFields f = AgentFields(MSG_ALIVE, ALIVE_DATA_SIZE);
  f.srcAddr = "192.168.1.10";
  Put(f, AlivePayload());
  Start();
  std::string datagram;
  ASSERT_TRUE(receiver_.Receive(&datagram, 5000));
  std::string expected = kAliveExample;
  expected.replace(28 * 3, 11, "7F 00 00 01");
  EXPECT_EQ(Hex(datagram), expected);
}

TEST_F(WriteThreadTest, BroadcastDestinationIsPermitted) {
  UdpPeer listener;  // broadcasts reach sockets bound to all addresses
  ASSERT_TRUE(listener.Bind("0.0.0.0", 0));
  write_.Port = plat::htons(listener.port());
  // Without the broadcast option the same send is refused.
  UdpPeer plain;
  plat::SetLastError(0);
  EXPECT_EQ(plain.SendTo("x", "127.255.255.255", listener.port()), plat::kSOCKET_ERROR);
  EXPECT_EQ(plat::WSAGetLastError(), plat::kWSAEACCES);

  Put(AgentFields(MSG_CPU_LOAD, CPU_LOAD_DATA_SIZE, "127.255.255.255"), std::string(4, '\x07'));
  Start();
  std::string datagram;
  ASSERT_TRUE(listener.Receive(&datagram, 5000));
  EXPECT_EQ(datagram.size(), 44u);
  EXPECT_EQ(write_.ErrNo, 0u);
  EXPECT_TRUE(log_.Has("DEBUG: write message desAddr:127.255.255.255"));
}

TEST_F(WriteThreadTest, MessageThatCameAfterStopCounterRoseIsSentButNothingAfterIt) {
  Start();
  ASSERT_TRUE(WaitForLogLine(log_, "DEBUG: Enter: CWrite::read_from_master()", 1, 5000));
  StopCounter = 1;
  Put(AgentFields(MSG_CPU_LOAD, CPU_LOAD_DATA_SIZE), std::string(4, '\x01'));
  Put(DownFields());
  ASSERT_TRUE(worker_->WaitEnded(5000));

  std::string datagram;
  ASSERT_TRUE(receiver_.Receive(&datagram, 5000));
  EXPECT_EQ(datagram.size(), 44u);
  EXPECT_FALSE(receiver_.Receive(&datagram, 100));
  EXPECT_EQ(StopCounter.load(), 2u);
  MsgHeader h;
  std::string data;
  ASSERT_TRUE(ReadPipeMessage(pipeRead_, &h, &data));
  EXPECT_EQ(h.type, MSG_DOWN);  // still waiting in the pipe
}

TEST_F(WriteThreadTest, ClosingThePipeUnderTheWaitingThreadEndsItWith4040) {
  Start();
  ASSERT_TRUE(WaitForLogLine(log_, "DEBUG: Enter: CWrite::read_from_master()", 1, 5000));
  plat::CloseHandle(pipeWrite_);
  ASSERT_TRUE(worker_->WaitEnded(5000));
  EXPECT_EQ(worker_->ExitCode(), 0u);
  EXPECT_EQ(write_.ErrNo, 4040u);
  EXPECT_EQ(write_.SysError, plat::kERROR_BROKEN_PIPE);
  EXPECT_TRUE(log_.Has("ERR: In CWrite read pipe. Local error:4040, system error:0000006d"));
  EXPECT_TRUE(log_.Has("ERR: Write thread error in fuction read_from_master()"));
  EXPECT_EQ(StopCounter.load(), 1u);
  EXPECT_EQ(write_.Socket.load(), plat::kINVALID_SOCKET);
}

// (bytes the master got out before it vanished, ErrNo, DEBUG line or "")
using CutCase = std::tuple<std::string, uint32_t, const char*>;
class CutStreamTest : public WriteThreadTest, public ::testing::WithParamInterface<CutCase> {};

TEST_P(CutStreamTest, EndsTheThreadWithTheReadsNumber) {
  auto [bytes, errNo, debugLine] = GetParam();
  ASSERT_TRUE(WritePipe(pipeWrite_, bytes.data(), bytes.size()));
  plat::CloseHandle(pipeWrite_);
  Start();
  ASSERT_TRUE(worker_->WaitEnded(5000));
  EXPECT_EQ(write_.ErrNo, errNo);
  char err[128];
  std::snprintf(err, sizeof(err), "ERR: In CWrite read pipe. Local error:%u, system error:%08x",
                errNo, write_.SysError);
  EXPECT_TRUE(log_.Has(err)) << log_.Raw();
  if (*debugLine != '\0') {
    EXPECT_TRUE(log_.Has(debugLine)) << log_.Raw();
  }
  EXPECT_TRUE(log_.Has("ERR: Write thread error in fuction read_from_master()"));
  std::string datagram;
  EXPECT_FALSE(receiver_.Receive(&datagram, 100));
  EXPECT_EQ(StopCounter.load(), 1u);
}

std::string HeaderWithData(uint32_t dataleng, size_t dataBytes) {
  MsgHeader h = HostHeader(AgentFields(MSG_CPU_LOAD, dataleng));
  return Bytes(&h, sizeof(h)) + std::string(dataBytes, '\x09');
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CutStreamTest,
    ::testing::Values(CutCase{std::string(10, '\x01'), 4045u,
                              "DEBUG: In CWrite read pipe. Should read:40, but read:10"},
                      CutCase{HeaderWithData(4, 0), 4050u, ""},
                      CutCase{HeaderWithData(4, 2), 4055u,
                              "DEBUG: In CWrite read pipe. Should read:4, but read:2"}));

class OversizedDatalengTest : public WriteThreadTest,
                              public ::testing::WithParamInterface<uint32_t> {};

TEST_P(OversizedDatalengTest, IsRefusedWithoutReadingTheData) {
  Put(AgentFields(MSG_CPU_LOAD, GetParam()));
  ASSERT_TRUE(WritePipe(pipeWrite_, "tailtail", 8));
  Start();
  ASSERT_TRUE(worker_->WaitEnded(5000));
  EXPECT_EQ(write_.ErrNo, 4050u);
  EXPECT_EQ(write_.SysError, plat::kERROR_INVALID_DATA);
  char line[160];
  std::snprintf(line, sizeof(line),
                "ERR: In CWrite read pipe, data length %u exceeds 102360 bytes. Local error:4050, "
                "system error:0000000d",
                GetParam());
  EXPECT_TRUE(log_.Has(line)) << log_.Raw();
  EXPECT_TRUE(log_.Has("ERR: Write thread error in fuction read_from_master()"));
  std::string datagram;
  EXPECT_FALSE(receiver_.Receive(&datagram, 100));
  EXPECT_EQ(Left(8), "tailtail");
}

INSTANTIATE_TEST_SUITE_P(Limits, OversizedDatalengTest, ::testing::Values(102361u, 0xFFFFFFFFu));

// The largest block is read whole; IPv4 cannot carry a datagram that long,
// so the send fails and says so.
TEST_F(WriteThreadTest, LargestDatalengIsReadWholeAndAFailedSendIs4060) {
  plat::CloseHandle(pipeRead_);
  plat::CloseHandle(pipeWrite_);
  ASSERT_TRUE(plat::CreatePipe(&pipeRead_, &pipeWrite_, nullptr, 256 * 1024));
  Put(AgentFields(MSG_CPU_LOAD, MSG_MAX_DATALENG), std::string(MSG_MAX_DATALENG, '\x33'));
  ASSERT_TRUE(WritePipe(pipeWrite_, "tail", 4));
  Start();
  ASSERT_TRUE(worker_->WaitEnded(5000));
  EXPECT_EQ(write_.ErrNo, 4060u);
  EXPECT_EQ(write_.SysError, plat::kWSAEMSGSIZE);
  EXPECT_TRUE(log_.Has("ERR: In CWrite write socket. Local error:4060, system error:00002738"));
  EXPECT_TRUE(log_.Has("ERR: Write thread error in fuction write_socket()"));
  EXPECT_EQ(Left(4), "tail");
  EXPECT_EQ(StopCounter.load(), 1u);
}

TEST_F(WriteThreadTest, InitAgainReplacesTheSocketAndItsTraceRecordsPairUp) {
  plat::SOCKET first = write_.Socket.load();
  ASSERT_NE(first, plat::kINVALID_SOCKET);
  ASSERT_NE(write_.Buffer, nullptr);
  ASSERT_EQ(write_.init(), 0);
  EXPECT_NE(write_.Socket.load(), first);
  EXPECT_EQ(plat::closesocket(first), plat::kSOCKET_ERROR);  // closed already
  EXPECT_EQ(log_.CountPrefix("DEBUG: Enter: CWrite::init(), "), 2);
  EXPECT_EQ(log_.CountPrefix("DEBUG: Leave: CWrite::init(), "), 2);
}

// msg_header_hton and msg_header_ntoh: the wire order, and the addresses
// never touched.
TEST(HeaderOrder, HostToNetworkAndBackKeepsAddressesAndFields) {
  LogCapture log;
  WireFields f = AgentFields(MSG_CPU_LOAD, 4, "192.168.1.1");
  f.srcAddr = "192.168.1.10";
  f.status = 0x01020304;
  f.sequence = 0x0A0B0C0D;
  f.param = 0x11223344;
  f.reserved = 0x55667788;
  const MsgHeader original = HostHeader(f);
  MsgHeader h = original;
  CWrite w;
  CRead r;
  EXPECT_EQ(w.msg_header_hton(&h), 0);
  EXPECT_EQ(Hex(Bytes(&h, sizeof(h))), Hex(WireHeader(f)));
  EXPECT_EQ(Hex(Bytes(&h, sizeof(h)).substr(4, 4)), "01 20 00 01");
  EXPECT_EQ(Hex(Bytes(&h, sizeof(h)).substr(24, 8)), "C0 A8 01 0A C0 A8 01 01");
  EXPECT_EQ(r.msg_header_ntoh(&h), 0);
  EXPECT_EQ(Hex(Bytes(&h, sizeof(h))), Hex(Bytes(&original, sizeof(original))));
  EXPECT_EQ(log.CountPrefix("DEBUG: Enter: CWrite::msg_header_hton()"), 1);
  EXPECT_EQ(log.CountPrefix("DEBUG: Leave: CRead::msg_header_ntoh()"), 1);
}

// The exact 64 bytes of the example need the coordinator's own address, so
// the test runs itself again inside a network namespace of its own, where
// 192.168.1.1 and 192.168.1.10 live on the namespace's loopback.
TEST(AliveExample, ExactBytesInOwnNetworkNamespace) {
  if (!testsupport::InOwnNetworkNamespace()) {
    testsupport::RunAgainInOwnNetworkNamespace();
    return;
  }

  ASSERT_EQ(std::system("ip link set lo up && ip addr add 192.168.1.10/32 dev lo && "
                        "ip addr add 192.168.1.1/32 dev lo"),
            0);
  LogCapture log;
  StopCounter = 0;
  UdpPeer coordinator;
  ASSERT_TRUE(coordinator.Bind("192.168.1.1", 0));
  plat::HANDLE pipeRead = nullptr;
  plat::HANDLE pipeWrite = nullptr;
  ASSERT_TRUE(plat::CreatePipe(&pipeRead, &pipeWrite, nullptr, 0));
  CWrite w;
  w.InPipe = &pipeRead;
  w.Port = plat::htons(coordinator.port());
  ASSERT_EQ(w.init(), 0);
  {
    Worker worker([&w] { return w.write_thread(); },
                  [&] {
                    StopCounter = 1;
                    plat::CloseHandle(pipeWrite);
                  });
    WireFields f = AgentFields(MSG_ALIVE, ALIVE_DATA_SIZE, "192.168.1.1");
    f.srcAddr = "192.168.1.10";
    MsgHeader h = HostHeader(f);
    ASSERT_TRUE(WritePipe(pipeWrite, &h, sizeof(h)));
    std::string payload = AlivePayload();
    ASSERT_TRUE(WritePipe(pipeWrite, payload.data(), payload.size()));
    std::string datagram;
    ASSERT_TRUE(coordinator.Receive(&datagram, 5000));
    EXPECT_EQ(Hex(datagram), kAliveExample);
  }
  plat::CloseHandle(pipeRead);
  plat::CloseHandle(pipeWrite);
  StopCounter = 0;
}

// The down message the agent sends itself at stop wakes its own receive
// thread, which hands it to the master like any other.
TEST(DownMessage, ReachesTheAgentsOwnReceiveThread) {
  LogCapture log;
  StopCounter = 0;
  plat::HANDLE toMasterRead = nullptr, toMasterWrite = nullptr;
  plat::HANDLE toWriteRead = nullptr, toWriteWrite = nullptr;
  ASSERT_TRUE(plat::CreatePipe(&toMasterRead, &toMasterWrite, nullptr, 0));
  ASSERT_TRUE(plat::CreatePipe(&toWriteRead, &toWriteWrite, nullptr, 0));
  MasterStandIn master;
  std::atomic<plat::DWORD> masterId{master.id()};
  CRead r;
  r.OutPipe = &toMasterWrite;
  r.MasterThreadId = &masterId;
  int tries = 0;
  do {
    r.Port = plat::htons(FreePort());
  } while (r.init() != 0 && ++tries < 5);
  ASSERT_LT(tries, 5);
  CWrite w;
  w.InPipe = &toWriteRead;
  w.Port = r.Port;
  ASSERT_EQ(w.init(), 0);
  {
    Worker reader([&r] { return r.read_thread(); },
                  [&] {
                    StopCounter = 1;
                    r.close_socket();
                  });
    Worker writer([&w] { return w.write_thread(); },
                  [&] {
                    StopCounter = 1;
                    plat::CloseHandle(toWriteWrite);
                  });
    // As at a real stop, the receive thread already waits for a datagram.
    ASSERT_TRUE(WaitForLogLine(log, "DEBUG: Enter: CRead::read_socket()", 1, 5000));
    MsgHeader down = HostHeader(DownFields());
    ASSERT_TRUE(WritePipe(toWriteWrite, &down, sizeof(down)));
    ASSERT_TRUE(writer.WaitEnded(5000));
    ASSERT_TRUE(master.WaitArrived(1, 5000));
    MsgHeader h;
    std::string data;
    ASSERT_TRUE(ReadPipeMessage(toMasterRead, &h, &data));
    EXPECT_EQ(Hex(Bytes(&h, sizeof(h))), Hex(Bytes(&down, sizeof(down))));
    EXPECT_TRUE(data.empty());
    EXPECT_TRUE(log.Has("DEBUG: Read thread read 40 bit msg . Type: 5001; data length:0"));
    EXPECT_EQ(w.ErrNo, 0u);
    EXPECT_EQ(r.ErrNo, 0u);
  }
  for (plat::HANDLE handle : {toMasterRead, toMasterWrite, toWriteRead, toWriteWrite}) {
    plat::CloseHandle(handle);
  }
  StopCounter = 0;
}

}  // namespace
