// SPDX-License-Identifier: Apache-2.0
// Performance data on Windows: pdh.dll itself. Queries and counters are the
// system's handles, carried in the contract's handle type.

#include <functional>
#include <map>
#include <mutex>

#include "platform/testing.h"
#include "platform/win32/win32.h"

namespace plat {
namespace {

// The test seam: while a source is set, collections take their sample from
// it instead of pdh.dll and the counters hand that sample back; the
// calculation stays the system's.
struct SeamCounter {
  PDH_HQUERY query = nullptr;
  bool hasData = false;
  PDH_RAW_COUNTER sample{};
};
std::mutex g_seamLock;
std::function<PDH_STATUS(PDH_RAW_COUNTER*)> g_timeSource;
std::map<PDH_HCOUNTER, SeamCounter> g_seamCounters;

template <class T>
T Native(HANDLE h) {
  return reinterpret_cast<T>(h);
}

void FromNative(const ::PDH_RAW_COUNTER& n, PDH_RAW_COUNTER* c) {
  c->CStatus = n.CStatus;
  c->TimeStamp.dwLowDateTime = n.TimeStamp.dwLowDateTime;
  c->TimeStamp.dwHighDateTime = n.TimeStamp.dwHighDateTime;
  c->FirstValue = n.FirstValue;
  c->SecondValue = n.SecondValue;
  c->MultiCount = n.MultiCount;
}

::PDH_RAW_COUNTER ToNative(const PDH_RAW_COUNTER& c) {
  ::PDH_RAW_COUNTER n{};
  n.CStatus = c.CStatus;
  n.TimeStamp.dwLowDateTime = c.TimeStamp.dwLowDateTime;
  n.TimeStamp.dwHighDateTime = c.TimeStamp.dwHighDateTime;
  n.FirstValue = c.FirstValue;
  n.SecondValue = c.SecondValue;
  n.MultiCount = c.MultiCount;
  return n;
}

}  // namespace

PDH_STATUS PdhOpenQueryA(const char* dataSource, uintptr_t userData, PDH_HQUERY* query) {
  ::PDH_HQUERY q = nullptr;
  PDH_STATUS rc = ::PdhOpenQueryA(dataSource, userData, &q);
  if (rc == ERROR_SUCCESS) *query = reinterpret_cast<PDH_HQUERY>(q);
  return rc;
}

PDH_STATUS PdhAddCounterA(PDH_HQUERY query, const char* path, uintptr_t userData,
                          PDH_HCOUNTER* counter) {
  ::PDH_HCOUNTER c = nullptr;
  PDH_STATUS rc = ::PdhAddCounterA(Native<::PDH_HQUERY>(query), path, userData, &c);
  if (rc == ERROR_SUCCESS) {
    *counter = reinterpret_cast<PDH_HCOUNTER>(c);
    std::lock_guard<std::mutex> guard(g_seamLock);
    g_seamCounters[*counter] = SeamCounter{query, false, {}};
  }
  return rc;
}

PDH_STATUS PdhCollectQueryData(PDH_HQUERY query) {
  {
    std::lock_guard<std::mutex> guard(g_seamLock);
    // Only a query with counters of the seam takes its sample from the source:
    // any other (a closed one, one without counters) goes to pdh.dll, which
    // answers for it as it would without the seam.
    bool seamQuery = false;
    for (const auto& entry : g_seamCounters) seamQuery = seamQuery || entry.second.query == query;
    if (g_timeSource && seamQuery) {
      PDH_RAW_COUNTER sample{};
      PDH_STATUS status = g_timeSource(&sample);
      // A failed collection leaves the counters' last samples as they were.
      if (status != ERROR_SUCCESS) return status;
      for (auto& [handle, counter] : g_seamCounters) {
        if (counter.query != query) continue;
        counter.sample = sample;
        counter.hasData = true;
      }
      return ERROR_SUCCESS;
    }
  }
  return ::PdhCollectQueryData(Native<::PDH_HQUERY>(query));
}

PDH_STATUS PdhGetRawCounterValue(PDH_HCOUNTER counter, DWORD* type, PDH_RAW_COUNTER* value) {
  {
    std::lock_guard<std::mutex> guard(g_seamLock);
    auto found = g_seamCounters.find(counter);
    if (g_timeSource && found != g_seamCounters.end()) {
      if (type) *type = PERF_100NSEC_TIMER_INV;
      if (!found->second.hasData) {
        if (value) {
          *value = PDH_RAW_COUNTER{};
          value->CStatus = static_cast<DWORD>(PDH_INVALID_DATA);
        }
        return PDH_NO_DATA;
      }
      if (value) *value = found->second.sample;
      return ERROR_SUCCESS;
    }
  }
  ::DWORD t = 0;
  ::PDH_RAW_COUNTER raw{};
  PDH_STATUS rc = ::PdhGetRawCounterValue(Native<::PDH_HCOUNTER>(counter), &t, &raw);
  if (type) *type = t;
  if (value) FromNative(raw, value);
  return rc;
}

PDH_STATUS PdhCalculateCounterFromRawValue(PDH_HCOUNTER counter, DWORD format,
                                           PDH_RAW_COUNTER* raw1, PDH_RAW_COUNTER* raw2,
                                           PDH_FMT_COUNTERVALUE* value) {
  ::PDH_RAW_COUNTER a = ToNative(*raw1);
  ::PDH_RAW_COUNTER b{};
  if (raw2) b = ToNative(*raw2);
  ::PDH_FMT_COUNTERVALUE v{};
  PDH_STATUS rc = ::PdhCalculateCounterFromRawValue(Native<::PDH_HCOUNTER>(counter), format, &a,
                                                    raw2 ? &b : nullptr, &v);
  value->CStatus = v.CStatus;
  if ((format & kPDH_FMT_DOUBLE) != 0) {
    value->doubleValue = v.doubleValue;
  } else if ((format & kPDH_FMT_LARGE) != 0) {
    value->largeValue = v.largeValue;
  } else {
    value->longValue = v.longValue;
  }
  return rc;
}

PDH_STATUS PdhRemoveCounter(PDH_HCOUNTER counter) {
  {
    std::lock_guard<std::mutex> guard(g_seamLock);
    g_seamCounters.erase(counter);
  }
  return ::PdhRemoveCounter(Native<::PDH_HCOUNTER>(counter));
}

PDH_STATUS PdhCloseQuery(PDH_HQUERY query) {
  {
    std::lock_guard<std::mutex> guard(g_seamLock);
    for (auto it = g_seamCounters.begin(); it != g_seamCounters.end();) {
      it = it->second.query == query ? g_seamCounters.erase(it) : std::next(it);
    }
  }
  return ::PdhCloseQuery(Native<::PDH_HQUERY>(query));
}

void SetProcessorTimeSourceForTest(std::function<PDH_STATUS(PDH_RAW_COUNTER* sample)> source) {
  std::lock_guard<std::mutex> guard(g_seamLock);
  g_timeSource = std::move(source);
}

}  // namespace plat
