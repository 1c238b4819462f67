// SPDX-License-Identifier: Apache-2.0
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#include "config/KELD3Register.h"
#include "messaging/Read.h"
#include "messaging/Workers.h"
#include "platform/testing.h"
#include "service/keld4.h"
#include "tests/service/ServiceSupport.h"

namespace {

// Runs the start-up as a plain process and answers what it printed.
class Startup : public ServiceTest {
 protected:
  std::string RunAgent() {
    _Module.Prepare(nullptr, 100, "{9D4C7E12-3A5B-4E8F-B1C6-72F0A8D3E914}");
    _Module.ServiceFlag = 0;
    testing::internal::CaptureStdout();
    _Module.Run();
    return testing::internal::GetCapturedStdout();
  }

  plat::DWORD ExitCode() { return _Module.m_status.dwWin32ExitCode; }

  // The agent run on a thread of the test's own, with its output captured.
  // On every way out of the test, a failed assertion too, the agent is
  // stopped and joined and the capture ended: a joinable thread left behind
  // would end the program, and the failure would go unseen in the capture.
  class AgentThread {
   public:
    AgentThread() {
      testing::internal::CaptureStdout();
      thread_ = std::thread([this] {
        _Module.Run();
        ended_ = true;
      });
    }
    ~AgentThread() {
      if (thread_.joinable()) {
        while (!ended_) {
          plat::PostThreadMessageA(_Module.MainThreadId.load(), plat::kWM_QUIT, 0, 0);
          plat::Sleep(10);
        }
        thread_.join();
      }
      // What was captured holds the failure's report too: it is shown.
      if (capturing_) std::fputs(testing::internal::GetCapturedStdout().c_str(), stdout);
    }
    AgentThread(const AgentThread&) = delete;
    AgentThread& operator=(const AgentThread&) = delete;
    // Waits for the end of the run; what it printed.
    std::string Join() {
      thread_.join();
      capturing_ = false;
      return testing::internal::GetCapturedStdout();
    }

   private:
    std::thread thread_;
    std::atomic<bool> ended_{false};
    bool capturing_ = true;
  };

  // A UDP port nobody holds now, for an agent that really runs.
  static uint16_t FreePort() {
    plat::SOCKET s = plat::socket(plat::kAF_INET, plat::kSOCK_DGRAM, 0);
    plat::sockaddr_in a{};
    a.sin_family = plat::kAF_INET;
    int n = sizeof(a);
    plat::bind(s, reinterpret_cast<plat::sockaddr*>(&a), sizeof(a));
    plat::getsockname(s, reinterpret_cast<plat::sockaddr*>(&a), &n);
    plat::closesocket(s);
    return plat::ntohs(a.sin_port);
  }

  int Count(const std::string& text) {
    std::string log = Log();
    int n = 0;
    for (size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + 1)) ++n;
    return n;
  }
  bool WaitFor(const std::string& text, int count, int ms) {
    for (int i = 0; i < ms / 10; ++i) {
      if (Count(text) >= count) return true;
      plat::Sleep(10);
    }
    return false;
  }
  uint32_t StoredNumber(const char* sub, const char* name) {
    CKELD3Register reg;
    uint32_t value = 0xDEADBEEF;
    if (reg.OpenKey(sub) == 0) reg.GetKeyValue(name, &value);
    reg.CloseKey();
    return value;
  }
};

}  // namespace

TEST_F(Startup, MissingValueStopsWithReadFromRegisterError) {
  Remove("PdhErrTotal");
  Install();
  EXPECT_EQ(RunAgent(), "Read from register error\n");
  EXPECT_EQ(ExitCode(), 1u) << "a failed start is no success";
  std::string log = Log();
  EXPECT_NE(log.find("ERR: Read from register error\r\n"), std::string::npos) << log;
  EXPECT_NE(log.find("Get key value:PdhErrTotal error,syserror=00000002,error=1505"),
            std::string::npos);
  // The run's counters were written before the load, even so.
  EXPECT_NE(testsupport::StoreText(dir.file("registry.reg")).find("\"PdhErrCount\"=dword:00000000"),
            std::string::npos);
}

TEST_F(Startup, AddressNotOnThisHostStops) {
  Set("LocalIPAddress", "10.99.99.99");
  Install();
  EXPECT_EQ(RunAgent(),
            "IP address has been changed since installed or somebody modified the registry.\n");
  EXPECT_NE(
      Log().find(
          "ERR: IP address has been changed since installed or somebody modified the registry. Can "
          "not find the IP address 10.99.99.99\r\n"),
      std::string::npos);
}

TEST_F(Startup, PortAbove65535Stops) {
  Set("PortNumber", 65536u);
  Install();
  EXPECT_EQ(RunAgent(), "Too large port number\n");
  EXPECT_EQ(ExitCode(), 1u);
  EXPECT_NE(Log().find("ERR: Too large port number : 65536\r\n"), std::string::npos);
}

TEST_F(Startup, ProcessorWithoutSpeedStops) {
  plat::SetProcessorSourceForTest([] { return std::vector<int64_t>{2400, -1}; });
  Install();
  EXPECT_EQ(RunAgent(), "Get CPU Information error\n");
  EXPECT_EQ(ExitCode(), 1u);
  EXPECT_NE(Log().find("ERR: Get CPU Information error\r\n"), std::string::npos);
}

TEST_F(Startup, EventSourceKeyIsWrittenAtEveryStart) {
  Set("PortNumber", 65536u);  // stops right after the event source step
  Install();
  RunAgent();
  std::string store = testsupport::StoreText(dir.file("registry.reg"));
  auto at = store.find(
      "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\keld4]");
  ASSERT_NE(at, std::string::npos) << store;
  EXPECT_NE(store.find("\"TypesSupported\"=dword:00000007", at), std::string::npos);
  EXPECT_NE(store.find("\"EventMessageFile\"=hex(2):", at), std::string::npos);
}

// Without "Parameter" nothing is written at the start, least of all into the
// agent's own key.
TEST_F(Startup, MissingParameterKeyWritesNothingElsewhere) {
  Install();
  ASSERT_EQ(plat::RegDeleteTreeA(plat::kHKEY_LOCAL_MACHINE, "SOFTWARE\\Ostrel\\KELD4\\Parameter"),
            plat::kERROR_SUCCESS);
  EXPECT_EQ(RunAgent(), "Read from register error\n");
  EXPECT_EQ(ExitCode(), 1u);
  EXPECT_EQ(StoredNumber("", "PdhErrCount"), 0xDEADBEEFu);
  EXPECT_EQ(StoredNumber("", "PdhCalculateSkipCount"), 0xDEADBEEFu);
}

// Restarts of the workers never move the agent towards a drop-out: with a
// limit of 2, three restarts in a row leave it running with no skip counted.
// A restart that fails then ends it with exit code 1.
TEST_F(Startup, RestartsCountNoSkipAndAFailedRestartExitsOne) {
  const uint16_t port = FreePort();
  Set("PortNumber", static_cast<uint32_t>(port));
  Set("LogLevel", 15u);
  Set("PdhErrCheckCount", 2u);
  Install();
  _Module.Prepare(nullptr, 100, "{9D4C7E12-3A5B-4E8F-B1C6-72F0A8D3E914}");
  _Module.ServiceFlag = 0;
  AgentThread agent;
  const std::string generation = "Leave: CServiceModule::InitializeBefore()";
  ASSERT_TRUE(WaitFor("INFO: KELD4 service started", 1, 10000)) << Log();
  ASSERT_TRUE(WaitFor("Leave: CGetCpuLoad::refresh()", 1, 5000));
  for (int restart = 1; restart <= 3; ++restart) {
    g_Read.close_socket();  // the receive socket fails: all workers restart
    ASSERT_TRUE(WaitFor(generation, restart + 1, 10000)) << "restart " << restart << Log();
    ASSERT_TRUE(WaitFor("Leave: CGetCpuLoad::refresh()", restart + 1, 5000));
  }
  EXPECT_EQ(StoredNumber("Parameter", "PdhCalculateSkipCount"), 0u);
  EXPECT_EQ(Count("Pdh_Skip_Count"), 0);

  // The port is taken while the workers restart: the restart fails.
  g_Read.close_socket();
  plat::SOCKET holder = plat::kINVALID_SOCKET;
  for (int i = 0; i < 3000 && holder == plat::kINVALID_SOCKET; ++i) {
    plat::SOCKET s = plat::socket(plat::kAF_INET, plat::kSOCK_DGRAM, 0);
    plat::sockaddr_in a{};
    a.sin_family = plat::kAF_INET;
    a.sin_port = plat::htons(port);
    if (plat::bind(s, reinterpret_cast<plat::sockaddr*>(&a), sizeof(a)) == 0) {
      holder = s;
    } else {
      plat::closesocket(s);
      plat::Sleep(1);
    }
  }
  ASSERT_NE(holder, plat::kINVALID_SOCKET);
  bool ended = WaitFor("INFO: KELD4 service stopped", 1, 15000);
  if (!ended) plat::PostThreadMessageA(_Module.MainThreadId.load(), plat::kWM_QUIT, 0, 0);
  std::string out = agent.Join();
  plat::closesocket(holder);
  EXPECT_TRUE(ended);
  EXPECT_EQ(Count("ERR: Restore the service error"), 1) << Log();
  EXPECT_EQ(ExitCode(), 1u);
  EXPECT_NE(out.find("KELD4 service stopped\n"), std::string::npos) << out;
}

TEST_F(Startup, FailedStartWithWorkersRunningEndsThemFirst) {
  Set("PortNumber", static_cast<uint32_t>(FreePort()));
  Set("LogLevel", 15u);
  Install();
  plat::SetThreadCreateFailureForTest(3);  // master and receive threads run, the send thread fails
  std::string out = RunAgent();
  plat::SetThreadCreateFailureForTest(0);
  EXPECT_EQ(ExitCode(), 1u);
  EXPECT_NE(Log().find("ERR: Can not create write thread. System error:00000008\r\n"),
            std::string::npos);
  // Both started workers left their loops (each adds 1, the main thread 1)
  // before Run returned.
  EXPECT_TRUE(_Module.m_WorkersEnded);
  EXPECT_EQ(StopCounter.load(), 3u);
  EXPECT_EQ(Count("Leave: CMaster::master_thread()"), 1) << Log();
  EXPECT_EQ(Count("Leave: CRead::read_thread()"), 1) << Log();
  EXPECT_EQ(out.find("KELD4 service started"), std::string::npos) << out;
}
