// SPDX-License-Identifier: Apache-2.0
// The Linux layer's readers of the processor facts in /proc and /sys.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "platform/linux/cpuinfo.h"

namespace {

using namespace plat;

TEST(CpuFacts, OnlineList) {
  std::vector<unsigned> cpus;
  ASSERT_TRUE(cpuinfo::ParseCpuList("0-3,6,8-9\n", &cpus));
  EXPECT_EQ(cpus, (std::vector<unsigned>{0, 1, 2, 3, 6, 8, 9}));
  ASSERT_TRUE(cpuinfo::ParseCpuList("0", &cpus));
  EXPECT_EQ(cpus, (std::vector<unsigned>{0}));
  for (const char* bad :
       {"", "\n", "a", "3-1", "0,0", "1,0", "0-", "-1", "0,,1", "0-4000000", "0-9999999", "1 2"}) {
    EXPECT_FALSE(cpuinfo::ParseCpuList(bad, &cpus)) << bad;
  }
}

TEST(CpuFacts, MaxFrequencyIsRoundedToMHz) {
  int64_t mhz = 0;
  ASSERT_TRUE(cpuinfo::ParseMaxFreqKHz("2400000\n", &mhz));
  EXPECT_EQ(mhz, 2400);
  ASSERT_TRUE(cpuinfo::ParseMaxFreqKHz("2599500", &mhz));
  EXPECT_EQ(mhz, 2600);
  ASSERT_TRUE(cpuinfo::ParseMaxFreqKHz("2599499", &mhz));
  EXPECT_EQ(mhz, 2599);
  EXPECT_FALSE(cpuinfo::ParseMaxFreqKHz("", &mhz));
  EXPECT_FALSE(cpuinfo::ParseMaxFreqKHz("-5", &mhz));
  EXPECT_FALSE(cpuinfo::ParseMaxFreqKHz("2.4e6", &mhz));
}

TEST(CpuFacts, ProcCpuinfoMHzPerProcessor) {
  auto mhz = cpuinfo::ParseCpuinfoMHz(
      "processor\t: 0\nvendor_id\t: GenuineIntel\ncpu MHz\t\t: 2596.128\n\n"
      "processor\t: 1\ncpu MHz\t\t: 2399.5\n\n"
      "processor\t: 2\nmodel name\t: no speed here\n\n"
      "processor\t: 3\ncpu MHz\t\t: fast\n\n"
      "processor\t: x\ncpu MHz\t\t: 1000\n");
  EXPECT_EQ(mhz, (std::map<unsigned, int64_t>{{0, 2596}, {1, 2400}}));
  EXPECT_TRUE(cpuinfo::ParseCpuinfoMHz("cpu MHz : 1000\n").empty());  // before any processor
  EXPECT_TRUE(cpuinfo::ParseCpuinfoMHz("").empty());
}

}  // namespace
