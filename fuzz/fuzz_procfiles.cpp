// SPDX-License-Identifier: Apache-2.0
// The readers of /proc/stat, /proc/cpuinfo and the sysfs processor files, fed
// arbitrary text. Besides not crashing, each answer must be one the callers
// can trust: sums that add up, lists that are ascending, conversions that are
// exact, and a /proc/stat read that stops early seeing what the whole file says.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "platform/linux/cpuinfo.h"
#include "platform/linux/procstat.h"

namespace {

void Fail(const char* what) {
  std::fprintf(stderr, "fuzz_procfiles: %s\n", what);
  std::abort();
}

void Check(bool condition, const char* what) {
  if (!condition) Fail(what);
}

bool IsCpuLine(std::string_view line) { return line.size() >= 3 && line.substr(0, 3) == "cpu"; }

// True when every "cpu" line comes before the first other line, as the kernel
// writes the file; only then may a reader stop after the processor lines.
bool CpuLinesFirst(std::string_view text) {
  bool others = false;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    std::string_view line = text.substr(start, end == std::string_view::npos ? end : end - start);
    if (IsCpuLine(line)) {
      if (others) return false;
    } else {
      others = true;
    }
    if (end == std::string_view::npos) break;
    start = end + 1;
  }
  return true;
}

void CheckProcStat(std::string_view text, size_t chunk) {
  using plat::detail::ProcStatTimes;
  ProcStatTimes whole{1, 2, 3};
  const bool ok = plat::detail::ParseProcStat(text.data(), text.size(), &whole);
  if (ok) Check(whole.idle <= whole.total, "idle time above total time");

  // The collector reads the file in chunks and stops once the processor lines
  // are complete; what it parses then must agree with the whole text.
  std::string read;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t n = std::min(chunk, text.size() - pos);
    read.append(text.data() + pos, n);
    pos += n;
    if (plat::detail::ProcStatCpuLinesComplete(read.data(), read.size())) break;
  }
  if (!CpuLinesFirst(text)) return;
  ProcStatTimes early{4, 5, 6};
  const bool earlyOk = plat::detail::ParseProcStat(read.data(), read.size(), &early);
  Check(earlyOk == ok, "early stop changes whether /proc/stat parses");
  if (ok) {
    Check(early.idle == whole.idle && early.total == whole.total && early.cpus == whole.cpus,
          "early stop changes the processor times");
  }
}

void CheckTicks(uint64_t ticks, long hz) {
  int64_t units = -1;
  if (!plat::detail::TicksToFileTimeUnits(ticks, hz, &units)) {
    // Refused only for a bad rate or a result beyond 63 bits.
    if (hz > 0 && hz <= 10000000) {
      unsigned __int128 exact = static_cast<unsigned __int128>(ticks) * 10000000u / hz;
      Check(exact > static_cast<unsigned __int128>(INT64_MAX), "tick conversion refused in range");
    }
    return;
  }
  Check(hz > 0, "tick conversion accepted a non-positive rate");
  unsigned __int128 exact =
      static_cast<unsigned __int128>(ticks) * 10000000u / static_cast<unsigned __int128>(hz);
  Check(units >= 0 && static_cast<unsigned __int128>(units) == exact, "tick conversion inexact");
}

void CheckStamp(uint64_t completedAt) {
  const uint64_t stamp = plat::detail::CollectionStamp(completedAt);
  const uint64_t ms = 10000;
  if (completedAt > UINT64_MAX - ms - plat::detail::kCollectionStampGrace) {
    Check(stamp == completedAt, "stamp near the end of the range moved");
    return;
  }
  Check(stamp >= completedAt + plat::detail::kCollectionStampGrace, "stamp without its grace");
  Check(stamp - completedAt < ms + plat::detail::kCollectionStampGrace, "stamp moved too far");
  Check(stamp % ms == 0, "stamp not on a millisecond");
}

void CheckCpuList(std::string_view text) {
  std::vector<unsigned> cpus{7, 7};
  if (!plat::cpuinfo::ParseCpuList(text, &cpus)) return;
  Check(!cpus.empty() && cpus.size() <= plat::cpuinfo::kMaxProcessors, "processor list size");
  for (size_t i = 1; i < cpus.size(); ++i) Check(cpus[i - 1] < cpus[i], "processor list order");

  // Written back in ranges, the list reads the same.
  std::string again;
  for (size_t i = 0; i < cpus.size();) {
    size_t j = i;
    while (j + 1 < cpus.size() && cpus[j + 1] == cpus[j] + 1) ++j;
    if (!again.empty()) again += ',';
    again += std::to_string(cpus[i]);
    if (j > i) again += '-' + std::to_string(cpus[j]);
    i = j + 1;
  }
  std::vector<unsigned> reread;
  Check(plat::cpuinfo::ParseCpuList(again, &reread) && reread == cpus, "processor list round trip");
}

void CheckFrequencies(std::string_view text) {
  int64_t mhz = -1;
  if (plat::cpuinfo::ParseMaxFreqKHz(text, &mhz)) {
    Check(mhz >= 0 && mhz <= 1000000000, "maximum frequency out of range");
  }
  for (const auto& [cpu, value] : plat::cpuinfo::ParseCpuinfoMHz(text)) {
    Check(cpu <= 9999999u, "processor number beyond seven digits");
    Check(value >= 0 && value <= 1000000000, "cpu MHz out of range");
  }
}

uint64_t Load64(const uint8_t* p) {
  uint64_t v;
  std::memcpy(&v, p, sizeof(v));
  return v;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // An exactly sized copy, so that reading one byte too far is caught.
  const char* bytes = size > 0 ? reinterpret_cast<const char*>(data) : "";
  std::string_view text(bytes, size);

  // The real collector reads 4096 bytes at a time; a small chunk taken from
  // the input tries the stopping rule at other boundaries (on short texts
  // only: the rule rescans the text read so far at every chunk).
  CheckProcStat(text, 4096);
  if (size > 0 && size <= 4096) CheckProcStat(text, 1 + data[0] % 64);
  CheckCpuList(text);
  CheckFrequencies(text);

  if (size >= 16) {
    const uint64_t ticks = Load64(data);
    const uint64_t rate = Load64(data + 8);
    // Rates as sysconf gives them mostly, and any value sometimes.
    CheckTicks(ticks, static_cast<long>(rate % 2 == 0 ? rate % 2048 : rate));
    CheckStamp(ticks);
  }
  return 0;
}
