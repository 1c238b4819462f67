// SPDX-License-Identifier: Apache-2.0
#include <gtest/gtest.h>

#include <atomic>
#include <vector>

#include "config/KELD3Register.h"
#include "messaging/Workers.h"
#include "platform/testing.h"
#include "service/keld4.h"
#include "tests/service/ServiceSupport.h"

namespace {

// Stands in for the master: a thread whose queue collects what the
// scheduler posts.
class FakeMaster {
 public:
  FakeMaster() {
    thread_ = plat::CreateThread(nullptr, 0, Main, this, 0, &id_);
    while (!ready_) plat::Sleep(1);
    MasterThreadId = id_;
  }
  ~FakeMaster() {
    plat::PostThreadMessageA(id_, plat::kWM_QUIT, 0, 0);
    plat::WaitForSingleObject(thread_, 5000);
    plat::CloseHandle(thread_);
  }
  // Messages taken so far, waiting a little for those on their way.
  std::vector<plat::UINT> Taken(size_t atLeast = 0) {
    for (int i = 0; i < 200 && count_ < atLeast; ++i) plat::Sleep(5);
    plat::Sleep(20);
    std::vector<plat::UINT> copy;
    for (size_t i = 0; i < count_; ++i) copy.push_back(messages_[i]);
    return copy;
  }

 private:
  static plat::DWORD Main(void* p) {
    auto* self = static_cast<FakeMaster*>(p);
    plat::MSG msg;
    plat::PeekMessageA(&msg, nullptr, 0, 0, plat::kPM_NOREMOVE);
    self->ready_ = true;
    while (plat::GetMessageA(&msg, nullptr, 0, 0) > 0) {
      if (self->count_ < 256) self->messages_[self->count_] = msg.message;
      ++self->count_;
    }
    return 0;
  }
  plat::HANDLE thread_;
  plat::DWORD id_ = 0;
  std::atomic<bool> ready_{false};
  plat::UINT messages_[256] = {};
  std::atomic<size_t> count_{0};
};

void Ticks(int n) {
  for (int i = 0; i < n; ++i) OnTimerTick(nullptr, plat::kWM_TIMER, 1, 0);
}

class Scheduler : public ServiceTest {
 protected:
  void SetUp() override {
    ServiceTest::SetUp();
    _Module.m_Host = ServiceHostState{};
    CpuSendPeriod = 0;
    AlivePeriod = 0;
    LogCheckPeriod = 0;
    MemoryCheckPeriod = 0;
    _Module.ProcessId = plat::GetCurrentProcessId();
  }
  void TearDown() override {
    CpuSendPeriod = AlivePeriod = LogCheckPeriod = MemoryCheckPeriod = 0;
    ServiceTest::TearDown();
  }
};

}  // namespace

TEST_F(Scheduler, PeriodsPostAtTheirPaceAndZeroIsOff) {
  FakeMaster master;
  Ticks(30);
  EXPECT_TRUE(master.Taken().empty());  // nothing before a Coor_alive
  CpuSendPeriod = 5;
  Ticks(10);
  auto taken = master.Taken(2);
  EXPECT_EQ(taken, (std::vector<plat::UINT>{WM_SEND_CPU_LOAD, WM_SEND_CPU_LOAD}));
  CpuSendPeriod = 0;
  AlivePeriod = 1;
  Ticks(3);
  taken = master.Taken(5);
  EXPECT_EQ(taken.size(), 5u);
  EXPECT_EQ(taken.back(), WM_SEND_ALIVE);
}

TEST_F(Scheduler, LoweredPeriodFiresAtTheNextTickThenAtItsPace) {
  FakeMaster master;
  AlivePeriod = 10;
  Ticks(5);
  EXPECT_TRUE(master.Taken().empty());
  AlivePeriod = 3;
  Ticks(1);
  EXPECT_EQ(master.Taken(1).size(), 1u);
  Ticks(2);
  EXPECT_EQ(master.Taken().size(), 1u);
  Ticks(1);
  EXPECT_EQ(master.Taken(2).size(), 2u);
}

TEST_F(Scheduler, CpuLoadComesBeforeAliveInOneTick) {
  FakeMaster master;
  CpuSendPeriod = 1;
  AlivePeriod = 1;
  Ticks(1);
  EXPECT_EQ(master.Taken(2), (std::vector<plat::UINT>{WM_SEND_CPU_LOAD, WM_SEND_ALIVE}));
}

TEST_F(Scheduler, LogBackupCheckRunsWhenDue) {
  Install();
  g_log.LogControl = 2;
  g_log.LogMaxSpace = 0;  // any content is over the limit
  g_log.WriteLog(INFO, "something");
  LogCheckPeriod = 2;
  Ticks(1);
  EXPECT_FALSE(testsupport::FileExists(dir.file("keld4.log.bak")));
  Ticks(1);
  EXPECT_TRUE(testsupport::FileExists(dir.file("keld4.log.bak")));
  EXPECT_NE(Log().find("DEBUG: The log file was backed up\r\n"), std::string::npos);
  g_log.LogControl = 3;
  g_log.LogMaxSpace = 10;
}

TEST_F(Scheduler, MemoryCheckRereadsTheLimitAndPassesAtEquality) {
  Install();
  size_t peak = 3000000;
  plat::SetProcessMemorySourceForTest([&](size_t* p, plat::DWORD*) {
    *p = peak;
    return true;
  });
  {
    CKELD3Register reg;
    ASSERT_EQ(reg.OpenKey("Parameter"), 0);
    ASSERT_EQ(reg.SetKeyValue("MaxMemInfo", 3000000u), 0);
    reg.CloseKey();
  }
  g_Config.MaxMemInfo = 1;  // replaced by the registry value at the check
  MemoryCheckPeriod = 1;
  Ticks(1);
  EXPECT_EQ(g_Config.MaxMemInfo.load(), 3000000u);
  EXPECT_NE(Log().find("DEBUG: Memory Leak Check :Limit=0x002dc6c0\r\n"), std::string::npos);
  EXPECT_NE(Log().find("DEBUG: Memory Leak Check :Current=0x002dc6c0\r\n"), std::string::npos);

  plat::SetProcessMemorySourceForTest([](size_t*, plat::DWORD* e) {
    *e = plat::kERROR_ACCESS_DENIED;
    return false;
  });
  ChkMemoryleak();
  EXPECT_NE(Log().find("ERR: ChkMemoryleak error, GetProcessMemoryInfo() SystemError:00000005\r\n"),
            std::string::npos);
}

TEST_F(Scheduler, OneByteOverTheLimitDropsOut) {
  Install();
  {
    CKELD3Register reg;
    ASSERT_EQ(reg.OpenKey("Parameter"), 0);
    ASSERT_EQ(reg.SetKeyValue("MaxMemInfo", 3000000u), 0);
    reg.CloseKey();
  }
  ShareLogWithDeathTest(dir.path());
  EXPECT_EXIT(
      {
        UseParentLog();
        plat::SetProcessMemorySourceForTest([](size_t* p, plat::DWORD*) {
          *p = 3000001;
          return true;
        });
        _Module.ServiceFlag = 0;
        ChkMemoryleak();
      },
      ExitedWithAllOnes, "");
  std::string log = Log();
  EXPECT_NE(log.find("ERR: Memory Leak :Limit=0x002dc6c0 < Current=0x002dc6c1\r\n"),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("ERR: Pdh_Error KELD4 service DropOut\r\n"), std::string::npos);
}
