// SPDX-License-Identifier: Apache-2.0
// Internal to the Linux layer: readers of the processor facts the kernel
// publishes, as pure functions over the text of the files, so that they can
// be fed anything.
#pragma once

#include <cstdint>
#include <map>
#include <string_view>
#include <vector>

namespace plat::cpuinfo {

// More processors than any host has; a list naming more is refused.
constexpr unsigned kMaxProcessors = 65536;

// /sys/devices/system/cpu/online: "0-3,6,8-9" (a trailing newline allowed)
// gives the processor numbers in ascending order. False on malformed text,
// descending ranges, duplicates or more than kMaxProcessors entries.
bool ParseCpuList(std::string_view text, std::vector<unsigned>* cpus);

// cpufreq/cpuinfo_max_freq: a frequency in kHz, given back in MHz, rounded.
bool ParseMaxFreqKHz(std::string_view text, int64_t* mhz);

// /proc/cpuinfo: the "cpu MHz" line of each "processor" block, rounded to
// whole MHz, keyed by the processor number. Blocks without it are left out.
std::map<unsigned, int64_t> ParseCpuinfoMHz(std::string_view text);

}  // namespace plat::cpuinfo
