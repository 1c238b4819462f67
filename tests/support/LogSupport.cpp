// SPDX-License-Identifier: Apache-2.0
#include "tests/support/LogSupport.h"

#include <cstdio>
#include <cstring>

#include "platform/platform.h"

namespace testsupport {

std::string ReadLogFile(const std::string& path) {
  plat::HANDLE file =
      plat::CreateFileA(path.c_str(), plat::kGENERIC_READ,
                        plat::kFILE_SHARE_READ | plat::kFILE_SHARE_WRITE | plat::kFILE_SHARE_DELETE,
                        nullptr, plat::kOPEN_EXISTING, plat::kFILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == plat::kINVALID_HANDLE_VALUE) return std::string();
  std::string text;
  char chunk[65536];
  plat::DWORD got = 0;
  while (plat::ReadFile(file, chunk, sizeof(chunk), &got, nullptr) && got > 0) {
    text.append(chunk, got);
  }
  plat::CloseHandle(file);
  return text;
}

LogCapture::LogCapture(const std::string& directory, uint32_t level)
    : directory_(directory.empty() ? own_.path() : directory) {
  std::memcpy(savedDirectory_, g_log.LogDirectory, sizeof(savedDirectory_));
  std::memcpy(savedName_, g_log.LogName, sizeof(savedName_));
  savedLevel_ = g_log.LogLevel.load();
  std::snprintf(g_log.LogDirectory, sizeof(g_log.LogDirectory), "%s", directory_.c_str());
  std::snprintf(g_log.LogName, sizeof(g_log.LogName), "%s", "keld4.log");
  g_log.LogLevel = level;
}

LogCapture::~LogCapture() {
  g_log.LogLevel = savedLevel_;
  std::memcpy(g_log.LogDirectory, savedDirectory_, sizeof(savedDirectory_));
  std::memcpy(g_log.LogName, savedName_, sizeof(savedName_));
}

std::string LogCapture::Raw() const { return ReadLogFile(path()); }

std::vector<std::string> LogCapture::Lines() const {
  std::vector<std::string> lines;
  std::string raw = Raw();
  size_t start = 0;
  while (start < raw.size()) {
    size_t end = raw.find("\r\n", start);
    if (end == std::string::npos) end = raw.size();
    std::string line = raw.substr(start, end - start);
    // "yyyy.mm.dd-hh:mm:ss " comes first.
    lines.push_back(line.size() > 20 ? line.substr(20) : line);
    start = end + 2;
  }
  return lines;
}

int LogCapture::Count(const std::string& line) const {
  int n = 0;
  for (const auto& l : Lines()) n += l == line ? 1 : 0;
  return n;
}

int LogCapture::CountPrefix(const std::string& prefix) const {
  int n = 0;
  for (const auto& l : Lines()) n += l.rfind(prefix, 0) == 0 ? 1 : 0;
  return n;
}

int LogCapture::Find(const std::string& line, int from) const {
  auto lines = Lines();
  for (size_t i = static_cast<size_t>(from); i < lines.size(); ++i) {
    if (lines[i] == line) return static_cast<int>(i);
  }
  return -1;
}

}  // namespace testsupport
