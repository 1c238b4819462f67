// SPDX-License-Identifier: Apache-2.0
// The performance-data calls over /proc/stat.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstring>

#include "platform/linux/procstat.h"
#include "platform/platform.h"
#include "platform/testing.h"

using namespace plat;

namespace {

const char kPath[] = "\\Processor(_Total)\\% Processor Time";

ULONGLONG Units(const FILETIME& ft) {
  return (static_cast<ULONGLONG>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
}

PDH_RAW_COUNTER Raw(ULONGLONG stamp, LONGLONG first, LONGLONG second, DWORD count = 2) {
  PDH_RAW_COUNTER raw{};
  raw.CStatus = kPDH_CSTATUS_VALID_DATA;
  raw.TimeStamp.dwLowDateTime = static_cast<DWORD>(stamp);
  raw.TimeStamp.dwHighDateTime = static_cast<DWORD>(stamp >> 32);
  raw.FirstValue = first;
  raw.SecondValue = second;
  raw.MultiCount = count;
  return raw;
}

class PdhTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(PdhOpenQueryA(nullptr, 1, &query_), kERROR_SUCCESS);
    ASSERT_EQ(PdhAddCounterA(query_, kPath, 1, &counter_), kERROR_SUCCESS);
  }
  void TearDown() override {
    SetProcessorTimeSourceForTest(nullptr);
    SetLocalClockForTest(nullptr);
    if (query_ != nullptr) PdhCloseQuery(query_);
  }
  // 100 * (1 - dFirst/dSecond) between two synthetic samples one second apart.
  PDH_STATUS Calc(LONGLONG dFirst, LONGLONG dSecond, DWORD format, PDH_FMT_COUNTERVALUE* v) {
    PDH_RAW_COUNTER older = Raw(1000, 5000, 9000);
    PDH_RAW_COUNTER newer = Raw(1000 + 10000000, 5000 + dFirst, 9000 + dSecond);
    return PdhCalculateCounterFromRawValue(counter_, format, &newer, &older, v);
  }
  PDH_HQUERY query_ = nullptr;
  PDH_HCOUNTER counter_ = nullptr;
};

}  // namespace

TEST_F(PdhTest, RealSampleFromProcStat) {
  PDH_RAW_COUNTER raw{};
  EXPECT_EQ(PdhGetRawCounterValue(counter_, nullptr, &raw), kPDH_NO_DATA)
      << "nothing collected yet";
  ULONGLONG before = LocalFileTimeNow();
  ASSERT_EQ(PdhCollectQueryData(query_), kERROR_SUCCESS);
  ULONGLONG after = LocalFileTimeNow();
  DWORD type = 0;
  ASSERT_EQ(PdhGetRawCounterValue(counter_, &type, &raw), kERROR_SUCCESS);
  EXPECT_EQ(raw.CStatus, static_cast<DWORD>(kPDH_CSTATUS_VALID_DATA));
  EXPECT_NE(type, 0u);
  EXPECT_EQ(raw.MultiCount, static_cast<DWORD>(sysconf(_SC_NPROCESSORS_ONLN)));
  EXPECT_GT(raw.FirstValue, 0);
  EXPECT_LE(raw.FirstValue, raw.SecondValue);
  // Time since boot in 100 ns units, summed over the processors, cannot
  // exceed uptime times the processor count (plus a tick of slack each).
  timespec boot{};
  clock_gettime(CLOCK_BOOTTIME, &boot);
  long double uptimeUnits = boot.tv_sec * 1e7L + boot.tv_nsec / 100.0L;
  EXPECT_LE(static_cast<long double>(raw.SecondValue), (uptimeUnits + 1e6L) * raw.MultiCount);
  // The stamp: the collection's completion rounded up to the millisecond, plus the grace.
  ULONGLONG stamp = Units(raw.TimeStamp);
  EXPECT_GE(stamp, before + detail::kCollectionStampGrace);
  EXPECT_LE(stamp, after + detail::kCollectionStampGrace + 10000);
  EXPECT_EQ(stamp % 10000, 0u);

  // Time goes on: a second collection is no older and its counters no smaller.
  usleep(20000);
  PDH_RAW_COUNTER next{};
  ASSERT_EQ(PdhCollectQueryData(query_), kERROR_SUCCESS);
  ASSERT_EQ(PdhGetRawCounterValue(counter_, nullptr, &next), kERROR_SUCCESS);
  EXPECT_GE(Units(next.TimeStamp), stamp);
  EXPECT_GE(next.SecondValue, raw.SecondValue);
  EXPECT_GE(next.FirstValue, raw.FirstValue);
}

TEST_F(PdhTest, StampFollowsTheLocalClock) {
  ULONGLONG now = 133500000000001234ULL;
  SetLocalClockForTest([&now] { return now; });
  ASSERT_EQ(PdhCollectQueryData(query_), kERROR_SUCCESS);
  PDH_RAW_COUNTER raw{};
  ASSERT_EQ(PdhGetRawCounterValue(counter_, nullptr, &raw), kERROR_SUCCESS);
  EXPECT_EQ(Units(raw.TimeStamp), detail::CollectionStamp(now));
}

TEST_F(PdhTest, CounterPaths) {
  PDH_HCOUNTER c = nullptr;
  EXPECT_EQ(PdhAddCounterA(query_, "\\processor(_total)\\% processor time", 0, &c), kERROR_SUCCESS);
  EXPECT_EQ(PdhRemoveCounter(c), kERROR_SUCCESS);
  struct Case {
    const char* path;
    PDH_STATUS status;
  } cases[] = {
      {"", kPDH_CSTATUS_BAD_COUNTERNAME},
      {"Processor(_Total)\\% Processor Time", kPDH_CSTATUS_BAD_COUNTERNAME},
      {"\\\\host\\Processor(_Total)\\% Processor Time", kPDH_CSTATUS_BAD_COUNTERNAME},
      {"\\Processor(_Total)", kPDH_CSTATUS_BAD_COUNTERNAME},
      {"\\Processor(_Total)\\", kPDH_CSTATUS_BAD_COUNTERNAME},
      {"\\Processor(_Total)\\% Processor Time\\x", kPDH_CSTATUS_BAD_COUNTERNAME},
      {"\\Memory(_Total)\\% Processor Time", kPDH_CSTATUS_NO_OBJECT},
      {"\\Processor(_Total)\\% Idle Time", kPDH_CSTATUS_NO_COUNTER},
      {"\\Processor(_Total)\\% Processor Time ", kPDH_CSTATUS_NO_COUNTER},
  };
  for (const Case& k : cases) {
    c = reinterpret_cast<PDH_HCOUNTER>(1);
    EXPECT_EQ(PdhAddCounterA(query_, k.path, 0, &c), k.status) << k.path;
  }
  // Another instance is refused too (whatever the status, not success).
  EXPECT_NE(PdhAddCounterA(query_, "\\Processor(0)\\% Processor Time", 0, &c), kERROR_SUCCESS);
  EXPECT_EQ(PdhAddCounterA(query_, nullptr, 0, &c), kPDH_INVALID_ARGUMENT);
  EXPECT_EQ(PdhOpenQueryA("some.blg", 0, &c), kPDH_INVALID_ARGUMENT);
}

TEST_F(PdhTest, StaleHandles) {
  PDH_RAW_COUNTER raw{};
  PDH_FMT_COUNTERVALUE v{};
  // Null, and a handle of the other kind.
  EXPECT_EQ(PdhCollectQueryData(nullptr), kPDH_INVALID_HANDLE);
  EXPECT_EQ(PdhCollectQueryData(counter_), kPDH_INVALID_HANDLE);
  EXPECT_EQ(PdhGetRawCounterValue(query_, nullptr, &raw), kPDH_INVALID_HANDLE);
  EXPECT_EQ(PdhRemoveCounter(nullptr), kPDH_INVALID_HANDLE);
  EXPECT_EQ(PdhCloseQuery(counter_), kPDH_INVALID_HANDLE);
  PDH_HCOUNTER c = nullptr;
  EXPECT_EQ(PdhAddCounterA(counter_, kPath, 0, &c), kPDH_INVALID_HANDLE);

  // A removed counter is gone; the query without counters has nothing to collect.
  ASSERT_EQ(PdhRemoveCounter(counter_), kERROR_SUCCESS);
  EXPECT_EQ(PdhRemoveCounter(counter_), kPDH_INVALID_HANDLE);
  EXPECT_EQ(PdhGetRawCounterValue(counter_, nullptr, &raw), kPDH_INVALID_HANDLE);
  EXPECT_NE(PdhCollectQueryData(query_), kERROR_SUCCESS);

  // Closing the query takes its counters with it.
  ASSERT_EQ(PdhAddCounterA(query_, kPath, 0, &counter_), kERROR_SUCCESS);
  ASSERT_EQ(PdhCollectQueryData(query_), kERROR_SUCCESS);
  ASSERT_EQ(PdhCloseQuery(query_), kERROR_SUCCESS);
  EXPECT_EQ(PdhCloseQuery(query_), kPDH_INVALID_HANDLE);
  EXPECT_EQ(PdhCollectQueryData(query_), kPDH_INVALID_HANDLE);
  EXPECT_EQ(PdhGetRawCounterValue(counter_, nullptr, &raw), kPDH_INVALID_HANDLE);
  PDH_RAW_COUNTER a = Raw(2, 1, 10), b = Raw(1, 0, 0);
  EXPECT_EQ(PdhCalculateCounterFromRawValue(counter_, kPDH_FMT_LONG, &a, &b, &v),
            kPDH_INVALID_HANDLE);
  EXPECT_EQ(PdhRemoveCounter(counter_), kPDH_INVALID_HANDLE);
  query_ = nullptr;
}

TEST_F(PdhTest, CalculationRoundsAndCaps) {
  PDH_FMT_COUNTERVALUE v{};
  ASSERT_EQ(Calc(250, 1000, kPDH_FMT_LONG, &v), kERROR_SUCCESS);
  EXPECT_EQ(v.CStatus, static_cast<DWORD>(kPDH_CSTATUS_VALID_DATA));
  EXPECT_EQ(v.longValue, 75);
  ASSERT_EQ(Calc(1, 3, kPDH_FMT_LONG, &v), kERROR_SUCCESS);  // 66.67
  EXPECT_EQ(v.longValue, 67);
  ASSERT_EQ(Calc(2, 3, kPDH_FMT_LONG, &v), kERROR_SUCCESS);  // 33.33
  EXPECT_EQ(v.longValue, 33);
  ASSERT_EQ(Calc(199, 200, kPDH_FMT_LONG, &v), kERROR_SUCCESS);  // 0.5 rounds up
  EXPECT_EQ(v.longValue, 1);
  ASSERT_EQ(Calc(0, 1000, kPDH_FMT_LONG, &v), kERROR_SUCCESS);
  EXPECT_EQ(v.longValue, 100);
  ASSERT_EQ(Calc(1000, 1000, kPDH_FMT_LONG, &v), kERROR_SUCCESS);
  EXPECT_EQ(v.longValue, 0);
  // More idle than time: capped at 0, unless the cap is switched off.
  ASSERT_EQ(Calc(1500, 1000, kPDH_FMT_LONG, &v), kERROR_SUCCESS);
  EXPECT_EQ(v.longValue, 0);
  ASSERT_EQ(Calc(1500, 1000, kPDH_FMT_LONG | kPDH_FMT_NOCAP100, &v), kERROR_SUCCESS);
  EXPECT_EQ(v.longValue, -50);
  ASSERT_EQ(Calc(201, 200, kPDH_FMT_LONG | kPDH_FMT_NOCAP100, &v), kERROR_SUCCESS);  // -0.5
  EXPECT_EQ(v.longValue, -1);
  ASSERT_EQ(Calc(1, 8, kPDH_FMT_DOUBLE, &v), kERROR_SUCCESS);
  EXPECT_DOUBLE_EQ(v.doubleValue, 87.5);
  ASSERT_EQ(Calc(1, 8, kPDH_FMT_LARGE, &v), kERROR_SUCCESS);
  EXPECT_EQ(v.largeValue, 88);
  // Counters near the ends of the 64-bit range differ without overflow.
  PDH_RAW_COUNTER older = Raw(1, INT64_MAX - 10, INT64_MAX - 100);
  PDH_RAW_COUNTER newer = Raw(2, INT64_MAX - 5, INT64_MAX - 80);
  ASSERT_EQ(PdhCalculateCounterFromRawValue(counter_, kPDH_FMT_LONG, &newer, &older, &v),
            kERROR_SUCCESS);
  EXPECT_EQ(v.longValue, 75);
}

TEST_F(PdhTest, CalculationFailuresHaveTheirOwnStatus) {
  PDH_FMT_COUNTERVALUE v{};
  v.CStatus = 0;
  v.longValue = 42;
  EXPECT_EQ(Calc(0, 0, kPDH_FMT_LONG, &v), kPDH_CALC_NEGATIVE_DENOMINATOR);
  EXPECT_EQ(Calc(0, -10, kPDH_FMT_LONG, &v), kPDH_CALC_NEGATIVE_DENOMINATOR);
  EXPECT_EQ(Calc(-1, 10, kPDH_FMT_LONG, &v), kPDH_CALC_NEGATIVE_VALUE);
  EXPECT_EQ(v.longValue, 42) << "a failed calculation leaves the last value";
  PDH_RAW_COUNTER older = Raw(2000, 0, 0);
  PDH_RAW_COUNTER newer = Raw(1999, 10, 100);
  EXPECT_EQ(PdhCalculateCounterFromRawValue(counter_, kPDH_FMT_LONG, &newer, &older, &v),
            kPDH_CALC_NEGATIVE_TIMEBASE);
  newer = Raw(2000, 10, 100);  // the same stamp is no negative time base
  EXPECT_EQ(PdhCalculateCounterFromRawValue(counter_, kPDH_FMT_LONG, &newer, &older, &v),
            kERROR_SUCCESS);
  newer.CStatus = static_cast<DWORD>(kPDH_INVALID_DATA);
  EXPECT_EQ(PdhCalculateCounterFromRawValue(counter_, kPDH_FMT_LONG, &newer, &older, &v),
            kPDH_INVALID_DATA);
  newer.CStatus = kPDH_CSTATUS_VALID_DATA;
  EXPECT_EQ(PdhCalculateCounterFromRawValue(counter_, 0, &newer, &older, &v),
            kPDH_INVALID_ARGUMENT);
  EXPECT_EQ(PdhCalculateCounterFromRawValue(counter_, kPDH_FMT_LONG | kPDH_FMT_DOUBLE, &newer,
                                            &older, &v),
            kPDH_INVALID_ARGUMENT);
  EXPECT_EQ(PdhCalculateCounterFromRawValue(counter_, kPDH_FMT_LONG, &newer, nullptr, &v),
            kPDH_INVALID_ARGUMENT);
  EXPECT_EQ(PdhCalculateCounterFromRawValue(counter_, kPDH_FMT_LONG, &newer, &older, nullptr),
            kPDH_INVALID_ARGUMENT);
}

TEST_F(PdhTest, TestSourceFillsOrFailsTheCollection) {
  PDH_STATUS answer = kERROR_SUCCESS;
  int calls = 0;
  SetProcessorTimeSourceForTest([&](PDH_RAW_COUNTER* sample) {
    ++calls;
    if (answer != kERROR_SUCCESS) return answer;
    *sample = Raw(4242, 11, 22, 3);
    return PDH_STATUS{kERROR_SUCCESS};
  });
  ASSERT_EQ(PdhCollectQueryData(query_), kERROR_SUCCESS);
  PDH_RAW_COUNTER raw{};
  ASSERT_EQ(PdhGetRawCounterValue(counter_, nullptr, &raw), kERROR_SUCCESS);
  EXPECT_EQ(Units(raw.TimeStamp), 4242u);
  EXPECT_EQ(raw.FirstValue, 11);
  EXPECT_EQ(raw.SecondValue, 22);
  EXPECT_EQ(raw.MultiCount, 3u);
  // A failed collection answers the source's status and keeps the last sample.
  answer = kPDH_NO_DATA;
  EXPECT_EQ(PdhCollectQueryData(query_), kPDH_NO_DATA);
  ASSERT_EQ(PdhGetRawCounterValue(counter_, nullptr, &raw), kERROR_SUCCESS);
  EXPECT_EQ(Units(raw.TimeStamp), 4242u);
  EXPECT_EQ(calls, 2);
  // Back to the real source.
  SetProcessorTimeSourceForTest(nullptr);
  ASSERT_EQ(PdhCollectQueryData(query_), kERROR_SUCCESS);
  ASSERT_EQ(PdhGetRawCounterValue(counter_, nullptr, &raw), kERROR_SUCCESS);
  EXPECT_GT(Units(raw.TimeStamp), 4242u);
  EXPECT_EQ(calls, 2);
}

TEST_F(PdhTest, EveryCounterOfTheQueryGetsTheSample) {
  PDH_HCOUNTER second = nullptr;
  ASSERT_EQ(PdhAddCounterA(query_, kPath, 2, &second), kERROR_SUCCESS);
  EXPECT_NE(second, counter_);
  ASSERT_EQ(PdhCollectQueryData(query_), kERROR_SUCCESS);
  PDH_RAW_COUNTER a{}, b{};
  ASSERT_EQ(PdhGetRawCounterValue(counter_, nullptr, &a), kERROR_SUCCESS);
  ASSERT_EQ(PdhGetRawCounterValue(second, nullptr, &b), kERROR_SUCCESS);
  EXPECT_EQ(Units(a.TimeStamp), Units(b.TimeStamp));
  EXPECT_EQ(a.FirstValue, b.FirstValue);
  EXPECT_EQ(a.SecondValue, b.SecondValue);
  EXPECT_EQ(a.MultiCount, b.MultiCount);
}
