#include <gtest/gtest.h>

#include <string>

#include "service/Shared.h"
#include "service/keld4.h"
#include "service/ServiceFixture.h"

namespace {

// Runs the start-up as a plain process and answers what it printed.
class Startup : public ServiceFixture {
 protected:
  std::string RunAgent() {
    _Module.Prepare(nullptr, 100, "{9D4C7E12-3A5B-4E8F-B1C6-72F0A8D3E914}");
    _Module.ServiceFlag = 0;
    testing::internal::CaptureStdout();
    _Module.Run();
    return testing::internal::GetCapturedStdout();
  }
};

}  // namespace

TEST_F(Startup, MissingValueStopsWithReadFromRegisterError) {
  Remove("PdhErrTotal");
  Install();
  EXPECT_EQ(RunAgent(), "Read from register error\n");
  std::string log = Log();
  EXPECT_NE(log.find("ERR: Read from register error\r\n"), std::string::npos) << log;
  EXPECT_NE(log.find("Get key value:PdhErrTotal error,syserror=00000002,error=1505"), std::string::npos);
  // The run's counters were written before the load, even so.
  EXPECT_NE(testsupport::ReadFile(dir.file("registry.reg")).find("\"PdhErrCount\"=dword:00000000"),
            std::string::npos);
}

TEST_F(Startup, AddressNotOnThisHostStops) {
  Set("LocalIPAddress", "10.99.99.99");
  Install();
  EXPECT_EQ(RunAgent(), "IP address has been changed since installed or somebody modified the registry.\n");
  EXPECT_NE(Log().find("ERR: IP address has been changed since installed or somebody modified the registry. Can "
                       "not find the IP address 10.99.99.99\r\n"),
            std::string::npos);
}

TEST_F(Startup, PortAbove65535Stops) {
  Set("PortNumber", 65536u);
  Install();
  EXPECT_EQ(RunAgent(), "Too large port number\n");
  EXPECT_NE(Log().find("ERR: Too large port number : 65536\r\n"), std::string::npos);
}

TEST_F(Startup, ProcessorWithoutSpeedStops) {
  plat::SetProcessorSourceForTest([] { return std::vector<int64_t>{2400, -1}; });
  Install();
  EXPECT_EQ(RunAgent(), "Get CPU Information error\n");
  EXPECT_NE(Log().find("ERR: Get CPU Information error\r\n"), std::string::npos);
}

TEST_F(Startup, EventSourceKeyIsWrittenAtEveryStart) {
  Set("PortNumber", 65536u);  // stops right after the event source step
  Install();
  RunAgent();
  std::string store = testsupport::ReadFile(dir.file("registry.reg"));
  auto at = store.find("[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\keld4]");
  ASSERT_NE(at, std::string::npos) << store;
  EXPECT_NE(store.find("\"TypesSupported\"=dword:00000007", at), std::string::npos);
  EXPECT_NE(store.find("\"EventMessageFile\"=hex(2):", at), std::string::npos);
}
