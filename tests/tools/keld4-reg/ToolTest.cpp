// SPDX-License-Identifier: Apache-2.0
// keld4-reg, run as the operator runs it.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "platform/common/regfile.h"
#include "platform/platform.h"
#include "platform/testing.h"
#include "tests/support/TestSupport.h"

namespace {

using testsupport::ReadFile;
using testsupport::WriteFile;

constexpr const char kParameter[] = "HKLM\\SOFTWARE\\Ostrel\\KELD4\\Parameter";

struct Result {
  int exit = -1;
  std::string out;
  std::string err;
};

class ToolTest : public ::testing::Test {
 protected:
  void SetUp() override { store_ = dir_.file("registry.reg"); }

  // Runs keld4-reg on the test's store (through KELD4_REGISTRY unless the
  // arguments choose one), with the given standard input.
  Result Run(std::vector<std::string> args, const std::string& input = "", bool useEnv = true) {
    std::string in = dir_.file("stdin"), out = dir_.file("stdout"), err = dir_.file("stderr");
    WriteFile(in, input);
    pid_t pid = fork();
    if (pid == 0) {
      int i = open(in.c_str(), O_RDONLY);
      int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      if (i < 0 || o < 0 || e < 0) _exit(120);
      dup2(i, 0);
      dup2(o, 1);
      dup2(e, 2);
      if (useEnv) {
        setenv("KELD4_REGISTRY", store_.c_str(), 1);
      } else {
        unsetenv("KELD4_REGISTRY");
      }
      std::vector<char*> argv;
      std::string program = KELD4_REG_BINARY;
      argv.push_back(program.data());
      for (std::string& a : args) argv.push_back(a.data());
      argv.push_back(nullptr);
      execv(program.c_str(), argv.data());
      _exit(121);
    }
    Result r;
    int status = 0;
    waitpid(pid, &status, 0);
    r.exit = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    r.out = ReadFile(out);
    r.err = ReadFile(err);
    return r;
  }

  testsupport::TempDir dir_;
  std::string store_;
};

TEST_F(ToolTest, HelpAndBadUsage) {
  Result r = Run({"--help"});
  EXPECT_EQ(r.exit, 0);
  EXPECT_NE(r.out.find("Usage: keld4-reg"), std::string::npos);
  const std::vector<std::vector<std::string>> bad = {
      {},
      {"frobnicate"},
      {"query"},
      {"query", "HKCU\\Software"},
      {"query", kParameter, "/x"},
      {"add", kParameter, "/v", "N", "/t", "REG_DWORD", "/d", "12abc"},
      {"add", kParameter, "/v", "N", "/t", "REG_DWORD", "/d", "4294967296"},
      {"add", kParameter, "/v", "N", "/t", "REG_BINARY", "/d", "abc"},
      {"add", kParameter, "/v", "N", "/t", "REG_WHATEVER", "/d", "1"},
      {"add", kParameter, "/d", "1"},
      {"add", kParameter, "/v"},
      {"export", kParameter},
      {"--store"},
  };
  for (const auto& args : bad) {
    r = Run(args);
    EXPECT_EQ(r.exit, 2) << (args.empty() ? "" : args[0]) << " " << r.err;
    EXPECT_EQ(r.err.rfind("keld4-reg: ", 0), 0u) << r.err;
  }
  EXPECT_FALSE(testsupport::FileExists(store_));
}

TEST_F(ToolTest, AddQueryAndDeleteValues) {
  EXPECT_EQ(Run({"add", kParameter, "/v", "LocalIPAddress", "/d", "10.0.0.1"}).exit, 0);
  EXPECT_EQ(Run({"add", kParameter, "/v", "PortNumber", "/t", "REG_DWORD", "/d", "0xafca"}).exit,
            0);
  EXPECT_EQ(Run({"ADD", kParameter, "/V", "Bytes", "/T", "reg_binary", "/D", "00Ff10"}).exit, 0);
  EXPECT_EQ(Run({"add", kParameter, "/v", "Path", "/t", "REG_EXPAND_SZ", "/d", "%HOME%/x"}).exit,
            0);
  EXPECT_EQ(
      Run({"add", kParameter, "/v", "Big", "/t", "REG_QWORD", "/d", "18446744073709551615"}).exit,
      0);
  EXPECT_EQ(Run({"add", kParameter, "/v", "List", "/t", "REG_MULTI_SZ", "/d", "a\\0b"}).exit, 0);
  EXPECT_EQ(Run({"add", kParameter, "/ve", "/d", "dflt"}).exit, 0);
  EXPECT_EQ(Run({"add", "HKLM\\SOFTWARE\\Ostrel\\KELD4\\Parameter\\Log"}).exit, 0);

  Result r = Run({"query", kParameter});
  EXPECT_EQ(r.exit, 0) << r.err;
  EXPECT_NE(r.out.find("\nHKEY_LOCAL_MACHINE\\SOFTWARE\\Ostrel\\KELD4\\Parameter\n"),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("    LocalIPAddress    REG_SZ    10.0.0.1\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("    PortNumber    REG_DWORD    0xafca\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("    Bytes    REG_BINARY    00FF10\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("    Path    REG_EXPAND_SZ    %HOME%/x\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("    Big    REG_QWORD    0xffffffffffffffff\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("    List    REG_MULTI_SZ    a\\0b\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("    (Default)    REG_SZ    dflt\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("HKEY_LOCAL_MACHINE\\SOFTWARE\\Ostrel\\KELD4\\Parameter\\Log\n"),
            std::string::npos);

  r = Run({"query", "hklm\\software\\ostrel\\keld4\\parameter", "/v", "portnumber"});
  EXPECT_EQ(r.exit, 0);
  EXPECT_NE(r.out.find("PortNumber    REG_DWORD    0xafca"), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find("LocalIPAddress"), std::string::npos);

  // The agent's own calls see what the tool wrote.
  plat::SetRegistryStorePathForTest(store_);
  plat::HKEY key = nullptr;
  ASSERT_EQ(plat::RegOpenKeyExA(plat::kHKEY_LOCAL_MACHINE, "SOFTWARE\\Ostrel\\KELD4\\Parameter", 0,
                                plat::kKEY_READ, &key),
            0);
  uint32_t port = 0;
  plat::DWORD size = 4;
  EXPECT_EQ(plat::RegQueryValueExA(key, "PortNumber", nullptr, nullptr,
                                   reinterpret_cast<plat::BYTE*>(&port), &size),
            0);
  EXPECT_EQ(port, 45002u);
  char ip[16];
  size = sizeof(ip);
  EXPECT_EQ(plat::RegQueryValueExA(key, "LocalIPAddress", nullptr, nullptr,
                                   reinterpret_cast<plat::BYTE*>(ip), &size),
            0);
  EXPECT_STREQ(ip, "10.0.0.1");
  plat::RegCloseKey(key);
  plat::SetRegistryStorePathForTest("");

  // An existing value changes only when confirmed or forced.
  r = Run({"add", kParameter, "/v", "PortNumber", "/t", "REG_DWORD", "/d", "1"}, "n\n");
  EXPECT_EQ(r.exit, 1);
  r = Run(
      {"add", kParameter, "/v", "PortNumber", "/t", "REG_DWORD", "/d", "1"});  // no answer at all
  EXPECT_EQ(r.exit, 1);
  EXPECT_NE(Run({"query", kParameter, "/v", "PortNumber"}).out.find("0xafca"), std::string::npos);
  EXPECT_EQ(
      Run({"add", kParameter, "/v", "PortNumber", "/t", "REG_DWORD", "/d", "2"}, "Yes\n").exit, 0);
  EXPECT_EQ(Run({"add", kParameter, "/v", "PortNumber", "/t", "REG_DWORD", "/d", "3", "/f"}).exit,
            0);
  EXPECT_NE(Run({"query", kParameter, "/v", "PortNumber"}).out.find("REG_DWORD    0x3\n"),
            std::string::npos);

  r = Run({"query", kParameter, "/v", "Nope"});
  EXPECT_EQ(r.exit, 1);
  EXPECT_NE(r.err.find("keld4-reg: the value Nope does not exist"), std::string::npos) << r.err;
  r = Run({"query", "HKLM\\SOFTWARE\\Nope"});
  EXPECT_EQ(r.exit, 1);
  EXPECT_NE(r.err.find("keld4-reg: the key HKEY_LOCAL_MACHINE\\SOFTWARE\\Nope does not exist"),
            std::string::npos);

  EXPECT_EQ(Run({"delete", kParameter, "/v", "Bytes"}).exit, 1);  // not confirmed
  EXPECT_EQ(Run({"delete", kParameter, "/v", "Bytes", "/f"}).exit, 0);
  EXPECT_EQ(Run({"query", kParameter, "/v", "Bytes"}).exit, 1);
  EXPECT_EQ(Run({"delete", kParameter, "/v", "Bytes", "/f"}).exit, 1);  // already gone
  EXPECT_EQ(Run({"delete", "HKLM\\SOFTWARE\\Ostrel"}, "no\n").exit, 1);
  EXPECT_EQ(Run({"query", kParameter}).exit, 0);
  EXPECT_EQ(Run({"delete", "HKLM\\SOFTWARE\\Ostrel"}, "y\n").exit, 0);
  EXPECT_EQ(Run({"query", kParameter}).exit, 1);
  EXPECT_EQ(Run({"delete", "HKLM", "/f"}).exit, 1);
}

TEST_F(ToolTest, ProcessorKeyIsReadOnly) {
  Result r = Run({"query", "HKLM\\HARDWARE\\DESCRIPTION\\System\\CentralProcessor", "/s"});
  EXPECT_EQ(r.exit, 0);
  EXPECT_NE(r.out.find("CentralProcessor\\0\n"), std::string::npos) << r.out;
  r = Run({"add", "HKLM\\HARDWARE\\DESCRIPTION\\System\\CentralProcessor\\0", "/v", "~MHz", "/t",
           "REG_DWORD", "/d", "1", "/f"});
  EXPECT_EQ(r.exit, 1);
  EXPECT_NE(r.err.find("Access is denied"), std::string::npos) << r.err;
  EXPECT_EQ(Run({"delete", "HKLM\\HARDWARE", "/f"}).exit, 1);
}

TEST_F(ToolTest, ImportsWindowsExportsAsOneChange) {
  EXPECT_EQ(Run({"add", kParameter, "/v", "Old", "/d", "x"}).exit, 0);
  std::string exportText =
      "Windows Registry Editor Version 5.00\r\n\r\n"
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Ostrel\\KELD4\\Parameter]\r\n"
      "\"LocalIPAddress\"=\"10.9.8.7\"\r\n"
      "\"Old\"=-\r\n"
      "\"ServerType\"=hex(2):57,00,65,00,62,00,00,00\r\n\r\n"
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Ostrel\\KELD4\\Parameter\\CpuLoad]\r\n"
      "\"CpuSendInterval\"=dword:00000002\r\n";
  std::string file = dir_.file("windows.reg");
  WriteFile(file, "\xFF\xFE" + plat::reg::NarrowToUtf16le(exportText));
  Result r = Run({"import", file});
  EXPECT_EQ(r.exit, 0) << r.err;
  r = Run({"query", "HKLM\\SOFTWARE\\Ostrel\\KELD4", "/s"});
  EXPECT_NE(r.out.find("LocalIPAddress    REG_SZ    10.9.8.7"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("ServerType    REG_EXPAND_SZ    Web"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("CpuSendInterval    REG_DWORD    0x2"), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find("Old"), std::string::npos) << r.out;

  // A file that goes wrong on its last line changes nothing at all.
  const std::string before = ReadFile(store_);
  std::string broken = dir_.file("broken.reg");
  WriteFile(broken,
            "Windows Registry Editor Version 5.00\n\n"
            "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Ostrel\\KELD4\\Parameter]\n"
            "\"LocalIPAddress\"=\"10.0.0.99\"\n"
            "[-HKEY_LOCAL_MACHINE\\SOFTWARE\\Ostrel\\KELD4\\Parameter\\CpuLoad]\n"
            "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Ostrel\\KELD4\\Parameter\\Log]\n"
            "\"LogLevel\"=dword:0000000g\n");
  r = Run({"import", broken});
  EXPECT_EQ(r.exit, 1);
  EXPECT_NE(r.err.find(broken + ":7: "), std::string::npos) << r.err;
  EXPECT_EQ(ReadFile(store_), before);

  std::string hardware = dir_.file("hardware.reg");
  WriteFile(
      hardware,
      "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\A]\n\"x\"=\"1\"\n"
      "[HKEY_LOCAL_MACHINE\\HARDWARE\\DESCRIPTION]\n");
  r = Run({"import", hardware});
  EXPECT_EQ(r.exit, 1);
  EXPECT_NE(r.err.find(hardware + ":5: "), std::string::npos) << r.err;
  EXPECT_EQ(ReadFile(store_), before);

  r = Run({"import", dir_.file("missing.reg")});
  EXPECT_EQ(r.exit, 1);
  EXPECT_NE(r.err.find("cannot read"), std::string::npos);
}

TEST_F(ToolTest, ExportWritesAFileThatImportsBack) {
  ASSERT_EQ(Run({"import", std::string(KELD4_SOURCE_DIR) + "/packaging/keld4.reg"}).exit, 0);
  EXPECT_EQ(Run({"add", kParameter, "/v", "Odd", "/t", "REG_BINARY", "/d", "00ff"}).exit, 0);
  std::string file = dir_.file("out.reg");
  Result r = Run({"export", "hklm\\software\\ostrel\\keld4", file});
  EXPECT_EQ(r.exit, 0) << r.err;
  std::string text = ReadFile(file);
  EXPECT_EQ(text.rfind("Windows Registry Editor Version 5.00\n", 0), 0u);
  EXPECT_NE(text.find("[HKEY_LOCAL_MACHINE\\SOFTWARE\\Ostrel\\KELD4]\n"), std::string::npos)
      << text;
  EXPECT_NE(text.find("\"PortNumber\"=dword:0000afca\n"), std::string::npos);

  // Into a second, empty store: the same tree.
  std::string second = dir_.file("second.reg");
  r = Run({"--store", second, "import", file}, "", false);
  EXPECT_EQ(r.exit, 0) << r.err;
  EXPECT_EQ(ReadFile(second).substr(
                ReadFile(second).find("[HKEY_LOCAL_MACHINE\\SOFTWARE\\Ostrel\\KELD4\\Parameter]")),
            ReadFile(store_).substr(
                ReadFile(store_).find("[HKEY_LOCAL_MACHINE\\SOFTWARE\\Ostrel\\KELD4\\Parameter]")));

  // An existing file is replaced only when confirmed or with /y.
  WriteFile(file, "keep");
  EXPECT_EQ(Run({"export", kParameter, file}).exit, 1);
  EXPECT_EQ(ReadFile(file), "keep");
  EXPECT_EQ(Run({"export", kParameter, file, "/y"}).exit, 0);
  EXPECT_NE(ReadFile(file).find("LocalIPAddress"), std::string::npos);
  r = Run({"export", kParameter, "-"});
  EXPECT_EQ(r.exit, 0);
  EXPECT_NE(r.out.find("\"LogName\""), std::string::npos);
  EXPECT_NE(r.out.find("\"LocalIPAddress\"=\"192.0.2.10\""), std::string::npos) << r.out;
  EXPECT_EQ(Run({"export", "HKLM\\SOFTWARE\\Nope", dir_.file("x.reg")}).exit, 1);
  EXPECT_FALSE(testsupport::FileExists(dir_.file("x.reg")));
}

TEST_F(ToolTest, StoreOptionAndUnreadableStore) {
  std::string other = dir_.file("other.reg");
  EXPECT_EQ(Run({"--store", other, "add", kParameter, "/v", "A", "/d", "1"}).exit, 0);
  EXPECT_TRUE(testsupport::FileExists(other));
  EXPECT_FALSE(testsupport::FileExists(store_));
  EXPECT_EQ(Run({"--store=" + other, "query", kParameter, "/v", "A"}).exit, 0);

  WriteFile(store_, "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\A]\n\"x\"=\n");
  Result r = Run({"query", "HKLM\\A"});
  EXPECT_EQ(r.exit, 1);
  EXPECT_NE(r.err.find(store_ + ":4: "), std::string::npos) << r.err;
  r = Run({"add", "HKLM\\A", "/v", "y", "/d", "1", "/f"});
  EXPECT_EQ(r.exit, 1);
  EXPECT_NE(r.err.find(store_ + ":4: "), std::string::npos) << r.err;
}

}  // namespace
