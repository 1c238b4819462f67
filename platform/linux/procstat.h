// SPDX-License-Identifier: Apache-2.0
// Internal to the Linux layer: reading the processor times out of the text of
// /proc/stat, and the time stamp rule of a collection. Pure functions over
// their arguments, so they can be fed any bytes.
#pragma once

#include <cstddef>
#include <cstdint>

namespace plat::detail {

// Times of the aggregate "cpu" line, in clock ticks (USER_HZ) since boot.
struct ProcStatTimes {
  uint64_t idle;   // idle + iowait: the processors had nothing to run
  uint64_t total;  // user + nice + system + idle + iowait + irq + softirq + steal
  uint32_t cpus;   // number of "cpuN" lines, the processors online now
};

namespace procstat_internal {

inline bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r'; }
inline bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// One decimal field starting at *pos (blanks before it skipped). False at the
// end of the line or on anything that is not a number that fits 64 bits.
inline bool NextField(const char* line, size_t length, size_t* pos, uint64_t* value) {
  size_t i = *pos;
  while (i < length && IsBlank(line[i])) ++i;
  if (i >= length || !IsDigit(line[i])) return false;
  uint64_t v = 0;
  while (i < length && IsDigit(line[i])) {
    uint64_t digit = static_cast<uint64_t>(line[i] - '0');
    if (v > (UINT64_MAX - digit) / 10) return false;
    v = v * 10 + digit;
    ++i;
  }
  if (i < length && !IsBlank(line[i])) return false;  // "12x" is no number
  *pos = i;
  *value = v;
  return true;
}

inline bool StartsWith(const char* line, size_t length, const char* prefix, size_t n) {
  if (length < n) return false;
  for (size_t i = 0; i < n; ++i) {
    if (line[i] != prefix[i]) return false;
  }
  return true;
}

// The aggregate line without its "cpu" name: at least user, nice, system and
// idle (kernels before 2.6 stop there); later fields count when present.
// guest and guest_nice are already inside user and nice and stay out.
inline bool ParseAggregate(const char* line, size_t length, ProcStatTimes* out) {
  uint64_t fields[8] = {};
  size_t pos = 0;
  size_t count = 0;
  uint64_t value = 0;
  while (count < 8 && NextField(line, length, &pos, &value)) fields[count++] = value;
  if (count < 4) return false;
  // Whatever follows the fields used must still be numbers (guest, guest_nice,
  // or fields of a later kernel); anything else means the line is not what we
  // think it is.
  if (count == 8) {
    while (NextField(line, length, &pos, &value)) {
    }
  }
  while (pos < length && IsBlank(line[pos])) ++pos;
  if (pos != length) return false;
  uint64_t idle = fields[3];
  if (idle > UINT64_MAX - fields[4]) return false;
  idle += fields[4];
  uint64_t total = 0;
  for (size_t i = 0; i < 8; ++i) {
    if (total > UINT64_MAX - fields[i]) return false;
    total += fields[i];
  }
  out->idle = idle;
  out->total = total;
  return true;
}

}  // namespace procstat_internal

// Parses the text of /proc/stat (length bytes, no terminator needed). True
// when exactly one well-formed aggregate "cpu" line was found; the processor
// count is that of the "cpuN" lines seen (0 if the text has none).
inline bool ParseProcStat(const char* text, size_t length, ProcStatTimes* out) {
  using namespace procstat_internal;
  if (text == nullptr || out == nullptr) return false;
  bool haveAggregate = false;
  ProcStatTimes result{0, 0, 0};
  size_t start = 0;
  while (start < length) {
    size_t end = start;
    while (end < length && text[end] != '\n') ++end;
    const char* line = text + start;
    size_t lineLength = end - start;
    if (StartsWith(line, lineLength, "cpu", 3)) {
      if (lineLength > 3 && IsBlank(line[3])) {
        if (haveAggregate) return false;  // two totals: which one is true?
        if (!ParseAggregate(line + 3, lineLength - 3, &result)) return false;
        haveAggregate = true;
      } else if (lineLength > 3 && IsDigit(line[3])) {
        if (result.cpus != UINT32_MAX) ++result.cpus;
      }
    }
    start = end + 1;
  }
  if (!haveAggregate) return false;
  *out = result;
  return true;
}

// True once the text holds every processor line: some complete line that is
// not a "cpu" line follows them (the kernel writes the cpu lines first). Lets
// the reader stop before the long interrupt lines.
inline bool ProcStatCpuLinesComplete(const char* text, size_t length) {
  for (size_t i = 0; i < length; ++i) {
    if (text[i] != '\n') continue;
    size_t next = i + 1;
    size_t end = next;
    while (end < length && text[end] != '\n') ++end;
    if (end >= length) return false;  // that line is not complete yet
    if (!procstat_internal::StartsWith(text + next, end - next, "cpu", 3)) return true;
  }
  return false;
}

// Clock ticks to 100 ns units. False when the result does not fit a signed
// 64-bit value or hz is not positive.
inline bool TicksToFileTimeUnits(uint64_t ticks, long hz, int64_t* units) {
  const uint64_t perSecond = 10000000ULL;
  if (hz <= 0 || static_cast<uint64_t>(hz) > perSecond) return false;
  uint64_t h = static_cast<uint64_t>(hz);
  uint64_t whole = ticks / h;
  uint64_t rest = ticks % h;
  if (whole > static_cast<uint64_t>(INT64_MAX) / perSecond) return false;
  uint64_t result = whole * perSecond;
  uint64_t part = rest * perSecond / h;  // rest < hz <= perSecond: no overflow
  if (result > static_cast<uint64_t>(INT64_MAX) - part) return false;
  *units = static_cast<int64_t>(result + part);
  return true;
}

// The stamp of a collection that completed at `completedAt` (local time, 100
// ns units). The sampler checks that the clock it reads right after the
// collection (GetLocalTime: milliseconds, truncated) is not later than the
// sample's stamp, to catch a sample that is not new. An exact stamp is a few
// microseconds earlier than that clock reading and looks stale whenever a
// millisecond boundary falls in between. Rounding up to the next millisecond
// makes any reading within the same millisecond pass; the grace covers the
// caller being preempted between the collection and its clock reading. Stamp
// differences, and so the window rule, stay as they were (within 1 ms).
constexpr uint64_t kCollectionStampGrace = 100 * 10000ULL;  // 100 ms
inline uint64_t CollectionStamp(uint64_t completedAt) {
  const uint64_t ms = 10000;
  if (completedAt > UINT64_MAX - ms - kCollectionStampGrace) return completedAt;
  uint64_t rounded = (completedAt + ms - 1) / ms * ms;
  return rounded + kCollectionStampGrace;
}

}  // namespace plat::detail
