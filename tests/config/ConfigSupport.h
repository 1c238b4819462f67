// SPDX-License-Identifier: Apache-2.0
// Shared fixture of the configuration tests: a store and a log of their own.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "config/KELD3Register.h"
#include "log/Log.h"
#include "platform/platform.h"
#include "platform/testing.h"
#include "tests/support/LogSupport.h"
#include "tests/support/StoreSupport.h"
#include "tests/support/TestSupport.h"

class ConfigTest : public ::testing::Test {
 protected:
  void SetUp() override {
    store_ = dir_.file("registry.reg");
    plat::SetRegistryStorePathForTest(store_);
  }

  void TearDown() override {
    plat::SetRegistryStorePathForTest("");
    plat::SetProcessorSourceForTest(nullptr);
    plat::SetInterfaceSourceForTest(nullptr);
  }

  std::string Log() const { return testsupport::ReadFile(dir_.file("keld4.log")); }
  bool LogHas(const std::string& text) const { return Log().find(text) != std::string::npos; }

  // The installation template as the store, with the log kept in the test's
  // directory (the template names /var/log).
  void InstallTemplate() {
    testsupport::InstallStore(
        store_, testsupport::ReadFile(std::string(KELD4_SOURCE_DIR) + "/packaging/keld4.reg"));
    SetText("Parameter\\Log", "LogDirectory", dir_.path());
  }

  static plat::HKEY OpenOrCreate(const std::string& subkey) {
    std::string path = std::string(KELD4_REGISTRY_KEY) + (subkey.empty() ? "" : "\\" + subkey);
    plat::HKEY key = nullptr;
    EXPECT_EQ(plat::RegCreateKeyExA(plat::kHKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0,
                                    plat::kKEY_ALL_ACCESS, nullptr, &key, nullptr),
              0)
        << path;
    return key;
  }
  static void SetRaw(const std::string& subkey, const char* name, plat::DWORD type,
                     const std::string& data) {
    plat::HKEY key = OpenOrCreate(subkey);
    EXPECT_EQ(
        plat::RegSetValueExA(key, name, 0, type, reinterpret_cast<const plat::BYTE*>(data.data()),
                             static_cast<plat::DWORD>(data.size())),
        0);
    plat::RegCloseKey(key);
  }
  static void SetText(const std::string& subkey, const char* name, const std::string& text) {
    SetRaw(subkey, name, plat::kREG_SZ, text + std::string(1, '\0'));
  }
  static void SetNumber(const std::string& subkey, const char* name, uint32_t value) {
    SetRaw(subkey, name, plat::kREG_DWORD, std::string(reinterpret_cast<const char*>(&value), 4));
  }
  static void Delete(const std::string& subkey, const char* name) {
    plat::HKEY key = OpenOrCreate(subkey);
    EXPECT_EQ(plat::RegDeleteValueA(key, name), 0) << name;
    plat::RegCloseKey(key);
  }

  testsupport::TempDir dir_;
  testsupport::LogCapture log_{dir_.path(), 3};
  std::string store_;
};
