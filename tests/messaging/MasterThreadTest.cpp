// SPDX-License-Identifier: Apache-2.0
// The master's event loop on a thread of its own: the messages it writes into
// master_to_write, how it ends, and the down message after it.
#include <atomic>

#include "platform/testing.h"
#include "tests/messaging/MasterSupport.h"

using namespace mastertest;

namespace {

class MasterThreadTest : public MasterTest {
 protected:
  void ExpectDownMessage(const std::vector<uint8_t>& bytes, size_t offset) {
    ASSERT_EQ(bytes.size(), offset + 40) << "the down message is the last thing written";
    MsgHeader h = HeaderAt(bytes, offset);
    EXPECT_EQ(h.desId, 4u);
    EXPECT_EQ(h.type, 0x5001u);
    EXPECT_EQ(h.status, 0u);
    EXPECT_EQ(h.sequence, 1u);
    EXPECT_EQ(h.dataleng, 0u);
    EXPECT_EQ(h.id, 1u);
    EXPECT_EQ(h.srcAddr, Addr("192.168.1.10"));
    EXPECT_EQ(h.desAddr, Addr("192.168.1.10"));
    EXPECT_EQ(h.param, master->OSID);
    EXPECT_EQ(h.reserved, 0u);
  }
};

TEST_F(MasterThreadTest, QuitWritesOnlyTheDownMessage) {
  StartThread();
  ASSERT_TRUE(Post(plat::kWM_QUIT));
  EXPECT_EQ(Join(), 0u);
  EXPECT_EQ(StopCounter.load(), 1u) << "the master raises the counter however its loop ends";
  EXPECT_EQ(master->OSID, 0) << "not the NT platform";
  ExpectDownMessage(Written(), 0);
  EXPECT_EQ(CountLines(Lines(), "DEBUG: Master_thread send down message to write thread success."),
            1);
}

TEST_F(MasterThreadTest, AliveMessageCarriesThePayloadBytes) {
  master->CoordinatorAddr = Addr("192.168.1.1");
  StartThread();
  ASSERT_TRUE(Post(WM_SEND_ALIVE));
  ASSERT_TRUE(Post(plat::kWM_QUIT));
  EXPECT_EQ(Join(), 0u);

  std::vector<uint8_t> bytes = Written();
  ASSERT_GE(bytes.size(), 64u);
  MsgHeader h = HeaderAt(bytes, 0);
  EXPECT_EQ(h.desId, 4u);
  EXPECT_EQ(h.type, 1u);
  EXPECT_EQ(h.status, 0u);
  EXPECT_EQ(h.sequence, 0u);
  EXPECT_EQ(h.dataleng, 24u);
  EXPECT_EQ(h.id, 1u);
  EXPECT_EQ(h.srcAddr, Addr("192.168.1.10"));
  EXPECT_EQ(h.desAddr, Addr("192.168.1.1"));
  EXPECT_EQ(h.param, 0u);
  EXPECT_EQ(h.reserved, 0u);
  const uint8_t expected[24] = {0x00, 0x00, '0', '0', '-', '1', '1', '-', '2',  '2',  '-',  '3',
                                '3',  '-',  '4', '4', '-', '5', '5', 0,   0x00, 0x00, 0x09, 0x60};
  EXPECT_EQ(std::vector<uint8_t>(bytes.begin() + 40, bytes.begin() + 64),
            std::vector<uint8_t>(expected, expected + 24));
  ExpectDownMessage(bytes, 64);

  auto lines = Lines();
  EXPECT_EQ(CountLines(lines, "DEBUG: CPU speed of this host is: 2400 "), 1);
  EXPECT_EQ(CountLines(lines, "DEBUG: MacAddr of UDP is: 00-11-22-33-44-55 , UDP port is 45002"),
            1);
  EXPECT_EQ(CountLines(lines, "DEBUG:  Ostype= 0, Mac=00-11-22-33-44-55 ,Freq=00000960"), 1);
}

TEST_F(MasterThreadTest, MacTextIsZeroPaddedWhateverTheSettingHolds) {
  // Leftovers after the terminator, then a setting without any terminator.
  std::memcpy(g_Config.LocalMacAddress, "AB\0XYZXYZXYZXYZXY", 18);
  StartThread();
  ASSERT_TRUE(Post(WM_SEND_ALIVE));
  ASSERT_TRUE(Post(plat::kWM_QUIT));
  Join();
  std::vector<uint8_t> bytes = Written();
  ASSERT_GE(bytes.size(), 64u);
  std::vector<uint8_t> mac(bytes.begin() + 42, bytes.begin() + 60);
  std::vector<uint8_t> want(18, 0);
  want[0] = 'A';
  want[1] = 'B';
  EXPECT_EQ(mac, want);

  std::memset(g_Config.LocalMacAddress, 'F', sizeof(g_Config.LocalMacAddress));
  ASSERT_EQ(master->get_up_data(), 0);
  EXPECT_EQ(std::string(master->AliveData.Mac, 18), std::string(17, 'F') + '\0');
}

TEST_F(MasterThreadTest, FailedAliveSendEndsTheLoopAndTheDownMessageIsTried) {
  plat::CloseHandle(toWriteRead);
  toWriteRead = nullptr;
  StartThread();
  ASSERT_TRUE(Post(WM_SEND_ALIVE));
  EXPECT_EQ(Join(), 0u) << "the loop ends without WM_QUIT";
  EXPECT_EQ(StopCounter.load(), 2u);

  auto lines = Lines();
  const std::string pipeError =
      "ERR: In CMaster write pipe. Local error:3050, system error:000000e8";
  int first = FindLine(lines, pipeError);
  ASSERT_GE(first, 0);
  int alive = FindLine(lines, "ERR: Send alive message error", first);
  ASSERT_GT(alive, first);
  EXPECT_GT(FindLine(lines, pipeError, alive), alive) << "the down message was attempted";
  EXPECT_EQ(CountLines(lines, "DEBUG: Master_thread send down message to write thread success."),
            0);
}

TEST_F(MasterThreadTest, WakeMessageMakesTheMasterSeeTheStopCounter) {
  StartThread();
  ASSERT_TRUE(Post(WM_WAKE_MASTER));  // nothing happens while the counter is 0
  ASSERT_TRUE(Post(WM_SEND_ALIVE));
  // Wait until the alive message is in the pipe, so the master is back in
  // its wait when the counter rises.
  ASSERT_EQ(ReadWithin(&toWriteRead, 64, 5000).size(), 64u);
  StopCounter = 1;
  ASSERT_TRUE(Post(WM_WAKE_MASTER));
  EXPECT_EQ(Join(), 0u);
  EXPECT_EQ(StopCounter.load(), 2u);
  ExpectDownMessage(Written(), 0);
}

TEST_F(MasterThreadTest, StopRaisedBeforeTheThreadRunsEndsItWithoutAnyPost) {
  StopCounter = 1;
  StartThread();
  EXPECT_EQ(Join(), 0u);
  EXPECT_EQ(StopCounter.load(), 2u);
  ExpectDownMessage(Written(), 0);
}

TEST_F(MasterThreadTest, OtherMessagesAreIgnoredAndReadFailureEndsTheLoop) {
  StartThread();
  ASSERT_TRUE(Post(plat::kWM_USER + 99));
  ASSERT_TRUE(Post(plat::kWM_TIMER));  // no timer procedure: dispatch does nothing
  // A WM_MSG_ARRIVED with nothing to read: the writer of read_to_master goes.
  plat::CloseHandle(toMasterWrite);
  toMasterWrite = nullptr;
  ASSERT_TRUE(Post(WM_MSG_ARRIVED));
  EXPECT_EQ(Join(), 0u);
  EXPECT_EQ(StopCounter.load(), 2u);
  auto lines = Lines();
  int pipe = FindLine(lines, "ERR: In CMaster read pipe. Local error:3010, system error:0000006d");
  ASSERT_GE(pipe, 0);
  EXPECT_GT(FindLine(lines, "ERR: Read msg from read pipe error", pipe), pipe);
  ExpectDownMessage(Written(), 0);
}

// A processor-time source whose stamps lie far apart, so no refresh is a skip:
// each sample adds 100 units of processor time, 25 of them idle (75 % load).
class CountingSource {
 public:
  plat::PDH_STATUS operator()(plat::PDH_RAW_COUNTER* sample) {
    if (failing_->load()) return plat::kPDH_NO_DATA;
    uint64_t n = ++(*calls_);
    uint64_t stamp = plat::LocalFileTimeNow() + n * 10000000000ULL;  // n * 1000 s ahead
    sample->CStatus = 0;
    sample->TimeStamp.dwLowDateTime = static_cast<plat::DWORD>(stamp);
    sample->TimeStamp.dwHighDateTime = static_cast<plat::DWORD>(stamp >> 32);
    sample->FirstValue = static_cast<int64_t>(1000 + 25 * n);
    sample->SecondValue = static_cast<int64_t>(5000 + 100 * n);
    sample->MultiCount = 2;
    return 0;
  }
  std::shared_ptr<std::atomic<uint64_t>> calls_ = std::make_shared<std::atomic<uint64_t>>(0);
  std::shared_ptr<std::atomic<bool>> failing_ = std::make_shared<std::atomic<bool>>(false);
};

TEST_F(MasterThreadTest, CpuLoadMessageCarriesTheSamplersLoadBigEndian) {
  if (testsupport::UnderWine()) {
    GTEST_SKIP() << "Wine's PdhCalculateCounterFromRawValue does not apply the counter's formula "
                    "(it answers the newer sample's FirstValue scaled by 10^-5, here 0)";
  }
  CountingSource source;
  plat::SetProcessorTimeSourceForTest(source);
  master->CoordinatorAddr = Addr("192.168.1.1");
  ASSERT_EQ(master->Sampler.init(), 0);
  ASSERT_EQ(master->send_cpu_load(), 0);
  EXPECT_EQ(master->Sampler.m_dwCpuLoad, 75u);

  std::vector<uint8_t> bytes = Written();
  ASSERT_EQ(bytes.size(), 44u);
  MsgHeader h = HeaderAt(bytes, 0);
  EXPECT_EQ(h.desId, 4u);
  EXPECT_EQ(h.type, 0x01200001u);
  EXPECT_EQ(h.status, 0u);
  EXPECT_EQ(h.sequence, 0u);
  EXPECT_EQ(h.dataleng, 4u);
  EXPECT_EQ(h.id, 1u);
  EXPECT_EQ(h.srcAddr, Addr("192.168.1.10"));
  EXPECT_EQ(h.desAddr, Addr("192.168.1.1"));
  EXPECT_EQ(h.param, 0u);
  EXPECT_EQ(h.reserved, 0u);
  EXPECT_EQ(std::vector<uint8_t>(bytes.begin() + 40, bytes.end()),
            (std::vector<uint8_t>{0, 0, 0, 75}));
}

TEST_F(MasterThreadTest, SamplerFailureCostsTheTickButNotTheLoop) {
  CountingSource source;
  *source.failing_ = true;
  plat::SetProcessorTimeSourceForTest(source);
  StartThread();
  ASSERT_TRUE(Post(WM_SEND_CPU_LOAD));
  ASSERT_TRUE(Post(WM_SEND_ALIVE));
  ASSERT_TRUE(Post(plat::kWM_QUIT));
  EXPECT_EQ(Join(), 0u);
  EXPECT_EQ(StopCounter.load(), 1u) << "only the end of the loop raised it";

  auto lines = Lines();
  EXPECT_EQ(CountLines(lines, "WARN: Send_cpu_load refresh error"), 1);
  EXPECT_EQ(CountLines(lines, "WARN: Send_cpu_load init again error"), 1);
  EXPECT_EQ(CountPrefix(lines, "WARN: "), 2);
  EXPECT_EQ(CountLines(lines, "ERR: In Master thread, send cpu load msg error"), 0);

  std::vector<uint8_t> bytes = Written();
  ASSERT_EQ(bytes.size(), 64u + 40u) << "no CPU-load message, then the alive one and the down one";
  EXPECT_EQ(HeaderAt(bytes, 0).type, MSG_ALIVE);
  ExpectDownMessage(bytes, 64);
}

TEST_F(MasterThreadTest, CpuLoadSendFailureEndsTheLoop) {
  CountingSource source;
  plat::SetProcessorTimeSourceForTest(source);
  ASSERT_EQ(master->Sampler.init(), 0);
  plat::CloseHandle(toWriteRead);
  toWriteRead = nullptr;
  StartThread();
  ASSERT_TRUE(Post(WM_SEND_CPU_LOAD));
  EXPECT_EQ(Join(), 0u);
  EXPECT_EQ(StopCounter.load(), 2u);
  auto lines = Lines();
  int send = FindLine(lines, "ERR: Send_cpu_load send_msg error");
  ASSERT_GE(send, 0);
  EXPECT_GT(FindLine(lines, "ERR: In Master thread, send cpu load msg error", send), send);
}

TEST_F(MasterThreadTest, ThreadStartRoutineRunsTheProcessMaster) {
  g_Master.WritePipe = &toWriteWrite;
  g_Master.ReadPipe = &toMasterRead;
  g_Master.LocalAddr = Addr("192.168.1.10");
  CountingSource source;
  plat::SetProcessorTimeSourceForTest(source);
  thread = plat::CreateThread(nullptr, 0, &MasterThreadStart, nullptr, 0, &threadId);
  ASSERT_NE(thread, nullptr);
  ASSERT_TRUE(Post(plat::kWM_QUIT));
  EXPECT_EQ(Join(), 0u);
  EXPECT_GE(source.calls_->load(), 1u) << "the sampler was refreshed at the start";
  std::vector<uint8_t> bytes = Written();
  ASSERT_EQ(bytes.size(), 40u);
  EXPECT_EQ(HeaderAt(bytes, 0).type, MSG_DOWN);
  g_Master.WritePipe = nullptr;
  g_Master.ReadPipe = nullptr;
}

}  // namespace
