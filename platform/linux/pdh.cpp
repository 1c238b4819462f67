// SPDX-License-Identifier: Apache-2.0
// Performance data: a query with the one processor-time counter, over
// /proc/stat.
//
// Raw sample of "\Processor(_Total)\% Processor Time":
//   FirstValue   time all processors spent with nothing to run (idle plus
//                iowait) since boot, in 100 ns units;
//   SecondValue  all time of all processors since boot (user, nice, system,
//                idle, iowait, irq, softirq, steal; guest time is already part
//                of user and nice), in 100 ns units;
//   MultiCount   number of processors online at the collection;
//   TimeStamp    local time of the collection (FILETIME scale), see
//                CollectionStamp in procstat.h.
// Between two samples the load is 100 * (1 - dFirst / dSecond): the share of
// processor time that was not idle.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "platform/common/handles.h"
#include "platform/linux/procstat.h"
#include "platform/testing.h"

namespace plat {

namespace {

constexpr DWORD kPerf100NsecTimerInv = 0x20570500;  // the counter type Windows gives it
constexpr PDH_STATUS kPdhCstatusNoInstance = static_cast<PDH_STATUS>(0x800007D1);
constexpr size_t kMaxProcStatBytes = size_t{4} * 1024 * 1024;

struct PdhQuery : detail::Object {
  std::vector<uintptr_t> counters;
  std::string text;  // read buffer, kept to avoid an allocation per collection
};

struct PdhCounter : detail::Object {
  uintptr_t query = 0;
  bool hasData = false;
  PDH_RAW_COUNTER sample{};
};

// Never destroyed: the sampler's destructor closes its query during exit,
// possibly after this file's statics would have gone.
std::mutex& PdhLock() {
  static std::mutex* lock = new std::mutex;
  return *lock;
}
std::mutex& SourceLock() {
  static std::mutex* lock = new std::mutex;
  return *lock;
}
std::function<PDH_STATUS(PDH_RAW_COUNTER*)>*& TestSource() {
  static std::function<PDH_STATUS(PDH_RAW_COUNTER*)>* source = nullptr;
  return source;
}

bool EqualNoCase(const char* a, const char* b, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

// "\Object(Instance)\Counter": only "\Processor(_Total)\% Processor Time",
// without regard to case.
PDH_STATUS CheckCounterPath(const char* path) {
  size_t length = std::strlen(path);
  if (length < 2 || path[0] != '\\' || path[1] == '\\') return kPDH_CSTATUS_BAD_COUNTERNAME;
  const char* open = std::strchr(path, '(');
  const char* close = open ? std::strchr(open, ')') : nullptr;
  if (open == nullptr || close == nullptr || close[1] != '\\' || close[2] == '\0' ||
      std::strchr(close + 2, '\\') != nullptr) {
    return kPDH_CSTATUS_BAD_COUNTERNAME;
  }
  static const char kObject[] = "Processor";
  static const char kInstance[] = "_Total";
  static const char kCounter[] = "% Processor Time";
  size_t objectLength = static_cast<size_t>(open - (path + 1));
  if (objectLength != sizeof(kObject) - 1 || !EqualNoCase(path + 1, kObject, objectLength)) {
    return kPDH_CSTATUS_NO_OBJECT;
  }
  const char* counter = close + 2;
  if (std::strlen(counter) != sizeof(kCounter) - 1 ||
      !EqualNoCase(counter, kCounter, sizeof(kCounter) - 1)) {
    return kPDH_CSTATUS_NO_COUNTER;
  }
  size_t instanceLength = static_cast<size_t>(close - (open + 1));
  if (instanceLength != sizeof(kInstance) - 1 ||
      !EqualNoCase(open + 1, kInstance, instanceLength)) {
    return kPdhCstatusNoInstance;
  }
  return kERROR_SUCCESS;
}

long ClockTicksPerSecond() {
  static const long hz = sysconf(_SC_CLK_TCK);
  return hz;
}

// Reads the processor lines of /proc/stat into `text`.
bool ReadProcStat(std::string* text) {
  int fd = ::open("/proc/stat", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  text->clear();
  char chunk[4096];
  bool ok = true;
  for (;;) {
    ssize_t n = ::read(fd, chunk, sizeof(chunk));
    if (n < 0) {
      if (errno == EINTR) continue;
      ok = false;
      break;
    }
    if (n == 0) break;
    text->append(chunk, static_cast<size_t>(n));
    if (detail::ProcStatCpuLinesComplete(text->data(), text->size())) break;
    if (text->size() > kMaxProcStatBytes) break;
  }
  ::close(fd);
  return ok;
}

PDH_STATUS CollectFromProcStat(std::string* buffer, PDH_RAW_COUNTER* sample) {
  if (!ReadProcStat(buffer)) return kPDH_NO_DATA;
  detail::ProcStatTimes times{};
  if (!detail::ParseProcStat(buffer->data(), buffer->size(), &times)) return kPDH_INVALID_DATA;
  int64_t idle = 0, total = 0;
  long hz = ClockTicksPerSecond();
  if (!detail::TicksToFileTimeUnits(times.idle, hz, &idle) ||
      !detail::TicksToFileTimeUnits(times.total, hz, &total)) {
    return kPDH_INVALID_DATA;
  }
  uint32_t cpus = times.cpus;
  if (cpus == 0) {
    long online = sysconf(_SC_NPROCESSORS_ONLN);
    cpus = online > 0 ? static_cast<uint32_t>(online) : 1;
  }
  ULONGLONG stamp = detail::CollectionStamp(LocalFileTimeNow());
  sample->CStatus = static_cast<DWORD>(kPDH_CSTATUS_VALID_DATA);
  sample->TimeStamp.dwLowDateTime = static_cast<DWORD>(stamp);
  sample->TimeStamp.dwHighDateTime = static_cast<DWORD>(stamp >> 32);
  sample->FirstValue = idle;
  sample->SecondValue = total;
  sample->MultiCount = cpus;
  return kERROR_SUCCESS;
}

ULONGLONG Units(const FILETIME& ft) {
  return (static_cast<ULONGLONG>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
}

bool UsableRaw(const PDH_RAW_COUNTER& raw) {
  return raw.CStatus == static_cast<DWORD>(kPDH_CSTATUS_VALID_DATA) ||
         raw.CStatus == static_cast<DWORD>(kPDH_CSTATUS_NEW_DATA);
}

// Halves away from zero, as std::round does, without the maths library: its
// one call here would map all of libm into the agent.
long double RoundHalfAway(long double x) {
  long double a = x < 0 ? -x : x;
  if (!(a < 0x1p63L)) return x;  // no fraction left at this size (or not a number)
  auto whole = static_cast<uint64_t>(a);
  if (a - static_cast<long double>(whole) >= 0.5L) ++whole;
  long double r = static_cast<long double>(whole);
  return x < 0 ? -r : r;
}

}  // namespace

PDH_STATUS PdhOpenQueryA(const char* dataSource, uintptr_t /*userData*/, PDH_HQUERY* query) {
  if (query == nullptr || dataSource != nullptr) return kPDH_INVALID_ARGUMENT;
  auto object = std::make_shared<PdhQuery>();
  std::lock_guard<std::mutex> guard(PdhLock());
  *query = detail::ToHandle(detail::Insert(std::move(object)));
  return kERROR_SUCCESS;
}

PDH_STATUS PdhAddCounterA(PDH_HQUERY query, const char* path, uintptr_t /*userData*/,
                          PDH_HCOUNTER* counter) {
  if (path == nullptr || counter == nullptr) return kPDH_INVALID_ARGUMENT;
  std::lock_guard<std::mutex> guard(PdhLock());
  auto q = detail::LookupAs<PdhQuery>(query);
  if (!q) return kPDH_INVALID_HANDLE;
  PDH_STATUS status = CheckCounterPath(path);
  if (status != kERROR_SUCCESS) return status;
  auto c = std::make_shared<PdhCounter>();
  c->query = reinterpret_cast<uintptr_t>(query);
  uintptr_t value = detail::Insert(std::move(c));
  q->counters.push_back(value);
  *counter = detail::ToHandle(value);
  return kERROR_SUCCESS;
}

PDH_STATUS PdhCollectQueryData(PDH_HQUERY query) {
  std::lock_guard<std::mutex> guard(PdhLock());
  auto q = detail::LookupAs<PdhQuery>(query);
  if (!q) return kPDH_INVALID_HANDLE;
  if (q->counters.empty()) return kPDH_NO_DATA;
  PDH_RAW_COUNTER sample{};
  PDH_STATUS status;
  {
    std::lock_guard<std::mutex> sourceGuard(SourceLock());
    if (TestSource() != nullptr) {
      status = (*TestSource())(&sample);
    } else {
      status = CollectFromProcStat(&q->text, &sample);
    }
  }
  // A failed collection leaves the counters' last samples as they were.
  if (status != kERROR_SUCCESS) return status;
  for (uintptr_t value : q->counters) {
    auto c = detail::LookupAs<PdhCounter>(value);
    if (!c) continue;
    c->sample = sample;
    c->hasData = true;
  }
  return kERROR_SUCCESS;
}

PDH_STATUS PdhGetRawCounterValue(PDH_HCOUNTER counter, DWORD* type, PDH_RAW_COUNTER* value) {
  if (value == nullptr) return kPDH_INVALID_ARGUMENT;
  std::lock_guard<std::mutex> guard(PdhLock());
  auto c = detail::LookupAs<PdhCounter>(counter);
  if (!c) return kPDH_INVALID_HANDLE;
  if (type != nullptr) *type = kPerf100NsecTimerInv;
  if (!c->hasData) {
    *value = PDH_RAW_COUNTER{};
    value->CStatus = static_cast<DWORD>(kPDH_INVALID_DATA);
    return kPDH_NO_DATA;
  }
  *value = c->sample;
  return kERROR_SUCCESS;
}

PDH_STATUS PdhCalculateCounterFromRawValue(PDH_HCOUNTER counter, DWORD format,
                                           PDH_RAW_COUNTER* raw1, PDH_RAW_COUNTER* raw2,
                                           PDH_FMT_COUNTERVALUE* value) {
  {
    std::lock_guard<std::mutex> guard(PdhLock());
    if (!detail::LookupAs<PdhCounter>(counter)) return kPDH_INVALID_HANDLE;
  }
  if (raw1 == nullptr || raw2 == nullptr || value == nullptr) return kPDH_INVALID_ARGUMENT;
  DWORD kind = format & (kPDH_FMT_LONG | kPDH_FMT_DOUBLE | kPDH_FMT_LARGE);
  if (kind != kPDH_FMT_LONG && kind != kPDH_FMT_DOUBLE && kind != kPDH_FMT_LARGE) {
    return kPDH_INVALID_ARGUMENT;
  }
  // A failed calculation leaves *value as it was: the caller keeps the
  // result of its last good one.
  if (!UsableRaw(*raw1) || !UsableRaw(*raw2)) return kPDH_INVALID_DATA;
  if (Units(raw1->TimeStamp) < Units(raw2->TimeStamp)) return kPDH_CALC_NEGATIVE_TIMEBASE;
  // Differences in unsigned arithmetic: counters from any source must not
  // overflow a signed subtraction.
  int64_t dFirst = static_cast<int64_t>(static_cast<uint64_t>(raw1->FirstValue) -
                                        static_cast<uint64_t>(raw2->FirstValue));
  int64_t dSecond = static_cast<int64_t>(static_cast<uint64_t>(raw1->SecondValue) -
                                         static_cast<uint64_t>(raw2->SecondValue));
  if (dSecond <= 0) return kPDH_CALC_NEGATIVE_DENOMINATOR;
  if (dFirst < 0) return kPDH_CALC_NEGATIVE_VALUE;
  // 100 * (1 - dFirst / dSecond), as 100 * busy / dSecond so that exact
  // halves stay exact for the rounding (both operands fit the long double
  // mantissa).
  int64_t busy = dSecond - dFirst;  // both >= 0: cannot overflow
  long double percent = 100.0L * static_cast<long double>(busy) / static_cast<long double>(dSecond);
  if ((format & kPDH_FMT_NOCAP100) == 0) {
    if (percent > 100.0L) percent = 100.0L;
    if (percent < 0.0L) percent = 0.0L;
  }
  value->CStatus = static_cast<DWORD>(kPDH_CSTATUS_VALID_DATA);
  if (kind == kPDH_FMT_DOUBLE) {
    value->doubleValue = static_cast<double>(percent);
  } else {
    // dFirst >= 0 bounds the value above by 100; below it is bounded by the
    // ratio, which a huge dFirst can push past any integer: saturate.
    long double rounded = RoundHalfAway(percent);
    if (kind == kPDH_FMT_LONG) {
      if (rounded < static_cast<long double>(INT32_MIN)) rounded = INT32_MIN;
      value->longValue = static_cast<LONG>(rounded);
    } else {
      if (rounded < -9.2e18L) rounded = -9.2e18L;
      value->largeValue = static_cast<LONGLONG>(rounded);
    }
  }
  return kERROR_SUCCESS;
}

PDH_STATUS PdhRemoveCounter(PDH_HCOUNTER counter) {
  std::lock_guard<std::mutex> guard(PdhLock());
  auto c = detail::LookupAs<PdhCounter>(counter);
  if (!c) return kPDH_INVALID_HANDLE;
  uintptr_t value = reinterpret_cast<uintptr_t>(counter);
  if (auto q = detail::LookupAs<PdhQuery>(c->query)) {
    auto& list = q->counters;
    for (auto it = list.begin(); it != list.end(); ++it) {
      if (*it == value) {
        list.erase(it);
        break;
      }
    }
  }
  detail::Remove(value);
  return kERROR_SUCCESS;
}

PDH_STATUS PdhCloseQuery(PDH_HQUERY query) {
  std::lock_guard<std::mutex> guard(PdhLock());
  auto q = detail::LookupAs<PdhQuery>(query);
  if (!q) return kPDH_INVALID_HANDLE;
  // The query's counters go with it: their handles answer kPDH_INVALID_HANDLE.
  for (uintptr_t value : q->counters) detail::Remove(value);
  q->counters.clear();
  detail::Remove(reinterpret_cast<uintptr_t>(query));
  return kERROR_SUCCESS;
}

void SetProcessorTimeSourceForTest(std::function<PDH_STATUS(PDH_RAW_COUNTER* sample)> source) {
  std::lock_guard<std::mutex> guard(SourceLock());
  delete TestSource();
  TestSource() =
      source ? new std::function<PDH_STATUS(PDH_RAW_COUNTER*)>(std::move(source)) : nullptr;
}

}  // namespace plat
