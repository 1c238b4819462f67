// SPDX-License-Identifier: Apache-2.0
// A registry store made from the installation template, the log in a temp
// folder, and the host seams set so the agent sees 127.0.0.1 as its address.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <regex>
#include <string>
#include <vector>

#include "log/Log.h"
#include "platform/platform.h"
#include "platform/testing.h"
#include "tests/support/LogSupport.h"
#include "tests/support/StoreSupport.h"
#include "tests/support/TestSupport.h"

// The end of ExitProcess(0xFFFFFFFF) as a death test sees it: exit status
// -1 where the whole 32 bits reach the parent (Windows), 255 where only the
// low byte does (Linux).
inline bool ExitedWithAllOnes(int status) {
  return testing::ExitedWithCode(-1)(status) || testing::ExitedWithCode(255)(status);
}

// Points the log of a death test's child at the parent's folder. Where the
// child is the program run again (Windows), it runs the test from its start
// with a temporary folder of its own; the parent names its folder in the
// environment, which the child inherits and keeps. Call
// ShareLogWithDeathTest before the death test and UseParentLog first in its
// statement.
inline void ShareLogWithDeathTest(const std::string& directory) {
  if (testing::internal::InDeathTestChild()) return;
  static std::string variable;  // putenv keeps the text, not a copy
  variable = "KELD4_DEATH_TEST_LOG=" + directory;
  putenv(variable.data());
}
inline void UseParentLog() {
  if (const char* directory = std::getenv("KELD4_DEATH_TEST_LOG")) {
    std::snprintf(g_log.LogDirectory, sizeof(g_log.LogDirectory), "%s", directory);
  }
}

class ServiceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    template_ = testsupport::ReadFile(std::string(KELD4_SOURCE_DIR) + "/packaging/keld4.reg");
    ASSERT_FALSE(template_.empty());
    Set("LocalIPAddress", "127.0.0.1");
    Set("LocalMacAddress", "00-11-22-33-44-55");
    Set("LogDirectory", dir.path());
    Set("LogLevel", 3);
    plat::SetRegistryStorePathForTest(dir.file("registry.reg"));
    // 127.0.0.1 on an ordinary adapter, so the agent may use it.
    plat::SetInterfaceSourceForTest([] {
      plat::InterfaceEntry lo{1, "lo", true, {}};
      plat::InterfaceEntry eth{
          2, "eth0", false, {{plat::htonl(0x7F000001), plat::htonl(0xFF000000)}}};
      return std::vector<plat::InterfaceEntry>{lo, eth};
    });
    plat::SetProcessorSourceForTest([] { return std::vector<int64_t>{2400, 2400}; });
    plat::SetEventSinkForTest([this](const plat::EventRecord& r) { events.push_back(r); });
  }
  void TearDown() override {
    plat::SetEventSinkForTest(nullptr);
    plat::SetInterfaceSourceForTest(nullptr);
    plat::SetProcessorSourceForTest(nullptr);
    plat::SetProcessMemorySourceForTest(nullptr);
    plat::SetRegistryStorePathForTest("");
    g_log.LogLevel = 3;
  }

  void Set(const std::string& name, const std::string& text) {
    Replace(name, "\"" + name + "\"=\"" + Escape(text) + "\"");
  }
  void Set(const std::string& name, uint32_t number) {
    char line[128];
    std::snprintf(line, sizeof(line), "\"%s\"=dword:%08x", name.c_str(), number);
    Replace(name, line);
  }
  void Remove(const std::string& name) { Replace(name, ""); }
  // Writes the store file as it now stands.
  void Install() { testsupport::InstallStore(dir.file("registry.reg"), template_); }
  std::string Log() const { return testsupport::ReadLogFile(dir.file("keld4.log")); }

  testsupport::TempDir dir;
  testsupport::LogCapture capture{dir.path(), 15};
  std::vector<plat::EventRecord> events;

 private:
  static std::string Escape(const std::string& text) {
    std::string out;
    for (char c : text) {
      if (c == '\\' || c == '"') out += '\\';
      out += c;
    }
    return out;
  }
  void Replace(const std::string& name, const std::string& line) {
    std::regex value("^\"" + name + "\"=.*$", std::regex::icase | std::regex::multiline);
    ASSERT_TRUE(std::regex_search(template_, value)) << name;
    template_ = std::regex_replace(template_, value, line, std::regex_constants::format_first_only);
  }
  std::string template_;
};
