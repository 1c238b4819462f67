// SPDX-License-Identifier: Apache-2.0
// The plat::Reg* calls over the store file.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <set>
#include <thread>

#include "platform/common/regfile.h"
#include "platform/linux/cpuinfo.h"
#include "platform/platform.h"
#include "platform/testing.h"
#include "tests/platform/RegistrySupport.h"
#include "tests/support/TestSupport.h"

namespace {

using namespace plat;
using namespace regtest;
using testsupport::ReadFile;
using testsupport::WriteFile;

constexpr const char kHeader[] = "Windows Registry Editor Version 5.00\n\n";

class RegistryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = dir_.file("lib/keld4/registry.reg");
    SetRegistryStorePathForTest(path_);
  }
  void TearDown() override {
    SetRegistryStorePathForTest("");
    SetProcessorSourceForTest(nullptr);
  }

  // The store file parsed afresh, without the calls' own view.
  std::unique_ptr<reg::RegKey> ParseStoreFile() {
    std::vector<reg::RegOp> ops;
    reg::ParseError error;
    EXPECT_TRUE(reg::ParseRegText(ReadFile(path_), &ops, &error))
        << error.line << ": " << error.what;
    auto root = reg::NewRoot();
    reg::ApplyRegOps(ops, root.get());
    return root;
  }

  testsupport::TempDir dir_;
  std::string path_;
};

TEST_F(RegistryTest, MissingStoreIsEmptyAndTheFirstWriteCreatesIt) {
  HKEY key = nullptr;
  EXPECT_EQ(RegOpenKeyExA(kHKEY_LOCAL_MACHINE, "SOFTWARE\\Ostrel\\KELD4", 0, kKEY_READ, &key), 2);
  EXPECT_EQ(key, nullptr);
  EXPECT_FALSE(testsupport::FileExists(path_));

  DWORD disposition = 0;
  HKEY created = Create("SOFTWARE\\Ostrel\\KELD4\\Parameter", &disposition);
  EXPECT_EQ(disposition, static_cast<DWORD>(kREG_CREATED_NEW_KEY));
  ASSERT_TRUE(testsupport::FileExists(path_));
  struct stat st {};
  ASSERT_EQ(::stat(path_.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0644u);
  ASSERT_EQ(::stat(dir_.file("lib/keld4").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0755u);
  EXPECT_NE(ReadFile(path_).find("[HKEY_LOCAL_MACHINE\\SOFTWARE\\Ostrel\\KELD4\\Parameter]"),
            std::string::npos);
  EXPECT_EQ(RegCloseKey(created), 0);

  HKEY again = Create("software\\ostrel\\keld4\\PARAMETER", &disposition);
  EXPECT_EQ(disposition, static_cast<DWORD>(kREG_OPENED_EXISTING_KEY));
  EXPECT_EQ(RegCloseKey(again), 0);
  // Parents exist as keys of their own.
  ASSERT_EQ(RegOpenKeyExA(kHKEY_LOCAL_MACHINE, "SOFTWARE\\Ostrel", 0, kKEY_READ, &key), 0);
  EXPECT_EQ(RegCloseKey(key), 0);
}

TEST_F(RegistryTest, EveryTypeRoundTripsThroughTheFile) {
  HKEY key = Create("SOFTWARE\\Ostrel\\KELD4\\Parameter");
  const std::pair<DWORD, std::string> values[] = {
      {kREG_SZ, std::string("192.0.2.10\0", 11)},
      {kREG_SZ, "unterminated"},
      {kREG_SZ, std::string("line\nbreak\0", 11)},
      {kREG_EXPAND_SZ, std::string("%TEMP%\\x \xc3\xa9\0", 13)},
      {kREG_MULTI_SZ, std::string("a\0bc\0\0", 6)},
      {kREG_DWORD, Dword(45002)},
      {kREG_QWORD, std::string("\x01\x02\x03\x04\x05\x06\x07\x88", 8)},
      {kREG_BINARY, std::string("\0\xff\x10\x80", 4)},
      {kREG_BINARY, ""},
      {kREG_NONE, "\x01"},
      {0x77, "odd type"},
  };
  int n = 0;
  for (const auto& [type, data] : values) {
    std::string name = "v" + std::to_string(n++);
    ASSERT_EQ(Set(key, name.c_str(), type, data), 0) << name;
  }
  ASSERT_EQ(Set(key, nullptr, kREG_SZ, std::string("default\0", 8)), 0);
  auto root = ParseStoreFile();
  const reg::RegKey* stored =
      reg::FindPath(*root, {"HKEY_LOCAL_MACHINE", "SOFTWARE", "Ostrel", "KELD4", "Parameter"});
  ASSERT_NE(stored, nullptr);
  n = 0;
  for (const auto& [type, data] : values) {
    std::string name = "v" + std::to_string(n++);
    DWORD got = 0;
    EXPECT_EQ(Get(key, name.c_str(), &got), data) << name;
    EXPECT_EQ(got, type) << name;
    const reg::RegValue* v = stored->FindValue(name);
    ASSERT_NE(v, nullptr) << name;
    EXPECT_EQ(v->data, data) << name;
    EXPECT_EQ(v->type, type) << name;
  }
  EXPECT_EQ(Get(key, ""), std::string("default\0", 8));
  EXPECT_EQ(Get(key, nullptr), std::string("default\0", 8));
  EXPECT_NE(ReadFile(path_).find("\"v5\"=dword:0000afca\n"), std::string::npos);
  RegCloseKey(key);
}

// What the store file cannot hold is refused (the system's registry takes
// such names, and null data crashes it), and so is deleting a whole hive
// (the Windows tests' store is a key of their own, which may be emptied).
TEST_F(RegistryTest, WhatTheFileCannotHoldAndWholeHivesAreRefused) {
  HKEY key = Create("SOFTWARE\\Ostrel\\KELD4\\Parameter");
  EXPECT_EQ(RegSetValueExA(key, "Bad\nName", 0, kREG_SZ, reinterpret_cast<const BYTE*>("x"), 2),
            87);
  EXPECT_EQ(RegSetValueExA(key, "NoData", 0, kREG_SZ, nullptr, 2), 87);
  RegCloseKey(key);
  EXPECT_EQ(RegDeleteTreeA(kHKEY_LOCAL_MACHINE, nullptr), 5);
  EXPECT_EQ(RegDeleteTreeA(kHKEY_LOCAL_MACHINE, ""), 5);
}

TEST_F(RegistryTest, UnparsableStoreFailsNamesItsLineAndStaysUntouched) {
  std::filesystem::create_directories(dir_.file("lib/keld4"));
  const std::string broken =
      std::string(kHeader) + "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Ostrel]\n\"A\"=dword:xyz\n";
  WriteFile(path_, broken);
  HKEY key = nullptr;
  EXPECT_EQ(RegOpenKeyExA(kHKEY_LOCAL_MACHINE, "SOFTWARE\\Ostrel", 0, kKEY_READ, &key), 1015);
  EXPECT_EQ(RegistryLastParseError().rfind(path_ + ":4: ", 0), 0u) << RegistryLastParseError();
  EXPECT_NE(RegistryLastParseError().find("dword"), std::string::npos);
  DWORD disposition;
  EXPECT_EQ(RegCreateKeyExA(kHKEY_LOCAL_MACHINE, "SOFTWARE\\X", 0, nullptr, 0, kKEY_ALL_ACCESS,
                            nullptr, &key, &disposition),
            1015);
  EXPECT_EQ(SetDword(kHKEY_LOCAL_MACHINE, "A", 1), 1015);
  EXPECT_EQ(RegDeleteTreeA(kHKEY_LOCAL_MACHINE, "SOFTWARE\\Ostrel"), 1015);
  EXPECT_EQ(ReadFile(path_), broken);

  // Mended by hand: readable again, and the error is gone.
  WriteFile(path_,
            std::string(kHeader) + "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Ostrel]\n\"A\"=dword:12\n");
  ASSERT_EQ(RegOpenKeyExA(kHKEY_LOCAL_MACHINE, "SOFTWARE\\Ostrel", 0, kKEY_READ, &key), 0);
  EXPECT_EQ(Get(key, "A"), Dword(0x12));
  EXPECT_EQ(RegistryLastParseError(), "");
  RegCloseKey(key);
}

TEST_F(RegistryTest, AChangeMadeOutsideIsSeenByTheNextRead) {
  HKEY key = Create("SOFTWARE\\Ostrel\\KELD4\\Parameter");
  ASSERT_EQ(SetDword(key, "MaxMemInfo", 0x1111), 0);
  EXPECT_EQ(Get(key, "MaxMemInfo"), Dword(0x1111));
  // Rewritten in place, same size, within the same clock tick: a cache keyed
  // on the file's identity alone would answer the old value.
  std::string text = ReadFile(path_);
  size_t at = text.find("00001111");
  ASSERT_NE(at, std::string::npos);
  text.replace(at, 8, "00002222");
  WriteFile(path_, text);
  EXPECT_EQ(Get(key, "MaxMemInfo"), Dword(0x2222));
  // And by another process through the ordinary calls.
  pid_t child = fork();
  if (child == 0) {
    HKEY k = nullptr;
    LONG rc = RegOpenKeyExA(kHKEY_LOCAL_MACHINE, "SOFTWARE\\Ostrel\\KELD4\\Parameter", 0,
                            kKEY_ALL_ACCESS, &k);
    if (rc == 0) rc = SetDword(k, "MaxMemInfo", 0x3333);
    _exit(rc == 0 ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_EQ(status, 0);
  EXPECT_EQ(Get(key, "MaxMemInfo"), Dword(0x3333));
  RegCloseKey(key);
}

TEST_F(RegistryTest, ProcessorKeyComesFromTheHostSourceAndIsReadOnly) {
  SetProcessorSourceForTest([] { return std::vector<int64_t>{2400, 2400, -1, 5000000000LL}; });
  HKEY cpu = nullptr;
  ASSERT_EQ(RegOpenKeyExA(kHKEY_LOCAL_MACHINE, "HARDWARE\\DESCRIPTION\\System\\CentralProcessor", 0,
                          kKEY_ALL_ACCESS, &cpu),
            0);
  DWORD subKeys = 0;
  ASSERT_EQ(RegQueryInfoKeyA(cpu, nullptr, nullptr, nullptr, &subKeys, nullptr, nullptr, nullptr,
                             nullptr, nullptr, nullptr, nullptr),
            0);
  EXPECT_EQ(subKeys, 4u);
  HKEY p = nullptr;
  ASSERT_EQ(RegOpenKeyExA(kHKEY_LOCAL_MACHINE, "HARDWARE\\DESCRIPTION\\System\\CentralProcessor\\1",
                          0, kKEY_ALL_ACCESS, &p),
            0);
  DWORD type = 0;
  EXPECT_EQ(Get(p, "~MHz", &type), Dword(2400));
  EXPECT_EQ(type, static_cast<DWORD>(kREG_DWORD));
  EXPECT_EQ(SetDword(p, "~MHz", 1), 5);
  EXPECT_EQ(RegDeleteValueA(p, "~MHz"), 5);
  RegCloseKey(p);
  ASSERT_EQ(RegOpenKeyExA(cpu, "2", 0, kKEY_READ, &p), 0);
  EXPECT_EQ(Get(p, "~MHz"), "<error 2>");
  RegCloseKey(p);
  ASSERT_EQ(RegOpenKeyExA(cpu, "3", 0, kKEY_READ, &p), 0);
  EXPECT_EQ(Get(p, "~MHz"), Dword(0xFFFFFFFF));
  RegCloseKey(p);
  EXPECT_EQ(RegOpenKeyExA(cpu, "4", 0, kKEY_READ, &p), 2);
  HKEY made = nullptr;
  EXPECT_EQ(RegCreateKeyExA(cpu, "9", 0, nullptr, 0, kKEY_ALL_ACCESS, nullptr, &made, nullptr), 5);
  EXPECT_EQ(RegDeleteTreeA(kHKEY_LOCAL_MACHINE, "HARDWARE"), 5);
  RegCloseKey(cpu);
  // kHKEY_LOCAL_MACHINE shows it beside the stored keys; the file never holds it.
  RegCloseKey(Create("SOFTWARE\\Ostrel"));
  ASSERT_EQ(RegQueryInfoKeyA(kHKEY_LOCAL_MACHINE, nullptr, nullptr, nullptr, &subKeys, nullptr,
                             nullptr, nullptr, nullptr, nullptr, nullptr, nullptr),
            0);
  EXPECT_EQ(subKeys, 2u);
  EXPECT_EQ(ReadFile(path_).find("HARDWARE"), std::string::npos);

  SetProcessorSourceForTest([] { return std::vector<int64_t>{}; });
  ASSERT_EQ(RegOpenKeyExA(kHKEY_LOCAL_MACHINE, "HARDWARE\\DESCRIPTION\\System\\CentralProcessor", 0,
                          kKEY_READ, &cpu),
            0);
  ASSERT_EQ(RegQueryInfoKeyA(cpu, nullptr, nullptr, nullptr, &subKeys, nullptr, nullptr, nullptr,
                             nullptr, nullptr, nullptr, nullptr),
            0);
  EXPECT_EQ(subKeys, 0u);
  RegCloseKey(cpu);
}

TEST_F(RegistryTest, HostProcessorsAreNumberedWithoutGaps) {
  std::string online = ReadFile("/sys/devices/system/cpu/online");
  std::vector<unsigned> cpus;
  if (!cpuinfo::ParseCpuList(online, &cpus))
    GTEST_SKIP() << "no readable /sys/devices/system/cpu/online";
  HKEY cpu = nullptr;
  ASSERT_EQ(RegOpenKeyExA(kHKEY_LOCAL_MACHINE, "HARDWARE\\DESCRIPTION\\System\\CentralProcessor", 0,
                          kKEY_READ, &cpu),
            0);
  DWORD subKeys = 0;
  ASSERT_EQ(RegQueryInfoKeyA(cpu, nullptr, nullptr, nullptr, &subKeys, nullptr, nullptr, nullptr,
                             nullptr, nullptr, nullptr, nullptr),
            0);
  EXPECT_EQ(subKeys, cpus.size());
  for (DWORD i = 0; i < subKeys; ++i) {
    HKEY p = nullptr;
    EXPECT_EQ(RegOpenKeyExA(cpu, std::to_string(i).c_str(), 0, kKEY_READ, &p), 0) << i;
    RegCloseKey(p);
  }
  RegCloseKey(cpu);
}

TEST_F(RegistryTest, AStoreThatCannotBeWrittenFailsTheWrite) {
  WriteFile(dir_.file("lib"), "a file where the directory should be");
  HKEY key = nullptr;
  EXPECT_EQ(RegCreateKeyExA(kHKEY_LOCAL_MACHINE, "SOFTWARE\\X", 0, nullptr, 0, kKEY_ALL_ACCESS,
                            nullptr, &key, nullptr),
            3);
  EXPECT_EQ(key, nullptr);
  EXPECT_EQ(SetDword(kHKEY_LOCAL_MACHINE, "A", 1), 3);
}

TEST_F(RegistryTest, SymbolicLinkToTheStoreStaysALink) {
  std::filesystem::create_directories(dir_.file("real"));
  std::filesystem::create_directories(dir_.file("lib/keld4"));
  std::string real = dir_.file("real/registry.reg");
  WriteFile(real, std::string(kHeader));
  std::filesystem::create_symlink(real, path_);
  HKEY key = Create("SOFTWARE\\Linked");
  ASSERT_EQ(SetDword(key, "A", 7), 0);
  RegCloseKey(key);
  EXPECT_TRUE(std::filesystem::is_symlink(path_));
  EXPECT_NE(ReadFile(real).find("Linked"), std::string::npos);
}

TEST_F(RegistryTest, StorePathFromTheEnvironment) {
  SetRegistryStorePathForTest("");
  const char* old = std::getenv("KELD4_REGISTRY");
  std::string saved = old != nullptr ? old : "";
  ::setenv("KELD4_REGISTRY", path_.c_str(), 1);
  EXPECT_EQ(RegistryStorePath(), path_);
  ::unsetenv("KELD4_REGISTRY");
  EXPECT_EQ(RegistryStorePath(), "/var/lib/keld4/registry.reg");
  if (old != nullptr) ::setenv("KELD4_REGISTRY", saved.c_str(), 1);
  SetRegistryStorePathForTest("/x/y.reg");
  EXPECT_EQ(RegistryStorePath(), "/x/y.reg");
}

// ---------------------------------------------------------------- many writers
TEST_F(RegistryTest, ConcurrentThreadsLoseNoUpdate) {
  RegCloseKey(Create("SOFTWARE\\Ostrel\\KELD4\\Parameter"));
  constexpr int kThreads = 4;
  constexpr int kWrites = 20;
  std::vector<std::thread> threads;
  std::atomic<int> failures{0};
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t, &failures] {
      HKEY key = nullptr;
      if (RegOpenKeyExA(kHKEY_LOCAL_MACHINE, "SOFTWARE\\Ostrel\\KELD4\\Parameter", 0,
                        kKEY_ALL_ACCESS, &key) != 0) {
        ++failures;
        return;
      }
      for (int i = 0; i < kWrites; ++i) {
        std::string name = "t" + std::to_string(t) + "_" + std::to_string(i);
        if (SetDword(key, name.c_str(), static_cast<DWORD>(i)) != 0) ++failures;
        if (Get(key, name.c_str()) != Dword(static_cast<DWORD>(i))) ++failures;
      }
      HKEY own = nullptr;
      std::string sub = "SOFTWARE\\Ostrel\\T" + std::to_string(t);
      if (RegCreateKeyExA(kHKEY_LOCAL_MACHINE, sub.c_str(), 0, nullptr, 0, kKEY_ALL_ACCESS, nullptr,
                          &own, nullptr) != 0)
        ++failures;
      RegCloseKey(own);
      RegCloseKey(key);
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(failures.load(), 0);
  auto root = ParseStoreFile();
  const reg::RegKey* k =
      reg::FindPath(*root, {"HKEY_LOCAL_MACHINE", "SOFTWARE", "Ostrel", "KELD4", "Parameter"});
  ASSERT_NE(k, nullptr);
  EXPECT_EQ(k->values.size(), static_cast<size_t>(kThreads * kWrites));
  EXPECT_EQ(reg::FindPath(*root, {"HKEY_LOCAL_MACHINE", "SOFTWARE", "Ostrel"})->subkeys.size(),
            1u + kThreads);
}

TEST_F(RegistryTest, ConcurrentProcessesLoseNoUpdate) {
  RegCloseKey(Create("SOFTWARE\\Ostrel\\KELD4\\Parameter"));
  constexpr int kChildren = 3;
  constexpr int kWrites = 15;
  std::vector<pid_t> children;
  for (int c = 0; c <= kChildren; ++c) {
    pid_t pid = c < kChildren ? fork() : 0;
    if (pid != 0) {
      children.push_back(pid);
      continue;
    }
    // Each process, this one last, writes its own values at the same time.
    HKEY key = nullptr;
    int bad = RegOpenKeyExA(kHKEY_LOCAL_MACHINE, "SOFTWARE\\Ostrel\\KELD4\\Parameter", 0,
                            kKEY_ALL_ACCESS, &key);
    for (int i = 0; i < kWrites && bad == 0; ++i) {
      std::string name = "p" + std::to_string(c) + "_" + std::to_string(i);
      bad = SetDword(key, name.c_str(), static_cast<DWORD>(i));
    }
    RegCloseKey(key);
    if (c < kChildren) _exit(bad == 0 ? 0 : 1);
    EXPECT_EQ(bad, 0);
  }
  for (pid_t pid : children) {
    int status = -1;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_EQ(status, 0);
  }
  auto root = ParseStoreFile();
  const reg::RegKey* k =
      reg::FindPath(*root, {"HKEY_LOCAL_MACHINE", "SOFTWARE", "Ostrel", "KELD4", "Parameter"});
  ASSERT_NE(k, nullptr);
  EXPECT_EQ(k->values.size(), static_cast<size_t>((kChildren + 1) * kWrites));
}

TEST_F(RegistryTest, KilledWriterLeavesAWholeStore) {
  HKEY key = Create("SOFTWARE\\Ostrel\\KELD4\\Parameter");
  ASSERT_EQ(SetDword(key, "Before", 1), 0);
  int acks[2];
  ASSERT_EQ(pipe(acks), 0);
  pid_t child = fork();
  if (child == 0) {
    close(acks[0]);
    for (int i = 0; i < 5000; ++i) {  // bounded: killed long before the end
      char name[32];
      std::snprintf(name, sizeof(name), "v%04d", i);
      if (SetDword(key, name, static_cast<DWORD>(i)) != 0) _exit(1);
      if (write(acks[1], "x", 1) != 1) _exit(1);
    }
    _exit(0);
  }
  close(acks[1]);
  int acknowledged = 0;
  pollfd pfd{acks[0], POLLIN, 0};
  while (acknowledged < 40 && poll(&pfd, 1, 20000) == 1) {
    char c;
    if (read(acks[0], &c, 1) != 1) break;
    ++acknowledged;
  }
  kill(child, SIGKILL);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  close(acks[0]);
  ASSERT_EQ(acknowledged, 40);
  ASSERT_TRUE(WIFSIGNALED(status));

  // Whatever moment the kill hit: the file parses and holds an unbroken run
  // of values, at least every one that was acknowledged.
  auto root = ParseStoreFile();
  const reg::RegKey* k =
      reg::FindPath(*root, {"HKEY_LOCAL_MACHINE", "SOFTWARE", "Ostrel", "KELD4", "Parameter"});
  ASSERT_NE(k, nullptr);
  ASSERT_NE(k->FindValue("Before"), nullptr);
  size_t run = k->values.size() - 1;
  EXPECT_GE(run, 40u);
  for (size_t i = 0; i < run; ++i) {
    char name[32];
    std::snprintf(name, sizeof(name), "v%04zu", i);
    const reg::RegValue* v = k->FindValue(name);
    ASSERT_NE(v, nullptr) << name;
    EXPECT_EQ(v->data, Dword(static_cast<DWORD>(i)));
  }
  // The next write goes on, and clears any temporary file the kill left.
  ASSERT_EQ(SetDword(key, "After", 2), 0);
  for (const auto& e : std::filesystem::directory_iterator(dir_.file("lib/keld4"))) {
    EXPECT_EQ(e.path().filename().string().find(".tmp."), std::string::npos) << e.path();
  }
  RegCloseKey(key);
}

}  // namespace
