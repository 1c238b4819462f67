// SPDX-License-Identifier: Apache-2.0
// Small helpers shared by the test programs.
#pragma once

#include <string>

namespace testsupport {

// A fresh directory under /tmp, removed with everything in it when the
// object goes.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& content);
bool FileExists(const std::string& path);

// True where the Windows build runs under Wine (the test runner says so),
// for the tests of behaviour Wine only stubs or words differently.
bool UnderWine();

// A test that needs addresses of its own runs again inside a network
// namespace of its own (unshare -rn): true inside it, where the test's body
// goes on.
bool InOwnNetworkNamespace();
// In the calling test, outside the namespace: runs this test program again
// inside one, for the current test only, and expects it to pass there; skips
// the test where no namespace can be created.
void RunAgainInOwnNetworkNamespace();

}  // namespace testsupport
