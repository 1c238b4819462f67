// SPDX-License-Identifier: Apache-2.0
#include "tests/support/StoreSupport.h"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "platform/common/regfile.h"
#include "platform/platform.h"
#include "platform/testing.h"
#include "tests/support/TestSupport.h"

namespace testsupport {

namespace {

namespace reg = plat::reg;

// The registry's path of a parsed key: below HKEY_LOCAL_MACHINE only, the
// one hive the test's key stands for.
std::string SubPath(const std::vector<std::string>& path) {
  EXPECT_TRUE(!path.empty() && path[0] == reg::kLocalMachine) << reg::JoinKeyPath(path);
  std::vector<std::string> rest(path.begin() + (path.empty() ? 0 : 1), path.end());
  return reg::JoinKeyPath(rest);
}

plat::HKEY Create(const std::string& subPath) {
  plat::HKEY key = nullptr;
  EXPECT_EQ(plat::RegCreateKeyExA(plat::kHKEY_LOCAL_MACHINE, subPath.c_str(), 0, nullptr, 0,
                                  plat::kKEY_ALL_ACCESS, nullptr, &key, nullptr),
            0)
      << subPath;
  return key;
}

void Export(plat::HKEY key, reg::RegKey* into) {
  for (plat::DWORD i = 0;; ++i) {
    char name[256];
    plat::DWORD nameSize = sizeof(name);
    std::string data(65536, '\0');
    plat::DWORD dataSize = static_cast<plat::DWORD>(data.size());
    plat::DWORD type = 0;
    if (plat::RegEnumValueA(key, i, name, &nameSize, &type,
                            reinterpret_cast<plat::BYTE*>(data.data()), &dataSize) != 0) {
      break;
    }
    data.resize(dataSize);
    into->SetValue(std::string(name, nameSize), type, data);
  }
  for (plat::DWORD i = 0;; ++i) {
    char name[256];
    plat::DWORD nameSize = sizeof(name);
    if (plat::RegEnumKeyExA(key, i, name, &nameSize, nullptr, nullptr, nullptr, nullptr) != 0) {
      break;
    }
    std::string subName(name, nameSize);
    plat::HKEY sub = nullptr;
    if (plat::RegOpenKeyExA(key, subName.c_str(), 0, plat::kKEY_READ, &sub) != 0) continue;
    Export(sub, into->AddSubkey(subName));
    plat::RegCloseKey(sub);
  }
}

}  // namespace

bool StoreIsFile() { return !plat::RegistryStorePath().empty(); }

void InstallStore(const std::string& path, const std::string& text) {
  if (StoreIsFile()) {
    WriteFile(path, text);
    return;
  }
  std::vector<reg::RegOp> ops;
  reg::ParseError error;
  ASSERT_TRUE(reg::ParseRegText(text, &ops, &error)) << error.line << ": " << error.what;
  // The text replaces whatever the test's key held.
  char name[256];
  plat::DWORD nameSize = sizeof(name);
  while (plat::RegEnumKeyExA(plat::kHKEY_LOCAL_MACHINE, 0, name, &nameSize, nullptr, nullptr,
                             nullptr, nullptr) == 0) {
    ASSERT_EQ(plat::RegDeleteTreeA(plat::kHKEY_LOCAL_MACHINE, std::string(name, nameSize).c_str()),
              0);
    nameSize = sizeof(name);
  }
  for (const reg::RegOp& op : ops) {
    std::string subPath = SubPath(op.path);
    if (op.kind == reg::RegOp::kDeleteKey) {
      plat::RegDeleteTreeA(plat::kHKEY_LOCAL_MACHINE, subPath.c_str());
      continue;
    }
    plat::HKEY key = Create(subPath);
    if (key == nullptr) continue;
    if (op.kind == reg::RegOp::kSetValue) {
      EXPECT_EQ(plat::RegSetValueExA(key, op.value.name.c_str(), 0, op.value.type,
                                     reinterpret_cast<const plat::BYTE*>(op.value.data.data()),
                                     static_cast<plat::DWORD>(op.value.data.size())),
                0)
          << op.value.name;
    } else if (op.kind == reg::RegOp::kDeleteValue) {
      plat::RegDeleteValueA(key, op.value.name.c_str());
    }
    plat::RegCloseKey(key);
  }
}

std::string StoreText(const std::string& path) {
  if (StoreIsFile()) return ReadFile(path);
  std::unique_ptr<reg::RegKey> root = reg::NewRoot();
  Export(plat::kHKEY_LOCAL_MACHINE, reg::FindPath(*root, {reg::kLocalMachine}));
  return reg::WriteRegText(*root);
}

}  // namespace testsupport
