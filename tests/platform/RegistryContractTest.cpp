// SPDX-License-Identifier: Apache-2.0
// The registry calls of the contract as the agent uses them, on each system's
// store: names without case, sizes and raw reads, handles of deleted keys,
// access rights, deletion and enumeration.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "platform/platform.h"
#include "platform/testing.h"
#include "tests/platform/RegistrySupport.h"
#include "tests/support/StoreSupport.h"
#include "tests/support/TestSupport.h"

namespace {

using namespace plat;
using namespace regtest;

class RegistryContractTest : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = dir_.file("registry.reg");
    SetRegistryStorePathForTest(path_);
  }
  void TearDown() override { SetRegistryStorePathForTest(""); }

  testsupport::TempDir dir_;
  std::string path_;
};

TEST_F(RegistryContractTest, NamesCompareWithoutCase) {
  HKEY key = Create("SOFTWARE\\Ostrel\\KELD4\\Parameter");
  ASSERT_EQ(SetDword(key, "PortNumber", 1), 0);
  ASSERT_EQ(SetDword(key, "PORTNUMBER", 2), 0);
  EXPECT_EQ(Get(key, "portnumber"), Dword(2));
  HKEY other = nullptr;
  ASSERT_EQ(RegOpenKeyExA(kHKEY_LOCAL_MACHINE, "software\\OSTREL\\keld4\\parameter", 0, kKEY_READ,
                          &other),
            0);
  EXPECT_EQ(Get(other, "pOrTnUmBeR"), Dword(2));
  DWORD subKeys = 9, values = 9;
  ASSERT_EQ(RegQueryInfoKeyA(other, nullptr, nullptr, nullptr, &subKeys, nullptr, nullptr, &values,
                             nullptr, nullptr, nullptr, nullptr),
            0);
  EXPECT_EQ(values, 1u);
  // The first spelling stays in the file.
  EXPECT_NE(testsupport::StoreText(path_).find("\"PortNumber\"=dword:00000002"), std::string::npos);
  RegCloseKey(other);
  RegCloseKey(key);
}

TEST_F(RegistryContractTest, SizesMoreDataAndRawReads) {
  HKEY key = Create("SOFTWARE\\Ostrel\\KELD4\\Parameter");
  ASSERT_EQ(Set(key, "LocalIPAddress", kREG_SZ, std::string("192.0.2.10\0", 11)), 0);
  ASSERT_EQ(Set(key, "Short", kREG_SZ, std::string("7\0", 2)), 0);

  char buf[16];
  std::memset(buf, 'X', sizeof(buf));
  DWORD size = 4;
  DWORD type = 0;
  EXPECT_EQ(
      RegQueryValueExA(key, "LocalIPAddress", nullptr, &type, reinterpret_cast<BYTE*>(buf), &size),
      234);
  EXPECT_EQ(size, 11u);
  EXPECT_EQ(buf[0], 'X');  // nothing copied
  size = 0;
  EXPECT_EQ(RegQueryValueExA(key, "LocalIPAddress", nullptr, &type, nullptr, &size), 0);
  EXPECT_EQ(size, 11u);
  EXPECT_EQ(type, static_cast<DWORD>(kREG_SZ));
  size = 11;
  ASSERT_EQ(RegQueryValueExA(key, "LocalIPAddress", nullptr, nullptr, reinterpret_cast<BYTE*>(buf),
                             &size),
            0);
  EXPECT_STREQ(buf, "192.0.2.10");
  // The stored type is not examined: text into a number is its raw bytes.
  uint32_t number = 0;
  size = 4;
  ASSERT_EQ(
      RegQueryValueExA(key, "Short", nullptr, nullptr, reinterpret_cast<BYTE*>(&number), &size), 0);
  EXPECT_EQ(size, 2u);
  EXPECT_EQ(number, 0x37u);
  EXPECT_EQ(RegQueryValueExA(key, "Missing", nullptr, nullptr, reinterpret_cast<BYTE*>(buf), &size),
            2);
  EXPECT_EQ(RegQueryValueExA(key, "Short", nullptr, nullptr, reinterpret_cast<BYTE*>(buf), nullptr),
            87);
  RegCloseKey(key);
}

TEST_F(RegistryContractTest, HandlesAndDeletedKeys) {
  EXPECT_EQ(RegCloseKey(nullptr), 6);
  EXPECT_EQ(RegCloseKey(reinterpret_cast<HKEY>(uintptr_t{0x7777})), 6);
  EXPECT_EQ(RegCloseKey(kHKEY_LOCAL_MACHINE), 0);
  EXPECT_EQ(Get(nullptr, "x"), "<error 6>");

  HKEY key = Create("SOFTWARE\\Gone\\Sub");
  ASSERT_EQ(SetDword(key, "A", 1), 0);
  HKEY parent = nullptr;
  ASSERT_EQ(RegOpenKeyExA(kHKEY_LOCAL_MACHINE, "SOFTWARE\\Gone", 0, kKEY_ALL_ACCESS, &parent), 0);
  ASSERT_EQ(RegDeleteTreeA(kHKEY_LOCAL_MACHINE, "software\\gone"), 0);
  EXPECT_EQ(Get(key, "A"), "<error 1018>");
  EXPECT_EQ(SetDword(key, "A", 2), 1018);
  EXPECT_EQ(RegDeleteValueA(key, "A"), 1018);
  HKEY child = nullptr;
  EXPECT_EQ(RegOpenKeyExA(parent, "Sub", 0, kKEY_READ, &child), 1018);
  EXPECT_EQ(
      RegCreateKeyExA(parent, "New", 0, nullptr, 0, kKEY_ALL_ACCESS, nullptr, &child, nullptr),
      1018);
  EXPECT_EQ(RegCloseKey(key), 0);
  EXPECT_EQ(RegCloseKey(key), 6);  // closed twice
  EXPECT_EQ(Get(key, "A"), "<error 6>");
  EXPECT_EQ(RegCloseKey(parent), 0);
  EXPECT_EQ(testsupport::StoreText(path_).find("Gone"), std::string::npos);
}

TEST_F(RegistryContractTest, AccessRights) {
  HKEY key = Create("SOFTWARE\\Ostrel");
  ASSERT_EQ(SetDword(key, "A", 1), 0);
  RegCloseKey(key);
  HKEY readOnly = nullptr;
  ASSERT_EQ(RegOpenKeyExA(kHKEY_LOCAL_MACHINE, "SOFTWARE\\Ostrel", 0, kKEY_READ, &readOnly), 0);
  EXPECT_EQ(SetDword(readOnly, "A", 2), 5);
  EXPECT_EQ(RegDeleteValueA(readOnly, "A"), 5);
  EXPECT_EQ(Get(readOnly, "A"), Dword(1));
  RegCloseKey(readOnly);
  HKEY writeOnly = nullptr;
  ASSERT_EQ(RegOpenKeyExA(kHKEY_LOCAL_MACHINE, "SOFTWARE\\Ostrel", 0, kKEY_SET_VALUE, &writeOnly),
            0);
  EXPECT_EQ(Get(writeOnly, "A"), "<error 5>");
  EXPECT_EQ(SetDword(writeOnly, "A", 3), 0);
  RegCloseKey(writeOnly);
}

TEST_F(RegistryContractTest, DeleteValuesTreesAndEnumerate) {
  HKEY key = Create("SOFTWARE\\E");
  HKEY a = Create("SOFTWARE\\E\\Alpha\\Deep");
  HKEY b = Create("SOFTWARE\\E\\Beta");
  RegCloseKey(a);
  RegCloseKey(b);
  ASSERT_EQ(SetDword(key, "One", 1), 0);
  ASSERT_EQ(Set(key, "TwoLongName", kREG_SZ, std::string("2\0", 2)), 0);

  DWORD subKeys = 0, values = 0;
  ASSERT_EQ(RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, &subKeys, nullptr, nullptr, &values,
                             nullptr, nullptr, nullptr, nullptr),
            0);
  EXPECT_EQ(subKeys, 2u);
  EXPECT_EQ(values, 2u);
  char name[64];
  DWORD nameSize = sizeof(name);
  ASSERT_EQ(RegEnumKeyExA(key, 1, name, &nameSize, nullptr, nullptr, nullptr, nullptr), 0);
  EXPECT_STREQ(name, "Beta");
  EXPECT_EQ(nameSize, 4u);
  nameSize = 4;
  EXPECT_EQ(RegEnumKeyExA(key, 1, name, &nameSize, nullptr, nullptr, nullptr, nullptr), 234);
  nameSize = sizeof(name);
  EXPECT_EQ(RegEnumKeyExA(key, 2, name, &nameSize, nullptr, nullptr, nullptr, nullptr), 259);
  BYTE data[8];
  DWORD dataSize = sizeof(data), type = 0;
  nameSize = sizeof(name);
  ASSERT_EQ(RegEnumValueA(key, 1, name, &nameSize, &type, data, &dataSize), 0);
  EXPECT_STREQ(name, "TwoLongName");
  EXPECT_EQ(type, static_cast<DWORD>(kREG_SZ));
  EXPECT_EQ(dataSize, 2u);
  nameSize = 5;
  EXPECT_EQ(RegEnumValueA(key, 1, name, &nameSize, &type, data, &dataSize), 234);
  nameSize = sizeof(name);
  EXPECT_EQ(RegEnumValueA(key, 2, name, &nameSize, &type, data, &dataSize), 259);

  EXPECT_EQ(RegDeleteValueA(key, "one"), 0);
  EXPECT_EQ(RegDeleteValueA(key, "one"), 2);
  EXPECT_EQ(RegDeleteTreeA(key, "Nope"), 2);
  EXPECT_EQ(RegDeleteTreeA(key, "alpha"), 0);
  HKEY gone = nullptr;
  EXPECT_EQ(RegOpenKeyExA(key, "Alpha\\Deep", 0, kKEY_READ, &gone), 2);
  // No subkey: the key's own contents go, the key stays.
  EXPECT_EQ(RegDeleteTreeA(key, nullptr), 0);
  ASSERT_EQ(RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, &subKeys, nullptr, nullptr, &values,
                             nullptr, nullptr, nullptr, nullptr),
            0);
  EXPECT_EQ(subKeys + values, 0u);
  RegCloseKey(key);
}

}  // namespace
