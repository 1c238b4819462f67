// SPDX-License-Identifier: Apache-2.0
// The process-wide log pointed at a test's folder.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "log/Log.h"
#include "tests/support/TestSupport.h"

namespace testsupport {

// The text of a log file that the agent may be writing, backing up or moving
// at the same time: read sharing every access, so that where share modes
// hold (Windows) neither the reader nor the agent fails. "" when there is
// no file.
std::string ReadLogFile(const std::string& path);

// Points g_log at `directory` (a fresh one of its own when empty), file
// "keld4.log", with the given levels; puts folder, name and levels back after.
class LogCapture {
 public:
  explicit LogCapture(const std::string& directory = "",
                      uint32_t level = INFO | ERR | WARN | DEBUG);
  ~LogCapture();
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  std::string path() const { return directory_ + "/keld4.log"; }
  // Every line as "LEVEL: message", timestamp and CR LF taken off.
  std::vector<std::string> Lines() const;
  int Count(const std::string& line) const;
  int CountPrefix(const std::string& prefix) const;
  bool Has(const std::string& line) const { return Count(line) > 0; }
  // Index of the first line equal to `line` at or after `from`, or -1.
  int Find(const std::string& line, int from = 0) const;
  std::string Raw() const;

 private:
  TempDir own_;
  std::string directory_;
  char savedDirectory_[sizeof(g_log.LogDirectory)];
  char savedName_[sizeof(g_log.LogName)];
  uint32_t savedLevel_;
};

}  // namespace testsupport
