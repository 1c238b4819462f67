// SPDX-License-Identifier: Apache-2.0
// Process handles and memory figures on Windows.

#include <functional>
#include <mutex>

#include "platform/testing.h"
#include "platform/win32/win32.h"

namespace plat {
namespace {
std::mutex g_sourceLock;
std::function<bool(size_t*, DWORD*)> g_memorySource;
}  // namespace

void SetProcessMemorySourceForTest(std::function<bool(size_t* peak, DWORD* error)> source) {
  std::lock_guard<std::mutex> guard(g_sourceLock);
  g_memorySource = std::move(source);
}

HANDLE OpenProcess(DWORD access, BOOL inherit, DWORD processId) {
  ::HANDLE h = ::OpenProcess(access, inherit, processId);
  if (h == nullptr) {
    detail::KeepLastError();
    return nullptr;
  }
  return detail::ToHandle(detail::Insert(std::make_shared<detail::SystemHandle>(h)));
}

BOOL GetProcessMemoryInfo(HANDLE process, PROCESS_MEMORY_COUNTERS* counters, DWORD cb) {
  auto h = detail::LookupAs<detail::SystemHandle>(process);
  if (!h) return kFALSE;
  if (cb < sizeof(PROCESS_MEMORY_COUNTERS)) {
    SetLastError(kERROR_INSUFFICIENT_BUFFER);
    return kFALSE;
  }
  {
    std::lock_guard<std::mutex> guard(g_sourceLock);
    if (g_memorySource) {
      *counters = PROCESS_MEMORY_COUNTERS{};
      counters->cb = cb;
      DWORD error = 0;
      if (!g_memorySource(&counters->PeakWorkingSetSize, &error)) {
        SetLastError(error);
        return kFALSE;
      }
      return kTRUE;
    }
  }
  ::PROCESS_MEMORY_COUNTERS n{};
  n.cb = sizeof(n);
  if (!::GetProcessMemoryInfo(h->get(), &n, sizeof(n))) {
    detail::KeepLastError();
    return kFALSE;
  }
  counters->cb = cb;
  counters->PageFaultCount = n.PageFaultCount;
  counters->PeakWorkingSetSize = n.PeakWorkingSetSize;
  counters->WorkingSetSize = n.WorkingSetSize;
  counters->QuotaPeakPagedPoolUsage = n.QuotaPeakPagedPoolUsage;
  counters->QuotaPagedPoolUsage = n.QuotaPagedPoolUsage;
  counters->QuotaPeakNonPagedPoolUsage = n.QuotaPeakNonPagedPoolUsage;
  counters->QuotaNonPagedPoolUsage = n.QuotaNonPagedPoolUsage;
  counters->PagefileUsage = n.PagefileUsage;
  counters->PeakPagefileUsage = n.PeakPagefileUsage;
  return kTRUE;
}

}  // namespace plat
