// SPDX-License-Identifier: Apache-2.0
// Process handles and memory counters.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

#include "platform/common/handles.h"
#include "platform/linux/errors.h"
#include "platform/testing.h"

namespace plat {
namespace {

class Process : public detail::Object {
 public:
  explicit Process(DWORD pid) : pid(pid) {}
  const DWORD pid;
};

std::mutex g_memoryLock;
std::function<bool(size_t*, DWORD*)>* g_memorySource = nullptr;

// Reads "VmHWM" and "VmRSS" (kB) from /proc/PID/status.
bool ReadStatus(DWORD pid, size_t* peak, size_t* current, DWORD* error) {
  char path[64];
  std::snprintf(path, sizeof(path), "/proc/%u/status", pid);
  FILE* f = std::fopen(path, "re");
  if (f == nullptr) {
    *error = Win32FromErrno(errno);
    return false;
  }
  char line[256];
  bool havePeak = false;
  *current = 0;
  while (std::fgets(line, sizeof(line), f) != nullptr) {
    bool isPeak = std::strncmp(line, "VmHWM:", 6) == 0;
    if (!isPeak && std::strncmp(line, "VmRSS:", 6) != 0) continue;
    char* end = nullptr;
    errno = 0;
    unsigned long long kb = std::strtoull(line + 6, &end, 10);
    if (errno != 0 || end == line + 6) continue;
    if (isPeak) {
      *peak = static_cast<size_t>(kb) * 1024;
      havePeak = true;
    } else {
      *current = static_cast<size_t>(kb) * 1024;
    }
  }
  std::fclose(f);
  if (!havePeak) *error = kERROR_INVALID_DATA;
  return havePeak;
}

}  // namespace

HANDLE OpenProcess(DWORD /*access*/, BOOL /*inherit*/, DWORD processId) {
  char path[64];
  std::snprintf(path, sizeof(path), "/proc/%u", processId);
  FILE* f = std::fopen((std::string(path) + "/status").c_str(), "re");
  if (f == nullptr) {
    SetLastError(kERROR_INVALID_PARAMETER);
    return nullptr;
  }
  std::fclose(f);
  return detail::ToHandle(detail::Insert(std::make_shared<Process>(processId)));
}

BOOL GetProcessMemoryInfo(HANDLE process, PROCESS_MEMORY_COUNTERS* counters, DWORD cb) {
  auto p = detail::LookupAs<Process>(process);
  if (!p) return kFALSE;
  if (counters == nullptr || cb < sizeof(PROCESS_MEMORY_COUNTERS)) {
    SetLastError(kERROR_INSUFFICIENT_BUFFER);
    return kFALSE;
  }
  std::memset(counters, 0, sizeof(*counters));
  counters->cb = sizeof(*counters);
  size_t peak = 0, current = 0;
  DWORD error = 0;
  {
    std::lock_guard<std::mutex> guard(g_memoryLock);
    if (g_memorySource != nullptr) {
      if (!(*g_memorySource)(&peak, &error)) {
        SetLastError(error);
        return kFALSE;
      }
      counters->PeakWorkingSetSize = peak;
      counters->WorkingSetSize = peak;
      return kTRUE;
    }
  }
  if (!ReadStatus(p->pid, &peak, &current, &error)) {
    SetLastError(error);
    return kFALSE;
  }
  counters->PeakWorkingSetSize = peak;
  counters->WorkingSetSize = current;
  return kTRUE;
}

void SetProcessMemorySourceForTest(std::function<bool(size_t* peak, DWORD* error)> source) {
  std::lock_guard<std::mutex> guard(g_memoryLock);
  delete g_memorySource;
  g_memorySource = source ? new std::function<bool(size_t*, DWORD*)>(std::move(source)) : nullptr;
}

}  // namespace plat
