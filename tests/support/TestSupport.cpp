#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>

namespace testsupport {

TempDir::TempDir() {
  char pattern[] = "/tmp/keld4-test-XXXXXX";
  char* made = mkdtemp(pattern);
  if (made == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = made;
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
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0;
}

bool InOwnNetworkNamespace() { return std::getenv("KELD4_IN_NETNS") != nullptr; }

void RunAgainInOwnNetworkNamespace() {
  if (std::system("unshare -rn true >/dev/null 2>&1") != 0) {
    GTEST_SKIP() << "network namespaces cannot be created here (unshare -rn fails)";
  }
  char exe[4096];
  ssize_t n = readlink("/proc/self/exe", exe, sizeof(exe) - 1);
  ASSERT_GT(n, 0);
  exe[n] = '\0';
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
