// SPDX-License-Identifier: Apache-2.0
// The parts of the platform layer every implementation shares: the calling
// thread's last error, the handle table, and time arithmetic over the clock
// the implementation provides.
#include <atomic>
#include <chrono>
#include <ctime>
#include <mutex>
#include <shared_mutex>
#include <thread>
#include <unordered_map>

#include "platform/common/handles.h"
#include "platform/testing.h"

namespace plat {

namespace {
thread_local DWORD t_lastError = 0;
}

DWORD GetLastError() { return t_lastError; }
void SetLastError(DWORD code) { t_lastError = code; }

// ---------------------------------------------------------------- handle table
namespace detail {
namespace {
struct Table {
  // Every call on a handle looks it up: lookups share the lock, so threads
  // working on their own handles never wait for each other.
  std::shared_mutex lock;
  std::unordered_map<uintptr_t, std::shared_ptr<Object>> objects;
  // Values are never reused within a process, so a stale handle can never
  // reach a newer object.
  uintptr_t next = 0x1000;
};
Table& table() {
  static Table* t = new Table;  // never destroyed: threads may outlive exit
  return *t;
}
}  // namespace

uintptr_t Insert(std::shared_ptr<Object> object) {
  Table& t = table();
  std::lock_guard<std::shared_mutex> guard(t.lock);
  uintptr_t value = t.next;
  t.next += 4;
  t.objects.emplace(value, std::move(object));
  return value;
}

std::shared_ptr<Object> Lookup(uintptr_t handle) {
  Table& t = table();
  std::shared_lock<std::shared_mutex> guard(t.lock);
  auto it = t.objects.find(handle);
  if (it == t.objects.end()) {
    plat::SetLastError(kERROR_INVALID_HANDLE);
    return nullptr;
  }
  return it->second;
}

bool Remove(uintptr_t handle) {
  std::shared_ptr<Object> object;
  {
    Table& t = table();
    std::lock_guard<std::shared_mutex> guard(t.lock);
    auto it = t.objects.find(handle);
    if (it == t.objects.end()) return false;
    object = std::move(it->second);
    t.objects.erase(it);
  }
  object->close();
  return true;
}
}  // namespace detail

BOOL CloseHandle(HANDLE h) {
  if (h == nullptr || h == kINVALID_HANDLE_VALUE ||
      !detail::Remove(reinterpret_cast<uintptr_t>(h))) {
    SetLastError(kERROR_INVALID_HANDLE);
    return kFALSE;
  }
  return kTRUE;
}

// A socket is a handle-table entry too: its object closes the system socket
// once no call is inside it.
int closesocket(SOCKET s) {
  if (!detail::Remove(static_cast<uintptr_t>(s))) {
    SetLastError(kWSAENOTSOCK);
    return kSOCKET_ERROR;
  }
  return 0;
}

void Sleep(DWORD milliseconds) {
  std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

// ---------------------------------------------------------------- time
namespace {
constexpr ULONGLONG kUnixEpochAsFileTime = 116444736000000000ULL;
std::mutex g_clockLock;
std::function<ULONGLONG()>* g_testClock = nullptr;
// Set only while a test clock is in place, so that the agent's own time
// reads never touch the lock.
std::atomic<bool> g_testClockSet{false};

void FileTimeUnitsToSystemTime(ULONGLONG units, SYSTEMTIME* st) {
  // Civil-from-days over the proleptic Gregorian calendar, no time zone:
  // FILETIME values here are local times already.
  ULONGLONG totalMs = units / 10000;
  ULONGLONG days = totalMs / 86400000ULL;
  ULONGLONG msOfDay = totalMs % 86400000ULL;
  // 1601-01-01 was a Monday.
  st->wDayOfWeek = static_cast<WORD>((days + 1) % 7);
  int64_t z = static_cast<int64_t>(days) - 134774 + 719468;  // days since 0000-03-01
  int64_t era = z / 146097;
  int64_t doe = z - era * 146097;
  int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  int64_t y = yoe + era * 400;
  int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  int64_t mp = (5 * doy + 2) / 153;
  int64_t d = doy - (153 * mp + 2) / 5 + 1;
  int64_t m = mp < 10 ? mp + 3 : mp - 9;
  if (m <= 2) ++y;
  st->wYear = static_cast<WORD>(y);
  st->wMonth = static_cast<WORD>(m);
  st->wDay = static_cast<WORD>(d);
  st->wHour = static_cast<WORD>(msOfDay / 3600000);
  st->wMinute = static_cast<WORD>(msOfDay / 60000 % 60);
  st->wSecond = static_cast<WORD>(msOfDay / 1000 % 60);
  st->wMilliseconds = static_cast<WORD>(msOfDay % 1000);
}
}  // namespace

ULONGLONG LocalFileTimeNow() {
  if (g_testClockSet.load(std::memory_order_acquire)) {
    std::lock_guard<std::mutex> guard(g_clockLock);
    if (g_testClock != nullptr) return (*g_testClock)();
  }
  return detail::SystemLocalFileTime();
}

void SetLocalClockForTest(std::function<ULONGLONG()> clock) {
  std::lock_guard<std::mutex> guard(g_clockLock);
  delete g_testClock;
  g_testClock = clock ? new std::function<ULONGLONG()>(std::move(clock)) : nullptr;
  g_testClockSet.store(g_testClock != nullptr, std::memory_order_release);
}

void GetLocalTime(SYSTEMTIME* st) { FileTimeUnitsToSystemTime(LocalFileTimeNow(), st); }

int64_t TimeNow() {
  if (g_testClockSet.load(std::memory_order_acquire)) {
    std::lock_guard<std::mutex> guard(g_clockLock);
    if (g_testClock != nullptr) {
      // The test clock is local time; give seconds since 1970 in the same scale.
      return static_cast<int64_t>(((*g_testClock)() - kUnixEpochAsFileTime) / 10000000ULL);
    }
  }
  return static_cast<int64_t>(std::time(nullptr));
}

BOOL SystemTimeToFileTime(const SYSTEMTIME* st, FILETIME* ft) {
  if (st->wMonth < 1 || st->wMonth > 12 || st->wDay < 1 || st->wDay > 31 || st->wHour > 23 ||
      st->wMinute > 59 || st->wSecond > 59 || st->wMilliseconds > 999 || st->wYear < 1601) {
    SetLastError(kERROR_INVALID_PARAMETER);
    return kFALSE;
  }
  int64_t y = st->wYear;
  int64_t m = st->wMonth;
  int64_t d = st->wDay;
  y -= m <= 2;
  int64_t era = y / 400;
  int64_t yoe = y - era * 400;
  int64_t doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
  int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  int64_t daysSince1601 = era * 146097 + doe - 719468 + 134774;
  ULONGLONG units = (static_cast<ULONGLONG>(daysSince1601) * 86400000ULL + st->wHour * 3600000ULL +
                     st->wMinute * 60000ULL + st->wSecond * 1000ULL + st->wMilliseconds) *
                    10000ULL;
  ft->dwLowDateTime = static_cast<DWORD>(units);
  ft->dwHighDateTime = static_cast<DWORD>(units >> 32);
  return kTRUE;
}

BOOL FileTimeToSystemTime(const FILETIME* ft, SYSTEMTIME* st) {
  ULONGLONG units = (static_cast<ULONGLONG>(ft->dwHighDateTime) << 32) | ft->dwLowDateTime;
  if (units >= 0x8000000000000000ULL) {
    SetLastError(kERROR_INVALID_PARAMETER);
    return kFALSE;
  }
  FileTimeUnitsToSystemTime(units, st);
  return kTRUE;
}

LONG CompareFileTime(const FILETIME* a, const FILETIME* b) {
  ULONGLONG x = (static_cast<ULONGLONG>(a->dwHighDateTime) << 32) | a->dwLowDateTime;
  ULONGLONG y = (static_cast<ULONGLONG>(b->dwHighDateTime) << 32) | b->dwLowDateTime;
  return x < y ? -1 : (x > y ? 1 : 0);
}

}  // namespace plat
