// SPDX-License-Identifier: Apache-2.0
// The /proc/stat parser and the collection stamp rule.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>

#include "platform/linux/procstat.h"

using plat::detail::CollectionStamp;
using plat::detail::kCollectionStampGrace;
using plat::detail::ParseProcStat;
using plat::detail::ProcStatCpuLinesComplete;
using plat::detail::ProcStatTimes;
using plat::detail::TicksToFileTimeUnits;

namespace {

bool Parse(const std::string& text, ProcStatTimes* out) {
  return ParseProcStat(text.data(), text.size(), out);
}

}  // namespace

TEST(ProcStatParse, CurrentKernelLayout) {
  // user nice system idle iowait irq softirq steal guest guest_nice
  std::string text =
      "cpu  3458 7 2027 150201 343 11 23 9 500 40\n"
      "cpu0 1337 0 777 75896 12 0 4 4 0 0\n"
      "cpu1 2121 7 1250 74304 331 11 19 5 500 40\n"
      "intr 129829 0 0 0\n"
      "ctxt 265993\n";
  ProcStatTimes t{};
  ASSERT_TRUE(Parse(text, &t));
  EXPECT_EQ(t.idle, 150201u + 343u);
  // guest and guest_nice are already inside user and nice.
  EXPECT_EQ(t.total, 3458u + 7u + 2027u + 150201u + 343u + 11u + 23u + 9u);
  EXPECT_EQ(t.cpus, 2u);
}

TEST(ProcStatParse, OlderAndNewerLayouts) {
  ProcStatTimes t{};
  // Four fields only (very old kernels): no iowait, nothing after idle.
  ASSERT_TRUE(Parse("cpu 10 20 30 40\ncpu0 10 20 30 40\n", &t));
  EXPECT_EQ(t.idle, 40u);
  EXPECT_EQ(t.total, 100u);
  EXPECT_EQ(t.cpus, 1u);
  // A later kernel with an extra field: it does not count, the line still parses.
  ASSERT_TRUE(Parse("cpu 1 2 3 4 5 6 7 8 9 10 11\n", &t));
  EXPECT_EQ(t.idle, 9u);
  EXPECT_EQ(t.total, 36u);
  EXPECT_EQ(t.cpus, 0u);
  // Tabs, CR LF, no final newline, the aggregate not in the first line.
  ASSERT_TRUE(Parse("btime 1\r\ncpu\t1\t2\t3\t4\t5\r\ncpu3 1 2 3 4 5", &t));
  EXPECT_EQ(t.idle, 9u);
  EXPECT_EQ(t.total, 15u);
  EXPECT_EQ(t.cpus, 1u);
}

TEST(ProcStatParse, RejectsMalformedText) {
  ProcStatTimes t{};
  t.idle = 77;
  const char* bad[] = {
      "",
      "cpu0 1 2 3 4\n",                      // no aggregate line
      "cpu 1 2 3\n",                         // too few fields
      "cpu 1 2 x 4\n",                       // not a number
      "cpu 1 2 3 4 5 6 7 8 9 zz\n",          // garbage after the fields
      "cpu -1 2 3 4\n",                      // negative
      "cpu 1 2 3 4\ncpu 1 2 3 4\n",          // two aggregates
      "cpu 18446744073709551616 0 0 0\n",    // beyond 64 bits
      "cpu 18446744073709551615 1 0 0\n",    // sum beyond 64 bits
      "cpu 0 0 0 18446744073709551615 1\n",  // idle + iowait beyond 64 bits
      "cpu 12abc 2 3 4\n",
      "cpux 1 2 3 4\n",
  };
  for (const char* text : bad) {
    EXPECT_FALSE(Parse(text, &t)) << "accepted: " << text;
  }
  EXPECT_EQ(t.idle, 77u) << "a failed parse must not touch the result";
  EXPECT_FALSE(ParseProcStat(nullptr, 0, &t));
}

TEST(ProcStatParse, HonoursLengthNotTerminator) {
  // The length ends the text inside the fourth field: "cpu 1 2 3 4" is cut to
  // "cpu 1 2 3" and must fail, whatever bytes follow in memory.
  const char text[] = "cpu 1 2 3 4000\n";
  ProcStatTimes t{};
  EXPECT_FALSE(ParseProcStat(text, 9, &t));
  EXPECT_TRUE(ParseProcStat(text, 11, &t));
  EXPECT_EQ(t.total, 10u);
}

TEST(ProcStatParse, CpuLinesComplete) {
  std::string text = "cpu  1 2 3 4\ncpu0 1 2 3 4\n";
  EXPECT_FALSE(ProcStatCpuLinesComplete(text.data(), text.size()));
  text += "intr 1 2";  // the next line is not complete yet
  EXPECT_FALSE(ProcStatCpuLinesComplete(text.data(), text.size()));
  text += "\n";
  EXPECT_TRUE(ProcStatCpuLinesComplete(text.data(), text.size()));
  std::string cut = "cpu  1 2 3 4\ncpu0 1 2";
  EXPECT_FALSE(ProcStatCpuLinesComplete(cut.data(), cut.size()));
}

TEST(ProcStatParse, TicksToUnits) {
  int64_t units = 0;
  ASSERT_TRUE(TicksToFileTimeUnits(123, 100, &units));
  EXPECT_EQ(units, 12300000);
  ASSERT_TRUE(TicksToFileTimeUnits(7, 3, &units));  // 7/3 s
  EXPECT_EQ(units, 23333333);
  EXPECT_FALSE(TicksToFileTimeUnits(1, 0, &units));
  EXPECT_FALSE(TicksToFileTimeUnits(1, -5, &units));
  EXPECT_FALSE(TicksToFileTimeUnits(UINT64_MAX, 100, &units));
  // The largest count that fits.
  ASSERT_TRUE(TicksToFileTimeUnits(INT64_MAX / 100000, 100, &units));
  EXPECT_FALSE(TicksToFileTimeUnits(INT64_MAX / 100000 + 1, 100, &units));
}

TEST(CollectionStampRule, RoundsUpAndAddsGrace) {
  const uint64_t ms = 10000;
  uint64_t t = 133000000000000000ULL;  // on a millisecond boundary
  EXPECT_EQ(CollectionStamp(t), t + kCollectionStampGrace);
  EXPECT_EQ(CollectionStamp(t + 1), t + ms + kCollectionStampGrace);
  EXPECT_EQ(CollectionStamp(t + ms - 1), t + ms + kCollectionStampGrace);
  EXPECT_EQ(CollectionStamp(UINT64_MAX), UINT64_MAX);  // no wrap-around
}

TEST(CollectionStampRule, ClockReadLaterNeverLooksNewer) {
  // Whatever the collection's completion time, a millisecond clock read up to
  // the grace later is never later than the stamp; one read clearly past it is.
  std::mt19937_64 random(20240101);
  const uint64_t ms = 10000;
  for (int i = 0; i < 100000; ++i) {
    uint64_t done = 133000000000000000ULL + random() % (86400ULL * 10000000ULL);
    uint64_t delay = random() % (kCollectionStampGrace + 1);
    uint64_t clockMs = (done + delay) / ms * ms;  // GetLocalTime truncates
    ASSERT_LE(clockMs, CollectionStamp(done)) << "done=" << done << " delay=" << delay;
  }
  uint64_t done = 133000000000000123ULL;
  uint64_t late = (done + kCollectionStampGrace + 2 * ms) / ms * ms;
  EXPECT_GT(late, CollectionStamp(done));
}
