// SPDX-License-Identifier: Apache-2.0
// The CPU load sampler: window rule, skips, failures, counters and drop-out.
#include <gtest/gtest.h>
#include <time.h>

#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <system_error>

#include "config/KELD3Register.h"
#include "cpuload/GetCpuLoad.h"
#include "log/Log.h"
#include "platform/linux/procstat.h"
#include "platform/platform.h"
#include "platform/testing.h"
#include "service/keld4.h"
#include "tests/support/LogSupport.h"
#include "tests/support/StoreSupport.h"
#include "tests/support/TestSupport.h"

using namespace plat;

namespace {

constexpr ULONGLONG kSecond = 10000000ULL;
constexpr ULONGLONG kMs = 10000ULL;

// 2024-01-01 (a Monday) 09:00:00.000 local time.
ULONGLONG LocalTime(WORD year, WORD month, WORD day, WORD hour, WORD minute, WORD second, WORD ms) {
  SYSTEMTIME st{};
  st.wYear = year;
  st.wMonth = month;
  st.wDay = day;
  st.wHour = hour;
  st.wMinute = minute;
  st.wSecond = second;
  st.wMilliseconds = ms;
  FILETIME ft{};
  SystemTimeToFileTime(&st, &ft);
  return (static_cast<ULONGLONG>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
}
const ULONGLONG kStart = LocalTime(2024, 1, 1, 9, 0, 0, 0);

ULONGLONG Units(const FILETIME& ft) {
  return (static_cast<ULONGLONG>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
}

std::string RegistryText(uint32_t errTotal, uint32_t skipTotal, uint32_t limit) {
  char text[1024];
  std::snprintf(text, sizeof(text),
                "Windows Registry Editor Version 5.00\r\n\r\n"
                "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Ostrel\\KELD4]\r\n\r\n"
                "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Ostrel\\KELD4\\Parameter]\r\n"
                "\"PdhErrTotal\"=dword:%08x\r\n"
                "\"PdhErrCount\"=dword:00000000\r\n"
                "\"PdhErrCheckCount\"=dword:%08x\r\n"
                "\"PdhCalculateSkipCount\"=dword:00000000\r\n"
                "\"PdhCalculateSkipTotal\"=dword:%08x\r\n\r\n",
                errTotal, limit, skipTotal);
  return text;
}

// Whether the system's PdhCalculateCounterFromRawValue computes the processor
// time from its two samples: 100 * (1 - dFirst / dSecond) = 75 for these.
// Wine's pdh answers the older sample's SecondValue scaled by 10^-5 instead.
bool PdhCalculatesFromTwoSamples() {
  static const bool calculates = [] {
    PDH_HQUERY query = nullptr;
    PDH_HCOUNTER counter = nullptr;
    if (PdhOpenQueryA(nullptr, 0, &query) != kERROR_SUCCESS) return false;
    PDH_FMT_COUNTERVALUE value{};
    PDH_STATUS status = PdhAddCounterA(query, "\\Processor(_Total)\\% Processor Time", 0, &counter);
    if (status == kERROR_SUCCESS) {
      PDH_RAW_COUNTER older{};
      older.CStatus = kPDH_CSTATUS_VALID_DATA;
      older.TimeStamp.dwLowDateTime = static_cast<DWORD>(kStart);
      older.TimeStamp.dwHighDateTime = static_cast<DWORD>(kStart >> 32);
      older.FirstValue = 1000000;
      older.SecondValue = 4000000;
      older.MultiCount = 1;
      PDH_RAW_COUNTER newer = older;
      ULONGLONG later = kStart + kSecond;
      newer.TimeStamp.dwLowDateTime = static_cast<DWORD>(later);
      newer.TimeStamp.dwHighDateTime = static_cast<DWORD>(later >> 32);
      newer.FirstValue += 250000;
      newer.SecondValue += 1000000;
      status = PdhCalculateCounterFromRawValue(counter, kPDH_FMT_LONG, &newer, &older, &value);
    }
    PdhCloseQuery(query);
    return status == kERROR_SUCCESS && value.longValue == 75;
  }();
  return calculates;
}

// The rest of a test needs the system's calculation.
#define SKIP_UNLESS_PDH_CALCULATES()                                                     \
  if (!PdhCalculatesFromTwoSamples())                                                    \
  GTEST_SKIP() << "PdhCalculateCounterFromRawValue does not calculate from two samples " \
                  "here (Wine's pdh scales one sample's SecondValue)"

class SamplerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetRegistryStorePathForTest(dir_.file("keld4.reg"));
    testsupport::InstallStore(dir_.file("keld4.reg"), RegistryText(10, 20, 3));
    g_Config.PdhErrTotal = 10;
    g_Config.PdhErrCount = 0;
    g_Config.PdhCalculateSkipTotal = 20;
    g_Config.PdhCalculateSkipCount = 0;
    g_Config.PdhErrCheckCount = 3;
    g_PdhContinuousErrors = 0;
    g_PdhContinuousSkips = 0;

    now_ = kStart;
    SetLocalClockForTest([this] { return now_.load(); });
    SetProcessorTimeSourceForTest([this](PDH_RAW_COUNTER* sample) { return Collect(sample); });

    interval_ = 5;
    sampler_.m_pInterval = &interval_;
    sampler_.m_dwCpuSpeed = 2400;
  }

  void TearDown() override {
    SetProcessorTimeSourceForTest(nullptr);
    SetLocalClockForTest(nullptr);
    SetRegistryStorePathForTest("");
  }

  // The fake source: stamped with the fake clock, counters advanced by the
  // deltas set for this collection.
  PDH_STATUS Collect(PDH_RAW_COUNTER* sample) {
    ++collections_;
    if (failWith_ != 0) return failWith_;
    idle_ += dIdle_;
    total_ += dTotal_;
    sample->CStatus = kPDH_CSTATUS_VALID_DATA;
    ULONGLONG stamp = staleBy_ != 0 ? now_.load() - staleBy_ : now_.load();
    sample->TimeStamp.dwLowDateTime = static_cast<DWORD>(stamp);
    sample->TimeStamp.dwHighDateTime = static_cast<DWORD>(stamp >> 32);
    sample->FirstValue = idle_;
    sample->SecondValue = total_;
    sample->MultiCount = 2;
    return kERROR_SUCCESS;
  }

  // The next collection: `seconds` later, `busy` percent of `total` units.
  void Next(double seconds, LONGLONG busyPercent, LONGLONG total = 2000000) {
    now_ += static_cast<ULONGLONG>(std::llround(seconds * kSecond));
    dTotal_ = total;
    dIdle_ = total - total * busyPercent / 100;
  }

  uint32_t Registry(const char* name) {
    CKELD3Register reg;
    uint32_t value = 0xDEADBEEF;
    EXPECT_EQ(reg.OpenKey("Parameter"), 0);
    EXPECT_EQ(reg.GetKeyValue(name, &value), 0) << name;
    reg.CloseKey();
    return value;
  }

  std::string Log() { return testsupport::ReadFile(dir_.file("keld4.log")); }
  size_t Count(const std::string& needle) {
    std::string log = Log();
    size_t n = 0;
    for (size_t at = log.find(needle); at != std::string::npos; at = log.find(needle, at + 1)) ++n;
    return n;
  }

  testsupport::TempDir dir_;
  testsupport::LogCapture log_{dir_.path()};
  std::atomic<ULONGLONG> now_{0};
  std::atomic<uint32_t> interval_{5};
  PDH_STATUS failWith_ = 0;
  ULONGLONG staleBy_ = 0;
  LONGLONG idle_ = 1000000000;
  LONGLONG total_ = 4000000000;
  LONGLONG dIdle_ = 0;
  LONGLONG dTotal_ = 0;
  int collections_ = 0;
  CGetCpuLoad sampler_;
};

TEST_F(SamplerTest, CalculatesLoadOverTheWindow) {
  ASSERT_EQ(sampler_.init(), 0);
  EXPECT_EQ(Units(sampler_.m_RawPrev.TimeStamp), kStart);
  SKIP_UNLESS_PDH_CALCULATES();
  Next(5, 75);
  ASSERT_EQ(sampler_.refresh(), 0);
  EXPECT_EQ(sampler_.m_lCpuValue, 75);
  EXPECT_EQ(sampler_.m_dwCpuLoad, 75u);
  EXPECT_EQ(Units(sampler_.m_RawPrev.TimeStamp), kStart + 5 * kSecond) << "baseline moves";
  Next(5, 20);
  ASSERT_EQ(sampler_.refresh(), 0);
  EXPECT_EQ(sampler_.m_dwCpuLoad, 20u);
  EXPECT_EQ(g_Config.PdhCalculateSkipCount.load(), 0u);
  EXPECT_EQ(g_Config.PdhErrCount.load(), 0u);
  EXPECT_NE(Log().find("DEBUG: Caculated CPU load is 75\r\n"), std::string::npos);
  EXPECT_NE(Log().find("DEBUG: Enter: CGetCpuLoad::refresh(), "), std::string::npos);
}

TEST_F(SamplerTest, RawSampleLineShowsFullWidth) {
  idle_ = 0x123456789AB - 1;
  total_ = 0xF;
  dIdle_ = 1;
  dTotal_ = 1;
  ASSERT_EQ(sampler_.init(), 0);
  EXPECT_NE(Log().find("DEBUG: In CGetCpuLoad ActPdhGetRawCounterValue of FirstValue, "
                       "SecondValue, MultiCount :(0x123456789ab , 0x00000010 , 0x00000002)\r\n"),
            std::string::npos)
      << Log();
}

TEST_F(SamplerTest, StartupRefreshIsASkip) {
  ASSERT_EQ(sampler_.init(), 0);
  Next(0.2, 50);  // the master's first refresh, right after start
  ASSERT_EQ(sampler_.refresh(), 0);
  EXPECT_EQ(sampler_.m_dwCpuLoad, 0u);
  EXPECT_EQ(g_PdhContinuousSkips, 1u);
  EXPECT_EQ(g_Config.PdhCalculateSkipCount.load(), 1u);
  EXPECT_EQ(g_Config.PdhCalculateSkipTotal.load(), 21u);
  EXPECT_EQ(Registry("PdhCalculateSkipCount"), 1u);
  EXPECT_EQ(Registry("PdhCalculateSkipTotal"), 21u);
  EXPECT_EQ(Registry("PdhErrCount"), 0u);
  EXPECT_EQ(Units(sampler_.m_RawPrev.TimeStamp), kStart + 2 * kSecond / 10) << "baseline moves";
  EXPECT_NE(Log().find("DEBUG: Skip PdhCalculateCounterFromRawValue()\r\n"), std::string::npos);
  // The window now runs from the skipped sample: 4.5 s later is still too short.
  Next(4.5, 40);
  ASSERT_EQ(sampler_.refresh(), 0);
  EXPECT_EQ(g_PdhContinuousSkips, 2u);
  SKIP_UNLESS_PDH_CALCULATES();
  Next(4.6, 40);
  ASSERT_EQ(sampler_.refresh(), 0);
  EXPECT_EQ(g_PdhContinuousSkips, 0u);
  EXPECT_EQ(sampler_.m_dwCpuLoad, 40u);
}

// The refresh a new master thread makes at its start only takes the baseline:
// however many restarts follow each other, none counts towards a drop-out,
// even with a limit of 0 (where one counted skip would end the process).
TEST_F(SamplerTest, NewMasterBaselineCountsNoSkipHoweverManyRestarts) {
  g_Config.PdhErrCheckCount = 0;
  ASSERT_EQ(sampler_.init(), 0);
  for (int restart = 0; restart < 5; ++restart) {
    Next(0.6, 50);
    ASSERT_EQ(sampler_.refresh(false), 0);
    EXPECT_EQ(Units(sampler_.m_RawPrev.TimeStamp), now_.load()) << "baseline moves";
  }
  EXPECT_EQ(g_PdhContinuousSkips, 0u);
  EXPECT_EQ(g_Config.PdhCalculateSkipCount.load(), 0u);
  EXPECT_EQ(g_Config.PdhCalculateSkipTotal.load(), 20u);
  EXPECT_EQ(Registry("PdhCalculateSkipCount"), 0u);
  EXPECT_EQ(Registry("PdhCalculateSkipTotal"), 20u);
  SKIP_UNLESS_PDH_CALCULATES();
  // The next CPU-load tick measures over the window from the last baseline.
  Next(5.5, 30);
  ASSERT_EQ(sampler_.refresh(), 0);
  EXPECT_EQ(sampler_.m_dwCpuLoad, 30u);
}

TEST_F(SamplerTest, WindowBoundaryIsStrict) {
  ASSERT_EQ(sampler_.init(), 0);
  Next(4.5, 30);  // exactly 0.9 N: not enough
  ASSERT_EQ(sampler_.refresh(), 0);
  EXPECT_EQ(g_PdhContinuousSkips, 1u);
  SKIP_UNLESS_PDH_CALCULATES();
  // One 100 ns unit more than 0.9 N after the (moved) baseline.
  now_ += 45000000 + 1;
  dIdle_ = 700;
  dTotal_ = 1000;
  ASSERT_EQ(sampler_.refresh(), 0);
  EXPECT_EQ(g_PdhContinuousSkips, 0u);
  EXPECT_EQ(sampler_.m_dwCpuLoad, 30u);
}

TEST_F(SamplerTest, ZeroIntervalNeedsOnlyANewerStamp) {
  interval_ = 0;
  ASSERT_EQ(sampler_.init(), 0);
  Next(0, 60);  // same stamp
  ASSERT_EQ(sampler_.refresh(), 0);
  EXPECT_EQ(g_PdhContinuousSkips, 1u);
  SKIP_UNLESS_PDH_CALCULATES();
  now_ += 1;
  ASSERT_EQ(sampler_.refresh(), 0);
  EXPECT_EQ(g_PdhContinuousSkips, 0u);
  EXPECT_EQ(sampler_.m_dwCpuLoad, 60u);
}

TEST_F(SamplerTest, StaleSampleIsASkip) {
  ASSERT_EQ(sampler_.init(), 0);
  // Long enough a window, but the sample is older than its own collection.
  Next(10, 90);
  staleBy_ = 2 * kMs;
  ASSERT_EQ(sampler_.refresh(), 0);
  EXPECT_EQ(g_PdhContinuousSkips, 1u);
  EXPECT_EQ(sampler_.m_dwCpuLoad, 0u);
  SKIP_UNLESS_PDH_CALCULATES();
  // Within the same millisecond as the clock read afterwards, it is fresh.
  staleBy_ = 0;
  Next(10, 90);
  now_ += 7;  // stamp 0.7 us past the millisecond the clock reads
  ASSERT_EQ(sampler_.refresh(), 0);
  EXPECT_EQ(g_PdhContinuousSkips, 0u);
  EXPECT_EQ(sampler_.m_dwCpuLoad, 90u);
}

TEST_F(SamplerTest, TimeRangeLinesAreExactBytes) {
  now_ = LocalTime(2023, 12, 31, 23, 59, 59, 900);  // a Sunday
  ASSERT_EQ(sampler_.init(), 0);
  Next(0.25, 10);  // into Monday, 2024-01-01 00:00:00.150
  ASSERT_EQ(sampler_.refresh(), 0);
  std::string log = Log();
  // From the baseline to the limit (baseline + 4.5 s), then from the clock
  // read after the collection to the sample's stamp.
  EXPECT_NE(log.find("DEBUG: \t2023/12/31(SUN) 23:59:59.900 \x81\x60 "
                     "2024/01/01(MON) 00:00:04.400\r\n"),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("DEBUG: \t2024/01/01(MON) 00:00:00.150 \x81\x60 "
                     "2024/01/01(MON) 00:00:00.150\r\n"),
            std::string::npos)
      << log;
  EXPECT_EQ(log.find("\xe3\x80\x9c"), std::string::npos) << "no UTF-8 wave dash";
  // Every day name in turn (skips: a window longer than a day).
  interval_ = 100000;
  g_Config.PdhErrCheckCount = 100;
  const char* names[] = {"TUE", "WED", "THU", "FRI", "SAT", "SUN", "MON"};
  for (const char* name : names) {
    Next(24 * 3600, 10);
    ASSERT_EQ(sampler_.refresh(), 0);
    EXPECT_NE(Log().find(std::string("(") + name + ") 00:00:00.150\r\n"), std::string::npos)
        << name;
  }
}

TEST_F(SamplerTest, CalculationFailureReportsAndKeepsBaseline) {
  SKIP_UNLESS_PDH_CALCULATES();
  ASSERT_EQ(sampler_.init(), 0);
  PDH_RAW_COUNTER baseline = sampler_.m_RawPrev;
  Next(5, 0, 0);  // no processor time passed: zero denominator
  EXPECT_EQ(sampler_.refresh(), -1);
  EXPECT_EQ(sampler_.m_nLocalError, 2540);
  EXPECT_EQ(sampler_.m_dwPdhStatus, static_cast<uint32_t>(kPDH_CALC_NEGATIVE_DENOMINATOR));
  EXPECT_EQ(g_PdhContinuousErrors, 1u);
  EXPECT_EQ(Units(sampler_.m_RawPrev.TimeStamp), Units(baseline.TimeStamp));
  EXPECT_EQ(sampler_.m_hCounter, nullptr) << "counter removed";
  EXPECT_NE(sampler_.m_hqQuery, nullptr) << "query stays open";
  EXPECT_EQ(g_Config.PdhErrCount.load(), 1u);
  EXPECT_EQ(g_Config.PdhErrTotal.load(), 11u);
  EXPECT_EQ(Registry("PdhErrCount"), 1u);
  EXPECT_EQ(Registry("PdhErrTotal"), 11u);
  std::string log = Log();
  EXPECT_NE(log.find("ERR: In CGetCpuload Refresh PdhCalculateCounterFromRawValue. "
                     "Local error:2540,  system error:800007d6\r\n"),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("ERR: ToRawValues - FromRawValues(FirstValue, SecondValue, MultiCount) : "
                     "(0, 0, 0)\r\n"),
            std::string::npos);
  EXPECT_NE(log.find("ERR: \t2024/01/01(MON) 09:00:00.000 \x81\x60 "
                     "2024/01/01(MON) 09:00:05.000\r\n"),
            std::string::npos);
  // The caller's init builds the query anew and the next window calculates.
  ASSERT_EQ(sampler_.init(), 0);
  Next(5, 25);
  ASSERT_EQ(sampler_.refresh(), 0);
  EXPECT_EQ(sampler_.m_dwCpuLoad, 25u);
  EXPECT_EQ(g_PdhContinuousErrors, 0u);
}

TEST_F(SamplerTest, NegativeDifferencesPrintAtFullWidth) {
  SKIP_UNLESS_PDH_CALCULATES();
  ASSERT_EQ(sampler_.init(), 0);
  Next(5, 0, 0);
  dIdle_ = -0x123456789LL;  // idle went backwards by more than 32 bits hold
  EXPECT_EQ(sampler_.refresh(), -1);
  EXPECT_EQ(sampler_.m_dwPdhStatus, static_cast<uint32_t>(kPDH_CALC_NEGATIVE_DENOMINATOR));
  EXPECT_NE(Log().find("(FirstValue, SecondValue, MultiCount) : (-4886718345, 0, 0)\r\n"),
            std::string::npos)
      << Log();
}

TEST_F(SamplerTest, SkipEndsTheRunOfFailures) {
  SKIP_UNLESS_PDH_CALCULATES();
  ASSERT_EQ(sampler_.init(), 0);
  Next(5, 0, 0);
  EXPECT_EQ(sampler_.refresh(), -1);
  ASSERT_EQ(sampler_.init(), 0);
  Next(5, 0, 0);
  EXPECT_EQ(sampler_.refresh(), -1);
  EXPECT_EQ(g_PdhContinuousErrors, 2u) << "init does not reset the run";
  ASSERT_EQ(sampler_.init(), 0);
  Next(1, 50);  // too short: a skip
  EXPECT_EQ(sampler_.refresh(), 0);
  EXPECT_EQ(g_PdhContinuousErrors, 0u);
  EXPECT_EQ(g_PdhContinuousSkips, 1u);
}

TEST_F(SamplerTest, PassingTheWindowEndsTheRunOfSkipsEvenIfTheCalculationFails) {
  ASSERT_EQ(sampler_.init(), 0);
  Next(1, 50);
  EXPECT_EQ(sampler_.refresh(), 0);
  Next(1, 50);
  EXPECT_EQ(sampler_.refresh(), 0);
  EXPECT_EQ(g_PdhContinuousSkips, 2u);
  SKIP_UNLESS_PDH_CALCULATES();
  Next(5, 0, 0);
  EXPECT_EQ(sampler_.refresh(), -1);
  EXPECT_EQ(g_PdhContinuousSkips, 0u);
  EXPECT_EQ(g_PdhContinuousErrors, 1u);
  EXPECT_EQ(g_Config.PdhCalculateSkipCount.load(), 2u);
  EXPECT_EQ(Registry("PdhCalculateSkipTotal"), 22u);
}

TEST_F(SamplerTest, InitKeepsBothRuns) {
  ASSERT_EQ(sampler_.init(), 0);
  Next(1, 50);
  EXPECT_EQ(sampler_.refresh(), 0);
  EXPECT_EQ(g_PdhContinuousSkips, 1u);
  ASSERT_EQ(sampler_.init(), 0);
  EXPECT_EQ(g_PdhContinuousSkips, 1u);
  Next(1, 50);
  EXPECT_EQ(sampler_.refresh(), 0);
  EXPECT_EQ(g_PdhContinuousSkips, 2u);
}

TEST_F(SamplerTest, SkipKeepsTheLastLoad) {
  SKIP_UNLESS_PDH_CALCULATES();
  ASSERT_EQ(sampler_.init(), 0);
  Next(5, 64);
  ASSERT_EQ(sampler_.refresh(), 0);
  // A failed calculation, then a skip: the skip reports the last good value.
  Next(5, 0, 0);
  EXPECT_EQ(sampler_.refresh(), -1);
  ASSERT_EQ(sampler_.init(), 0);
  Next(1, 10);
  ASSERT_EQ(sampler_.refresh(), 0);
  EXPECT_EQ(g_PdhContinuousSkips, 1u);
  EXPECT_EQ(sampler_.m_dwCpuLoad, 64u);
}

TEST_F(SamplerTest, ZeroCpuSpeedReportsZero) {
  SKIP_UNLESS_PDH_CALCULATES();
  sampler_.m_dwCpuSpeed = 0;
  ASSERT_EQ(sampler_.init(), 0);
  Next(5, 75);
  ASSERT_EQ(sampler_.refresh(), 0);
  EXPECT_EQ(sampler_.m_lCpuValue, 75);
  EXPECT_EQ(sampler_.m_dwCpuLoad, 0u);
  EXPECT_NE(Log().find("DEBUG: Caculated CPU load is 0\r\n"), std::string::npos);
}

TEST_F(SamplerTest, LoadIsCapped) {
  SKIP_UNLESS_PDH_CALCULATES();
  ASSERT_EQ(sampler_.init(), 0);
  Next(5, 0);
  dIdle_ = dTotal_ + 500000;  // more idle than time passed
  ASSERT_EQ(sampler_.refresh(), 0);
  EXPECT_EQ(sampler_.m_dwCpuLoad, 0u);
  Next(5, 100);
  ASSERT_EQ(sampler_.refresh(), 0);
  EXPECT_EQ(sampler_.m_dwCpuLoad, 100u);
}

TEST_F(SamplerTest, CollectionFailureClosesTheQuery) {
  ASSERT_EQ(sampler_.init(), 0);
  Next(5, 10);
  failWith_ = kPDH_NO_DATA;
  EXPECT_EQ(sampler_.refresh(), -1);
  EXPECT_EQ(sampler_.m_nLocalError, 2550);
  EXPECT_EQ(sampler_.m_hqQuery, nullptr);
  EXPECT_EQ(sampler_.m_hCounter, nullptr);
  EXPECT_EQ(g_PdhContinuousErrors, 0u) << "only calculations count towards the limit";
  EXPECT_EQ(Registry("PdhErrCount"), 1u);
  std::string log = Log();
  EXPECT_NE(log.find("ERR: In CGetCpuload ActPdhCollectQueryData. Local error:2550,  "
                     "system error:800007d5\r\n"),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("DEBUG: After->m_hqQuery:0\r\n"), std::string::npos);
  EXPECT_EQ(Count("ActPdhRemoveCounter. "), 0u) << "the counter was still valid";

  // Failed init: the collection fails, then a refresh without init reports the
  // collection on a closed query and the removal of a counter already gone.
  EXPECT_EQ(sampler_.init(), -1);
  EXPECT_EQ(sampler_.m_nLocalError, 2530);
  failWith_ = 0;
  EXPECT_EQ(sampler_.refresh(), -1);
  EXPECT_NE(Log().find("ERR: In CGetCpuload ActPdhCollectQueryData. Local error:2550,  "
                       "system error:c0000bbc\r\n"),
            std::string::npos);
  EXPECT_NE(Log().find("ERR: In CGetCpuload ActPdhRemoveCounter. Local error:2550,  "
                       "system error:c0000bbc\r\n"),
            std::string::npos);
  EXPECT_EQ(g_Config.PdhErrCount.load(), 4u);
  EXPECT_EQ(Registry("PdhErrCount"), 4u);
  EXPECT_EQ(Registry("PdhErrTotal"), 14u);
  // And init recovers.
  ASSERT_EQ(sampler_.init(), 0);
  SKIP_UNLESS_PDH_CALCULATES();
  Next(5, 33);
  ASSERT_EQ(sampler_.refresh(), 0);
  EXPECT_EQ(sampler_.m_dwCpuLoad, 33u);
}

TEST_F(SamplerTest, MissingRegistryKeepsCountingInMemory) {
  testsupport::InstallStore(dir_.file("keld4.reg"),
                            "Windows Registry Editor Version 5.00\r\n\r\n"
                            "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Ostrel\\KELD4]\r\n\r\n");
  ASSERT_EQ(sampler_.init(), 0);
  Next(1, 50);
  ASSERT_EQ(sampler_.refresh(), 0);
  EXPECT_EQ(g_Config.PdhCalculateSkipCount.load(), 1u);
  SKIP_UNLESS_PDH_CALCULATES();
  Next(5, 0, 0);
  EXPECT_EQ(sampler_.refresh(), -1);
  EXPECT_EQ(g_Config.PdhErrCount.load(), 1u);
  // Nothing lands in the agent's own key in place of the missing subkey.
  std::string text = testsupport::StoreText(dir_.file("keld4.reg"));
  EXPECT_EQ(text.find("PdhErr"), std::string::npos) << text;
  EXPECT_EQ(text.find("PdhCalculateSkip"), std::string::npos) << text;
}

// ------------------------------------------------------------ drop-out
// Where a death test's child is this program run again rather than a fork
// (Windows), its fixture has a folder of its own: the parent names its folder
// in the environment, and the child writes its log and store there.
constexpr char kParentFolderVariable[] = "KELD4_DEATH_TEST_FOLDER";

class SamplerDeathTest : public SamplerTest {
 protected:
  void SetUp() override {
    SamplerTest::SetUp();
    // A child run again sets its fixture up too: the name stays the parent's.
    if (testing::internal::InDeathTestChild()) return;
    static char variable[1024];
    std::snprintf(variable, sizeof(variable), "%s=%s", kParentFolderVariable, dir_.path().c_str());
    putenv(variable);
  }

  // In the child: the parent's folder, and events on stderr, where the death
  // test looks.
  void InChild() {
    const char* parent = std::getenv(kParentFolderVariable);
    if (parent != nullptr && dir_.path() != parent) {
      std::snprintf(g_log.LogDirectory, sizeof(g_log.LogDirectory), "%s", parent);
      SetRegistryStorePathForTest(std::string(parent) + "/keld4.reg");
      // The child ends without destructors: its own folder goes now.
      std::error_code ignored;
      std::filesystem::remove_all(dir_.path(), ignored);
    }
    g_pfnDropOut = DropOut;
    _Module.ServiceFlag = 1;
    std::snprintf(_Module.m_szServiceName, sizeof(_Module.m_szServiceName), "keld4");
    SetEventSinkForTest([](const EventRecord& e) {
      std::fprintf(stderr, "EVENT type=%u id=%08x text=%s\n", e.type, e.eventId, e.text.c_str());
    });
  }
};

// Exit code -1 as the system reports it: 255 in a POSIX wait status, -1
// (0xFFFFFFFF) as a Windows process's exit code.
bool ExitedWithMinusOne(int status) {
  return testing::ExitedWithCode(255)(status) || testing::ExitedWithCode(-1)(status);
}

TEST_F(SamplerDeathTest, FailedCalculationsOverTheLimitDropOut) {
  SKIP_UNLESS_PDH_CALCULATES();
  g_Config.PdhErrCheckCount = 2;
  auto run = [this] {
    InChild();
    for (int i = 0; i < 3; ++i) {
      if (sampler_.init() != 0) std::_Exit(10);
      Next(5, 0, 0);
      if (sampler_.refresh() != -1) std::_Exit(11);
      std::fprintf(stderr, "survived %d\n", i + 1);
    }
    std::_Exit(12);
  };
  EXPECT_EXIT(run(), ExitedWithMinusOne,
              "survived 2\nEVENT type=1 id=c0020001 text=.*Pdh_Error KELD4 service DropOut\\.");
  std::string log = Log();
  EXPECT_NE(log.find("ERR: Pdh_Error_Count(Continuous error) Limit(2) Over KELD4 service "
                     "DropOut\r\n"),
            std::string::npos)
      << log;
  EXPECT_EQ(Count("ERR: In CGetCpuload Refresh PdhCalculateCounterFromRawValue."), 3u);
}

TEST_F(SamplerDeathTest, SkipsOverTheLimitDropOut) {
  g_Config.PdhErrCheckCount = 2;
  auto run = [this] {
    InChild();
    if (sampler_.init() != 0) std::_Exit(10);
    for (int i = 0; i < 3; ++i) {
      Next(1, 50);
      if (sampler_.refresh() != 0) std::_Exit(11);
      std::fprintf(stderr, "survived %d\n", i + 1);
    }
    std::_Exit(12);
  };
  EXPECT_EXIT(run(), ExitedWithMinusOne,
              "survived 2\nEVENT type=1 id=c0020001 text=.*Pdh_Error KELD4 service DropOut\\.");
  EXPECT_NE(Log().find("ERR: Pdh_Skip_Count(Continuous error evasion) Limit(2) Over KELD4 "
                       "service DropOut\r\n"),
            std::string::npos)
      << Log();
  // The third skip was counted and stored before the drop-out.
  EXPECT_EQ(Registry("PdhCalculateSkipCount"), 3u);
}

TEST_F(SamplerDeathTest, LimitZeroDropsOutAtTheFirstSkipOrFailure) {
  g_Config.PdhErrCheckCount = 0;
  auto skip = [this] {
    InChild();
    if (sampler_.init() != 0) std::_Exit(10);
    Next(1, 50);
    sampler_.refresh();
    std::_Exit(11);
  };
  EXPECT_EXIT(skip(), ExitedWithMinusOne, "Pdh_Error KELD4 service DropOut\\.");
  EXPECT_NE(Log().find("Pdh_Skip_Count(Continuous error evasion) Limit(0) Over"),
            std::string::npos);
  SKIP_UNLESS_PDH_CALCULATES();
  auto fail = [this] {
    InChild();
    if (sampler_.init() != 0) std::_Exit(10);
    Next(5, 0, 0);
    sampler_.refresh();
    std::_Exit(11);
  };
  EXPECT_EXIT(fail(), ExitedWithMinusOne, "Pdh_Error KELD4 service DropOut\\.");
  EXPECT_NE(Log().find("Pdh_Error_Count(Continuous error) Limit(0) Over"), std::string::npos);
}

// ------------------------------------------------------------ steady series
// The real stamp rule, refresh after refresh at the send interval, with the
// clock moving on by some microseconds at every reading (the collection's own
// reading, then GetLocalTime after it) and the tick arriving a little early or
// late: no refresh may look stale or too short.
TEST_F(SamplerTest, SteadySeriesNeverSkips) {
  SKIP_UNLESS_PDH_CALCULATES();
  std::mt19937_64 random(7);
  std::atomic<ULONGLONG> clock{kStart + 123};
  // Mostly sub-millisecond steps; now and then a preemption of up to 50 ms.
  SetLocalClockForTest([&] {
    ULONGLONG step = random() % 20 == 0 ? random() % (50 * kMs) : 1 + random() % 9000;
    return clock.fetch_add(step) + 1;
  });
  SetProcessorTimeSourceForTest([this](PDH_RAW_COUNTER* sample) {
    PDH_STATUS status = Collect(sample);
    ULONGLONG stamp = detail::CollectionStamp(LocalFileTimeNow());
    sample->TimeStamp.dwLowDateTime = static_cast<DWORD>(stamp);
    sample->TimeStamp.dwHighDateTime = static_cast<DWORD>(stamp >> 32);
    return status;
  });
  g_log.LogLevel = ERR;  // keep the file small
  ASSERT_EQ(sampler_.init(), 0);
  const int kRefreshes = 3000;
  for (int i = 0; i < kRefreshes; ++i) {
    // Ticks of a one-second timer: each a few hundred ms early or late.
    int64_t jitter = static_cast<int64_t>(random() % 800) - 400;
    clock += 5 * kSecond + static_cast<ULONGLONG>(jitter * static_cast<int64_t>(kMs));
    dTotal_ = 1000000;
    dIdle_ = static_cast<LONGLONG>(random() % 1000001);
    ASSERT_EQ(sampler_.refresh(), 0) << "refresh " << i;
    ASSERT_EQ(g_PdhContinuousSkips, 0u) << "refresh " << i;
    ASSERT_EQ(sampler_.m_dwCpuLoad,
              static_cast<uint32_t>((100 * (1000000 - dIdle_) + 500000) / 1000000))
        << "refresh " << i;
  }
  EXPECT_EQ(g_Config.PdhCalculateSkipCount.load(), 0u);
  EXPECT_EQ(g_Config.PdhErrCount.load(), 0u);
}

// The same with the real /proc/stat source under the fake clock: real
// counters (a short sleep lets them move), the layer's own stamp.
TEST_F(SamplerTest, SteadySeriesFromProcStatNeverSkips) {
  std::mt19937_64 random(11);
  std::atomic<ULONGLONG> clock{kStart + 987};
  SetLocalClockForTest([&] { return clock.fetch_add(1 + random() % 9000) + 1; });
  SetProcessorTimeSourceForTest(nullptr);
  g_log.LogLevel = ERR;
  ASSERT_EQ(sampler_.init(), 0);
  // The test clock reads 2024-01-01: a stamp a day away from it is the
  // system's own time.
  ULONGLONG stamp = Units(sampler_.m_RawPrev.TimeStamp);
  ULONGLONG test = clock.load();
  if ((stamp > test ? stamp - test : test - stamp) > 24 * 3600 * kSecond) {
    GTEST_SKIP() << "the system's counter is stamped by pdh.dll's own clock, which the test "
                    "clock does not reach";
  }
  for (int i = 0; i < 30; ++i) {
    Sleep(25);
    clock += 5 * kSecond - 300 * kMs + (random() % 600) * kMs;
    ASSERT_EQ(sampler_.refresh(), 0) << "refresh " << i;
    ASSERT_EQ(g_PdhContinuousSkips, 0u) << "refresh " << i;
    ASSERT_LE(sampler_.m_dwCpuLoad, 100u);
  }
  EXPECT_EQ(g_Config.PdhCalculateSkipCount.load(), 0u);
}

// ------------------------------------------------------------ real counter
TEST_F(SamplerTest, RealLoadAfterBusyLoop) {
  SKIP_UNLESS_PDH_CALCULATES();
  SetProcessorTimeSourceForTest(nullptr);
  SetLocalClockForTest(nullptr);
  interval_ = 0;
  ASSERT_EQ(sampler_.init(), 0);
  PDH_RAW_COUNTER base = sampler_.m_RawPrev;
  timespec cpu0{}, cpu1{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &cpu0);
  // Busy for 300 ms of wall time, at most.
  ULONGLONG until = LocalFileTimeNow() + 3 * kSecond / 10;
  volatile uint64_t sink = 0;
  while (LocalFileTimeNow() < until) {
    for (int i = 0; i < 10000; ++i) sink = sink + static_cast<uint64_t>(i);
  }
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &cpu1);
  ASSERT_EQ(sampler_.refresh(), 0);
  EXPECT_EQ(g_PdhContinuousSkips, 0u);
  PDH_RAW_COUNTER cur = sampler_.m_RawPrev;
  LONGLONG dSecond = cur.SecondValue - base.SecondValue;
  LONGLONG dBusy = dSecond - (cur.FirstValue - base.FirstValue);
  ASSERT_GT(dSecond, 0);
  // The processors' busy time covers most of this thread's own (the kernel
  // counts in ticks, so allow for some of it to fall outside the window).
  long double ours = (cpu1.tv_sec - cpu0.tv_sec) * 1e7L + (cpu1.tv_nsec - cpu0.tv_nsec) / 100.0L;
  EXPECT_GE(static_cast<long double>(dBusy), ours / 2) << "busy " << dBusy << " ours " << ours;
  // The reported load is that busy share of all processor time.
  EXPECT_LE(sampler_.m_dwCpuLoad, 100u);
  long double expected = 100.0L * dBusy / dSecond;
  EXPECT_NEAR(static_cast<double>(sampler_.m_dwCpuLoad), static_cast<double>(expected), 0.51);
  EXPECT_GT(sampler_.m_dwCpuLoad, 0u);
}

}  // namespace
