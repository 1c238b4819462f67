// SPDX-License-Identifier: Apache-2.0
// What a Coor_alive does: the coordinator address, the three periods, the log
// level, and the registry stores that happen only when a value changes.
#include <filesystem>
#include <system_error>

#include "platform/testing.h"
#include "tests/messaging/MasterSupport.h"
#include "tests/support/StoreSupport.h"

using namespace mastertest;

namespace {

class CoorAliveTest : public MasterTest {
 protected:
  void SetUp() override {
    MasterTest::SetUp();
    CreateAgentKeys();
  }

  // The agent's key with the two subkeys the master writes into.
  static void CreateAgentKeys() {
    for (const char* sub : {"SOFTWARE\\Ostrel\\KELD4\\Parameter\\CpuLoad",
                            "SOFTWARE\\Ostrel\\KELD4\\Parameter\\Log"}) {
      plat::HKEY key = nullptr;
      plat::DWORD disposition = 0;
      ASSERT_EQ(plat::RegCreateKeyExA(plat::kHKEY_LOCAL_MACHINE, sub, 0, nullptr, 0,
                                      plat::kKEY_ALL_ACCESS, nullptr, &key, &disposition),
                plat::kERROR_SUCCESS);
      plat::RegCloseKey(key);
    }
    SetStored("Parameter\\CpuLoad", "CpuSendInterval", 2);
    SetStored("Parameter\\Log", "LogRefreshInterval", 2);
  }

  static void SetStored(const std::string& sub, const char* name, uint32_t value) {
    plat::HKEY key = nullptr;
    std::string path = "SOFTWARE\\Ostrel\\KELD4\\" + sub;
    ASSERT_EQ(plat::RegOpenKeyExA(plat::kHKEY_LOCAL_MACHINE, path.c_str(), 0, plat::kKEY_ALL_ACCESS,
                                  &key),
              plat::kERROR_SUCCESS);
    ASSERT_EQ(plat::RegSetValueExA(key, name, 0, plat::kREG_DWORD,
                                   reinterpret_cast<const plat::BYTE*>(&value), sizeof(value)),
              plat::kERROR_SUCCESS);
    plat::RegCloseKey(key);
  }

  static int64_t Stored(const std::string& sub, const char* name) {
    plat::HKEY key = nullptr;
    std::string path = "SOFTWARE\\Ostrel\\KELD4" + (sub.empty() ? "" : "\\" + sub);
    if (plat::RegOpenKeyExA(plat::kHKEY_LOCAL_MACHINE, path.c_str(), 0, plat::kKEY_READ, &key) != 0)
      return -1;
    uint32_t value = 0;
    plat::DWORD size = sizeof(value), type = 0;
    plat::LONG r = plat::RegQueryValueExA(key, name, nullptr, &type,
                                          reinterpret_cast<plat::BYTE*>(&value), &size);
    plat::RegCloseKey(key);
    return r == plat::kERROR_SUCCESS ? static_cast<int64_t>(value) : int64_t{-1};
  }

  // One Coor_alive through the real pipe and queue.
  void SendCoorAlive(const CoorAlive& c, uint32_t src, size_t size = 28) {
    Deliver(IncomingHeader(MSG_ALIVE, COORDINATOR_ID, static_cast<uint32_t>(size), src),
            CoorAlivePayload(c, size));
    ASSERT_TRUE(Post(WM_MSG_ARRIVED));
  }

  // Runs process_msg on the test thread and checks it released the message.
  void Process(const MsgHeader& h, const std::vector<uint8_t>& data) {
    Message m = MakeMessage(h, data);
    EXPECT_EQ(master->process_msg(m), 0);
    EXPECT_EQ(m.header, nullptr);
    EXPECT_EQ(m.data, nullptr);
  }

  std::string store() const { return dir.file("registry.reg"); }
};

TEST_F(CoorAliveTest, FirstCoorAliveSetsPeriodsAddressAndStoresChanges) {
  StartThread();
  CoorAlive c;
  c.loglevel = 3;
  c.logRefresh = 7;
  c.alive = 5;
  c.cpuSend = 3;
  SendCoorAlive(c, Addr("10.20.30.40"));
  ASSERT_TRUE(Post(plat::kWM_QUIT));
  EXPECT_EQ(Join(), 0u);

  EXPECT_EQ(master->CoordinatorAddr.load(), Addr("10.20.30.40"));
  EXPECT_EQ(CpuSendPeriod.load(), 3u);
  EXPECT_EQ(AlivePeriod.load(), 5u);
  EXPECT_EQ(LogCheckPeriod.load(), 7u);
  EXPECT_EQ(master->CpuSendInterval.load(), 3u);
  EXPECT_EQ(g_Config.CpuSendInterval.load(), 3u);
  EXPECT_EQ(g_log.LogRefreshInterval.load(), 7);
  EXPECT_EQ(g_log.LogLevel.load(), 15u);
  EXPECT_EQ(Stored("Parameter\\CpuLoad", "CpuSendInterval"), 3);
  EXPECT_EQ(Stored("Parameter\\Log", "LogRefreshInterval"), 7);

  auto lines = Lines();
  int at = FindLine(lines, "DEBUG: Receive Coor_alive message");
  ASSERT_GE(at, 0);
  at = FindLine(lines, "DEBUG: Receive Coor_alive message dwAlive=5", at);
  ASSERT_GE(at, 0);
  EXPECT_GE(FindLine(lines, "DEBUG: Receive Coor_alive message loglevel=3", at), 0);
  EXPECT_EQ(CountPrefix(lines, "ERR: "), 0);
}

TEST_F(CoorAliveTest, EqualValuesCauseNoRegistryAccess) {
  // A store that cannot be read: any access would fail and be logged. Where
  // the store is a file it is one that cannot be parsed, and a second link
  // to it tells whether it was replaced; where it is the registry, the
  // agent's keys are gone.
  const bool storeIsFile = testsupport::StoreIsFile();
  const std::string kept = dir.file("registry-before.reg");
  std::filesystem::file_time_type written{};
  if (storeIsFile) {
    testsupport::WriteFile(store(), "this is not a registry file\n");
    std::error_code ec;
    std::filesystem::create_hard_link(store(), kept, ec);
    ASSERT_FALSE(ec) << ec.message();
    written = std::filesystem::last_write_time(store());
  } else {
    testsupport::InstallStore(store(), "Windows Registry Editor Version 5.00\r\n");
  }
  const std::string before = testsupport::StoreText(store());

  CoorAlive c;
  c.cpuSend = 2;     // the master's CpuSendInterval
  c.logRefresh = 2;  // the log's LogRefreshInterval
  c.alive = 0;       // alive messages stop
  c.loglevel = 2;
  StartThread();
  SendCoorAlive(c, Addr("10.0.0.9"));
  ASSERT_TRUE(Post(plat::kWM_QUIT));
  Join();

  EXPECT_EQ(CpuSendPeriod.load(), 2u);
  EXPECT_EQ(AlivePeriod.load(), 0u);
  EXPECT_EQ(LogCheckPeriod.load(), 2u);
  EXPECT_EQ(g_log.LogLevel.load(), 7u);
  EXPECT_EQ(testsupport::StoreText(store()), before);
  if (storeIsFile) {
    EXPECT_TRUE(std::filesystem::equivalent(store(), kept));
    EXPECT_EQ(std::filesystem::last_write_time(store()), written);
  }
  EXPECT_EQ(CountPrefix(Lines(), "ERR: "), 0);
}

TEST_F(CoorAliveTest, FailedStoreStillSetsPeriodsAndIsRetried) {
  plat::SetRegistryStorePathForTest(dir.file("missing/registry.reg"));
  CoorAlive c;
  c.cpuSend = 3;
  c.logRefresh = 9;
  c.alive = 4;
  const MsgHeader h = IncomingHeader(MSG_ALIVE, COORDINATOR_ID, 28, Addr("10.0.0.1"));
  Process(h, CoorAlivePayload(c));

  EXPECT_EQ(CpuSendPeriod.load(), 3u);
  EXPECT_EQ(AlivePeriod.load(), 4u);
  EXPECT_EQ(LogCheckPeriod.load(), 9u);
  // The sampler's window is the period in force, stored or not: a window
  // longer than the period would make every tick a skip.
  EXPECT_EQ(master->CpuSendInterval.load(), 3u);
  EXPECT_EQ(master->Sampler.m_pInterval->load(), 3u);
  EXPECT_EQ(g_Config.CpuSendInterval.load(), 3u);
  EXPECT_EQ(g_log.LogRefreshInterval.load(), 2) << "unchanged after a failed store";
  const std::string cpuError = "ERR: In process_msg for Set CpuSendInterval key-value error,errno=";
  const std::string logError =
      "ERR: In process_msg for Set LogRefreshInterval key-value error,errno=";
  auto lines = Lines();
  EXPECT_EQ(CountPrefix(lines, cpuError), 1);
  EXPECT_EQ(CountPrefix(lines, logError), 1);
  for (const auto& l : lines) {
    if (l.rfind(cpuError, 0) == 0) {
      std::string code = l.substr(cpuError.size());
      EXPECT_EQ(code.size(), 8u) << l;
      EXPECT_NE(code, "00000000") << l;
    }
  }

  // The same values again: the stored ones still differ, so it tries again.
  Process(h, CoorAlivePayload(c));
  lines = Lines();
  EXPECT_EQ(CountPrefix(lines, cpuError), 2);
  EXPECT_EQ(CountPrefix(lines, logError), 2);

  // Once the store works, the next one succeeds and the copies follow. (Where
  // the store is the registry, the test's key starts empty again.)
  plat::SetRegistryStorePathForTest(store());
  CreateAgentKeys();
  Process(h, CoorAlivePayload(c));
  EXPECT_EQ(master->CpuSendInterval.load(), 3u);
  EXPECT_EQ(g_log.LogRefreshInterval.load(), 9);
  EXPECT_EQ(Stored("Parameter\\CpuLoad", "CpuSendInterval"), 3);
  EXPECT_EQ(Stored("Parameter\\Log", "LogRefreshInterval"), 9);
  lines = Lines();
  EXPECT_EQ(CountPrefix(lines, cpuError), 2);
  EXPECT_EQ(CountPrefix(lines, logError), 2);
}

TEST_F(CoorAliveTest, MissingSubkeyWritesNothingElsewhere) {
  ASSERT_EQ(plat::RegDeleteTreeA(plat::kHKEY_LOCAL_MACHINE,
                                 "SOFTWARE\\Ostrel\\KELD4\\Parameter\\CpuLoad"),
            plat::kERROR_SUCCESS);
  CoorAlive c;
  c.cpuSend = 5;
  Process(IncomingHeader(MSG_ALIVE, COORDINATOR_ID, 28, Addr("10.0.0.1")), CoorAlivePayload(c));
  EXPECT_EQ(CpuSendPeriod.load(), 5u);
  EXPECT_EQ(master->CpuSendInterval.load(), 5u);
  EXPECT_EQ(Stored("", "CpuSendInterval"), -1) << "no stray value in the agent's own key";
  EXPECT_EQ(Stored("Parameter", "CpuSendInterval"), -1);
  EXPECT_EQ(
      CountLines(Lines(),
                 "ERR: In process_msg for Set CpuSendInterval key-value error,errno=ffffffff"),
      1);
}

TEST_F(CoorAliveTest, LogLevelSelectsTheMask) {
  const std::pair<uint32_t, uint32_t> cases[] = {{1, 3}, {2, 7}, {3, 15},        {9, 3},
                                                 {0, 3}, {4, 3}, {0xFFFFFFFF, 3}};
  for (const auto& [level, mask] : cases) {
    g_log.LogLevel = 15;
    CoorAlive c;
    c.cpuSend = 2;
    c.logRefresh = 2;
    c.loglevel = level;
    Process(IncomingHeader(MSG_ALIVE, COORDINATOR_ID, 28, Addr("10.0.0.1")), CoorAlivePayload(c));
    EXPECT_EQ(g_log.LogLevel.load(), mask) << "loglevel " << level;
  }
}

TEST_F(CoorAliveTest, OtherMessagesChangeNothingAndAreReleased) {
  g_log.LogLevel = 15;
  CoorAlive c;
  c.cpuSend = 7;
  c.loglevel = 1;
  const uint32_t before = master->CoordinatorAddr.load();
  // An agent's own alive message (id 1), and a type the agent does not know.
  Process(IncomingHeader(MSG_ALIVE, AGENT_ID, 28, Addr("10.9.9.9")), CoorAlivePayload(c));
  Process(IncomingHeader(0x12345678, COORDINATOR_ID, 28, Addr("10.9.9.9")), CoorAlivePayload(c));
  Process(IncomingHeader(MSG_DOWN, AGENT_ID, 0, Addr("10.9.9.9")), {});

  EXPECT_EQ(master->CoordinatorAddr.load(), before);
  EXPECT_EQ(CpuSendPeriod.load(), 0u);
  EXPECT_EQ(AlivePeriod.load(), 0u);
  EXPECT_EQ(LogCheckPeriod.load(), 0u);
  EXPECT_EQ(g_log.LogLevel.load(), 15u);
  EXPECT_EQ(master->CpuSendInterval.load(), 2u);
  auto lines = Lines();
  for (const auto& l : lines) {
    EXPECT_TRUE(l.rfind("DEBUG: Enter: ", 0) == 0 || l.rfind("DEBUG: Leave: ", 0) == 0)
        << "only trace lines: " << l;
  }
  EXPECT_EQ(CountPrefix(lines, "DEBUG: Leave: CMaster::process_msg()"), 3);
}

TEST_F(CoorAliveTest, ShortCoorAliveIsIgnoredWhole) {
  CoorAlive c;
  c.cpuSend = 3;
  c.alive = 5;
  c.logRefresh = 7;
  c.loglevel = 1;
  const uint32_t before = master->CoordinatorAddr.load();
  // 24 bytes: everything but CpuSendInterval; 8 bytes: nothing the agent
  // reads; 0: no data block at all.
  for (uint32_t size : {24u, 8u, 0u}) {
    Process(IncomingHeader(MSG_ALIVE, COORDINATOR_ID, size, Addr("10.9.9.9")),
            size == 0 ? std::vector<uint8_t>{} : CoorAlivePayload(c, size));
  }
  EXPECT_EQ(master->CoordinatorAddr.load(), before);
  EXPECT_EQ(CpuSendPeriod.load(), 0u);
  EXPECT_EQ(AlivePeriod.load(), 0u);
  EXPECT_EQ(LogCheckPeriod.load(), 0u);
  EXPECT_EQ(g_log.LogLevel.load(), 15u);
  auto lines = Lines();
  EXPECT_EQ(CountLines(lines, "WARN: Coor_alive message too short, dataleng=24, ignored"), 1);
  EXPECT_EQ(CountLines(lines, "WARN: Coor_alive message too short, dataleng=8, ignored"), 1);
  EXPECT_EQ(CountLines(lines, "WARN: Coor_alive message too short, dataleng=0, ignored"), 1);
  EXPECT_EQ(Stored("Parameter\\CpuLoad", "CpuSendInterval"), 2);
}

TEST_F(CoorAliveTest, LongerCoorAliveUsesItsFirst28Bytes) {
  CoorAlive c;
  c.cpuSend = 2;
  c.logRefresh = 2;
  c.alive = 6;
  c.loglevel = 2;
  std::vector<uint8_t> data = CoorAlivePayload(c, 28);
  data.resize(60, 0xAB);
  StartThread();
  Deliver(IncomingHeader(MSG_ALIVE, COORDINATOR_ID, 60, Addr("10.1.1.1")), data);
  ASSERT_TRUE(Post(WM_MSG_ARRIVED));
  // The next message in the pipe is read in step: the 60 bytes were all taken.
  c.alive = 8;
  SendCoorAlive(c, Addr("10.1.1.2"));
  ASSERT_TRUE(Post(plat::kWM_QUIT));
  EXPECT_EQ(Join(), 0u);
  EXPECT_EQ(StopCounter.load(), 1u);
  EXPECT_EQ(AlivePeriod.load(), 8u);
  EXPECT_EQ(master->CoordinatorAddr.load(), Addr("10.1.1.2"));
  EXPECT_EQ(g_log.LogLevel.load(), 7u);
  auto lines = Lines();
  EXPECT_EQ(CountLines(lines, "DEBUG: Receive Coor_alive message dwAlive=6"), 1);
}

}  // namespace
