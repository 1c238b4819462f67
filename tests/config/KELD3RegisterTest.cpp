// SPDX-License-Identifier: Apache-2.0
// CKELD3Register over the store: loading, single values, and every failure
// line with its error number.
#include <gtest/gtest.h>

#include <regex>

#include "platform/common/regfile.h"
#include "tests/config/ConfigSupport.h"

namespace {

using plat::DWORD;

TEST_F(ConfigTest, LoadsEveryValueOfTheInstallationTemplate) {
  std::vector<plat::reg::RegOp> ops;
  plat::reg::ParseError error;
  ASSERT_TRUE(plat::reg::ParseRegText(
      testsupport::ReadFile(std::string(KELD4_SOURCE_DIR) + "/packaging/keld4.reg"), &ops, &error));
  int values = 0;
  for (const auto& op : ops) values += op.kind == plat::reg::RegOp::kSetValue;
  EXPECT_EQ(values, 23);

  InstallTemplate();
  CKELD3Register config;
  ASSERT_EQ(config.LoadAllKeyValue(), 0) << Log();
  EXPECT_STREQ(config.LocalIPAddress, "192.0.2.10");
  EXPECT_STREQ(config.LocalMacAddress, "00-00-00-00-00-00");
  EXPECT_EQ(config.PortNumber, 45002u);
  EXPECT_STRNE(config.SystemVersion, "");
  EXPECT_STRNE(config.ServerType, "");
  EXPECT_EQ(config.MemoryCheckInterval, 60u);
  EXPECT_EQ(config.PdhErrCheckCount, 3u);
  EXPECT_EQ(config.StartMemInfo.load(), 0u);
  EXPECT_EQ(config.MaxMemInfo.load(), 0u);
  EXPECT_EQ(config.PdhErrTotal.load() + config.PdhErrCount.load() +
                config.PdhCalculateSkipCount.load() + config.PdhCalculateSkipTotal.load(),
            0u);
  EXPECT_GT(config.RetransmitInterval, 0u);
  EXPECT_GT(config.MaxRetransmitTimes, 0u);
  EXPECT_EQ(config.CpuSendInterval.load(), 2u);
  EXPECT_GT(config.CpuBenchmark, 0u);
  EXPECT_STREQ(g_log.LogDirectory, dir_.path().c_str());
  EXPECT_STREQ(g_log.LogName, "keld4.log");
  EXPECT_EQ(g_log.LogLevel.load(), 3u);
  EXPECT_EQ(g_log.LogControl.load(), 3u);
  EXPECT_EQ(g_log.LogRefreshInterval.load(), 2);
  EXPECT_EQ(g_log.LogMaxSpace.load(), 10u);
  EXPECT_EQ(config.m_hKey, nullptr);
  EXPECT_FALSE(LogHas("ERR:")) << Log();
}

TEST_F(ConfigTest, OperationsTraceEntryAndEveryExit) {
  plat::RegCloseKey(OpenOrCreate("Parameter"));
  g_log.LogLevel = 15;
  CKELD3Register config;
  ASSERT_EQ(config.OpenKey("Parameter"), 0);
  ASSERT_EQ(config.OpenKey("Missing"), -1);
  ASSERT_EQ(config.CloseKey(), 0);
  std::string log = Log();
  EXPECT_NE(log.find("DEBUG: Enter: CKELD3Register::OpenKey(), "), std::string::npos) << log;
  EXPECT_NE(log.find("DEBUG: Enter: CKELD3Register::CloseKey(), "), std::string::npos) << log;
  std::regex leave("Leave: CKELD3Register::OpenKey\\(\\), \\S*KELD3Register\\.cpp Line (\\d+)");
  std::vector<int> lines;
  for (std::sregex_iterator it(log.begin(), log.end(), leave), end; it != end; ++it)
    lines.push_back(std::stoi((*it)[1]));
  ASSERT_EQ(lines.size(), 2u) << log;
  EXPECT_NE(lines[0], lines[1]);  // the success and the failure leave from different lines
}

TEST_F(ConfigTest, OpenKeyFailuresNameTheServiceOrTheSubkey) {
  CKELD3Register config;
  EXPECT_EQ(config.OpenKey("Parameter"), -1);
  EXPECT_EQ(config.ErrNo, 1501u);
  EXPECT_EQ(config.SysError, 2u);
  EXPECT_TRUE(LogHas("ERR: Open registry key keld4 error,syserror=00000002,errno=1501\r\n"))
      << Log();
  EXPECT_EQ(config.m_hKey, nullptr);

  SetText("", "AtTheTop", "here");
  EXPECT_EQ(config.OpenKey("Parameter\\Nope"), -1);
  EXPECT_TRUE(LogHas("ERR: Open subkey: Parameter\\Nope error,syserrno=00000002,errno=1501\r\n"))
      << Log();
  // The agent's key stays open.
  ASSERT_NE(config.m_hKey, nullptr);
  char text[16];
  DWORD size = sizeof(text);
  EXPECT_EQ(config.GetKeyValue("AtTheTop", text, &size), 0);
  EXPECT_STREQ(text, "here");
  EXPECT_EQ(config.CloseKey(), 0);
  EXPECT_EQ(config.m_hKey, nullptr);
}

TEST_F(ConfigTest, ValueFailuresWriteTheirLines) {
  SetText("Parameter", "Long", "0123456789abcdef0123");
  CKELD3Register config;
  ASSERT_EQ(config.OpenKey("Parameter"), 0);
  uint32_t number = 0;
  EXPECT_EQ(config.GetKeyValue("Missing", &number), -1);
  EXPECT_EQ(config.ErrNo, 1505u);
  EXPECT_TRUE(LogHas("ERR: Get key value:Missing error,syserror=00000002,error=1505\r\n")) << Log();
  char text[16];
  DWORD size = sizeof(text);
  EXPECT_EQ(config.GetKeyValue("Long", text, &size), -1);
  EXPECT_EQ(config.SysError, 234u);
  EXPECT_TRUE(LogHas("ERR: Get key value:Long error,syserror=000000ea,error=1505\r\n")) << Log();

  ASSERT_EQ(config.SetKeyValue("Written", 0xabcdu), 0);
  ASSERT_EQ(config.SetKeyValue("Text", "hello"), 0);
  ASSERT_EQ(config.GetKeyValue("Written", &number), 0);
  EXPECT_EQ(number, 0xabcdu);
  size = sizeof(text);
  ASSERT_EQ(config.GetKeyValue("Text", text, &size), 0);
  EXPECT_EQ(size, 6u);
  EXPECT_STREQ(text, "hello");
  EXPECT_EQ(config.CloseKey(), 0);

  // No key open: the calls fail on the null handle.
  EXPECT_EQ(config.SetKeyValue("Written", 1u), -1);
  EXPECT_EQ(config.ErrNo, 1504u);
  EXPECT_TRUE(LogHas("ERR: Set key value:Written error,syserrno=00000006,errno=1504\r\n")) << Log();
  EXPECT_EQ(config.SetKeyValue("Text", "bye"), -1);
  EXPECT_TRUE(LogHas("ERR: Set key value:Text,bye error,syserrno=00000006,errno=1504\r\n"))
      << Log();
}

TEST_F(ConfigTest, CloseKeyWithoutKeyIsQuietAndAFailedCloseIsLogged) {
  CKELD3Register config;
  EXPECT_EQ(config.CloseKey(), 0);
  EXPECT_FALSE(LogHas("ERR:"));
  config.m_hKey = reinterpret_cast<plat::HKEY>(uintptr_t{0x7777777});  // no such handle
  EXPECT_EQ(config.CloseKey(), -1);
  EXPECT_EQ(config.ErrNo, 1502u);
  EXPECT_EQ(config.SysError, 6u);
  EXPECT_EQ(config.m_hKey, nullptr);
  EXPECT_TRUE(LogHas("ERR: Close key error,syserrno=00000006,errno=1502\r\n")) << Log();
}

TEST_F(ConfigTest, CreateKeyMakesBothSubkeysOrLogsItsFailure) {
  CKELD3Register config;
  ASSERT_EQ(config.CreateKey(), 0);
  EXPECT_EQ(config.m_hKey, nullptr);
  EXPECT_EQ(config.OpenKey("Parameter\\Log"), 0);
  EXPECT_EQ(config.OpenKey("Parameter\\CpuLoad"), 0);
  EXPECT_EQ(config.CloseKey(), 0);

  if (!testsupport::StoreIsFile()) GTEST_SKIP() << "the store is the system's registry: no file";
  testsupport::WriteFile(store_, "REGEDIT4\n[HKLM\\SOFTWARE]\n\"x\"=\n");
  EXPECT_EQ(config.CreateKey(), -1);
  EXPECT_EQ(config.ErrNo, 1500u);
  EXPECT_EQ(config.SysError, static_cast<uint32_t>(plat::kERROR_REGISTRY_CORRUPT));
  EXPECT_TRUE(LogHas("ERR: Create log key error,errno=1500, system error:000003f7\r\n")) << Log();
  EXPECT_EQ(testsupport::ReadFile(store_), "REGEDIT4\n[HKLM\\SOFTWARE]\n\"x\"=\n");
}

TEST_F(ConfigTest, MissingLogSubkeyReadsTheRestAndFails) {
  InstallTemplate();
  plat::HKEY agent = OpenOrCreate("");
  ASSERT_EQ(plat::RegDeleteTreeA(agent, "Parameter\\Log"), 0);
  plat::RegCloseKey(agent);
  SetNumber("Parameter\\CpuLoad", "CpuSendInterval", 7);
  CKELD3Register config;
  EXPECT_EQ(config.LoadAllKeyValue(), -1);
  EXPECT_EQ(config.ErrNo, 1503u);
  EXPECT_EQ(config.CpuSendInterval.load(), 7u);  // read all the same
  EXPECT_EQ(config.PortNumber, 45002u);
  std::string log = Log();
  EXPECT_NE(log.find("ERR: Open subkey: Parameter\\Log error,syserrno=00000002,errno=1501\r\n"),
            std::string::npos);
  for (const char* name :
       {"LogDirectory", "LogName", "LogLevel", "LogControl", "LogRefreshInterval", "LogMaxSpace"}) {
    EXPECT_NE(log.find(std::string("ERR: Get key value:") + name +
                       " error,syserror=00000002,error=1505\r\n"),
              std::string::npos)
        << name << "\n"
        << log;
  }
  EXPECT_NE(log.find("ERR: Get some key-value error,errno=1503\r\n"), std::string::npos) << log;
  EXPECT_EQ(log.find("CpuSendInterval error"), std::string::npos);
}

TEST_F(ConfigTest, TextLengthsAndNumbersStoredAsText) {
  InstallTemplate();
  {
    SetText("Parameter", "LocalIPAddress", "192.168.100.100");  // 15 characters fit
    CKELD3Register config;
    EXPECT_EQ(config.LoadAllKeyValue(), 0) << Log();
    EXPECT_STREQ(config.LocalIPAddress, "192.168.100.100");
  }
  {
    SetText("Parameter", "LocalIPAddress", "192.168.100.1001");  // 16 do not
    CKELD3Register config;
    EXPECT_EQ(config.LoadAllKeyValue(), -1);
    EXPECT_TRUE(LogHas("ERR: Get key value:LocalIPAddress error,syserror=000000ea,error=1505\r\n"))
        << Log();
    SetText("Parameter", "LocalIPAddress", "192.0.2.10");
  }
  {
    SetText("Parameter", "PortNumber", "7");  // two bytes: read as they are
    CKELD3Register config;
    EXPECT_EQ(config.LoadAllKeyValue(), 0) << Log();
    EXPECT_EQ(config.PortNumber, 0x37u);
  }
  {
    SetText("Parameter", "PortNumber", "45002");  // six bytes do not fit
    CKELD3Register config;
    EXPECT_EQ(config.LoadAllKeyValue(), -1);
    EXPECT_TRUE(LogHas("ERR: Get key value:PortNumber error,syserror=000000ea,error=1505\r\n"))
        << Log();
  }
}

TEST_F(ConfigTest, TextWithoutTerminatorIsTerminatedOrRefused) {
  SetRaw("Parameter", "Short", plat::kREG_SZ, "10.0.0.1");         // 8 bytes, no zero
  SetRaw("Parameter", "Full", plat::kREG_SZ, "0123456789abcdef");  // 16 bytes, no zero
  CKELD3Register config;
  ASSERT_EQ(config.OpenKey("Parameter"), 0);
  char text[16];
  std::memset(text, 'X', sizeof(text));
  DWORD size = sizeof(text);
  EXPECT_EQ(config.GetKeyValue("Short", text, &size), 0);
  EXPECT_STREQ(text, "10.0.0.1");
  size = sizeof(text);
  EXPECT_EQ(config.GetKeyValue("Full", text, &size), -1);
  EXPECT_EQ(config.SysError, 234u);
  config.CloseKey();
}

TEST_F(ConfigTest, SystemCodesOfAnUnreadableStore) {
  if (!testsupport::StoreIsFile()) GTEST_SKIP() << "the store is the system's registry: no file";
  InstallTemplate();
  std::string text = testsupport::ReadFile(store_);
  text += "\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Broken\n";
  testsupport::WriteFile(store_, text);
  CKELD3Register config;
  EXPECT_EQ(config.LoadAllKeyValue(), -1);
  EXPECT_TRUE(LogHas("ERR: Open registry key keld4 error,syserror=000003f7,errno=1501\r\n"))
      << Log();
  EXPECT_NE(plat::RegistryLastParseError().find(store_ + ":"), std::string::npos);
  EXPECT_EQ(testsupport::ReadFile(store_), text);
}

}  // namespace

// The optional list of coordinators: absent takes anyone, present takes only
// the listed addresses and networks; a list that cannot be read stops the load.
TEST_F(ConfigTest, CoordinatorAddressesAreOptionalAndParsedStrictly) {
  InstallTemplate();
  CKELD3Register reg;
  ASSERT_EQ(reg.LoadAllKeyValue(), 0);
  EXPECT_TRUE(reg.IsCoordinatorAllowed(plat::inet_addr("203.0.113.9")));

  SetText("Parameter", "CoordinatorAddresses", " 192.0.2.7 ,10.20.0.0/16,\t198.51.100.0/24");
  ASSERT_EQ(reg.LoadAllKeyValue(), 0);
  EXPECT_EQ(reg.m_nCoordinatorNets, 3u);
  for (const char* yes : {"192.0.2.7", "10.20.255.1", "198.51.100.200"})
    EXPECT_TRUE(reg.IsCoordinatorAllowed(plat::inet_addr(yes))) << yes;
  for (const char* no : {"192.0.2.8", "10.21.0.1", "198.51.101.1", "0.0.0.0"})
    EXPECT_FALSE(reg.IsCoordinatorAllowed(plat::inet_addr(no))) << no;

  for (const char* bad : {"", " ", "192.0.2.7,", "192.0.2", "192.0.2.7/33", "192.0.2.7/",
                          "10.0.0.1/8x", "host.example", "192.0.2.7 10.0.0.1", "1.2.3.4/-1"}) {
    SetText("Parameter", "CoordinatorAddresses", bad);
    EXPECT_EQ(reg.LoadAllKeyValue(), -1) << "'" << bad << "'";
    EXPECT_FALSE(reg.IsCoordinatorAllowed(plat::inet_addr("192.0.2.7"))) << "'" << bad << "'";
  }
  EXPECT_TRUE(
      LogHas("ERR: CoordinatorAddresses is no list of IPv4 addresses or networks: "
             "192.0.2.7/33\r\n"));
  SetText("Parameter", "CoordinatorAddresses", "0.0.0.0/0");
  ASSERT_EQ(reg.LoadAllKeyValue(), 0);
  EXPECT_TRUE(reg.IsCoordinatorAllowed(plat::inet_addr("203.0.113.9")));
}
