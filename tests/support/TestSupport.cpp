// SPDX-License-Identifier: Apache-2.0
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>

namespace testsupport {

TempDir::TempDir() {
  // The system's temporary folder (TMPDIR, else /tmp; on Windows TEMP).
  std::filesystem::path base = std::filesystem::temp_directory_path();
  std::random_device random;
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::filesystem::path candidate = base / ("keld4-test-" + std::to_string(random()));
    std::error_code ec;
    if (std::filesystem::create_directory(candidate, ec)) {
      path_ = candidate.string();
      return;
    }
  }
  throw std::runtime_error("no temporary folder could be made");
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

void WriteFile(const std::string& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
}

bool FileExists(const std::string& path) {
  std::error_code ec;
  return std::filesystem::exists(path, ec);
}

bool UnderWine() { return std::getenv("KELD4_UNDER_WINE") != nullptr; }

bool InOwnNetworkNamespace() { return std::getenv("KELD4_IN_NETNS") != nullptr; }

void RunAgainInOwnNetworkNamespace() {
  if (std::system("unshare -rn true >/dev/null 2>&1") != 0) {
    GTEST_SKIP() << "network namespaces cannot be created here (unshare -rn fails)";
  }
  std::error_code ec;
  std::string exe = std::filesystem::read_symlink("/proc/self/exe", ec).string();
  ASSERT_FALSE(exe.empty()) << ec.message();
  const ::testing::TestInfo* test = ::testing::UnitTest::GetInstance()->current_test_info();
  TempDir dir;
  std::string out = dir.file("out.txt");
  std::string command = std::string("unshare -rn env KELD4_IN_NETNS=1 '") + exe +
                        "' --gtest_filter=" + test->test_suite_name() + "." + test->name() + " >'" +
                        out + "' 2>&1";
  int status = std::system(command.c_str());
  std::string output = ReadFile(out);
  EXPECT_EQ(status, 0) << output;
  EXPECT_NE(output.find("[  PASSED  ] 1 test"), std::string::npos) << output;
}

}  // namespace testsupport
