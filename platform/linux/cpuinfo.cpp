// SPDX-License-Identifier: Apache-2.0
// Readers of /sys/devices/system/cpu and /proc/cpuinfo text.
#include "platform/linux/cpuinfo.h"

namespace plat::cpuinfo {

namespace {

std::string_view Trim(std::string_view s) {
  auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; };
  while (!s.empty() && blank(s.front())) s.remove_prefix(1);
  while (!s.empty() && blank(s.back())) s.remove_suffix(1);
  return s;
}

// Decimal digits only, at most maxDigits of them.
bool ParseUnsigned(std::string_view s, size_t maxDigits, uint64_t* out) {
  if (s.empty() || s.size() > maxDigits) return false;
  uint64_t v = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + static_cast<uint64_t>(c - '0');
  }
  *out = v;
  return true;
}

}  // namespace

bool ParseCpuList(std::string_view text, std::vector<unsigned>* cpus) {
  cpus->clear();
  text = Trim(text);
  if (text.empty()) return false;
  uint64_t next = 0;  // the lowest number the next item may start with
  while (true) {
    size_t comma = text.find(',');
    std::string_view item = text.substr(0, comma);
    size_t dash = item.find('-');
    uint64_t first, last;
    if (!ParseUnsigned(item.substr(0, dash), 7, &first)) return false;
    last = first;
    if (dash != std::string_view::npos && !ParseUnsigned(item.substr(dash + 1), 7, &last))
      return false;
    if (last < first || first < next || last - first >= kMaxProcessors ||
        cpus->size() + (last - first + 1) > kMaxProcessors) {
      return false;
    }
    for (uint64_t c = first; c <= last; ++c) cpus->push_back(static_cast<unsigned>(c));
    next = last + 1;
    if (comma == std::string_view::npos) return true;
    text.remove_prefix(comma + 1);
  }
}

bool ParseMaxFreqKHz(std::string_view text, int64_t* mhz) {
  uint64_t khz;
  if (!ParseUnsigned(Trim(text), 12, &khz)) return false;
  *mhz = static_cast<int64_t>((khz + 500) / 1000);
  return true;
}

std::map<unsigned, int64_t> ParseCpuinfoMHz(std::string_view text) {
  std::map<unsigned, int64_t> result;
  bool inBlock = false;
  unsigned current = 0;
  while (!text.empty()) {
    size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    size_t colon = line.find(':');
    if (colon == std::string_view::npos) continue;
    std::string_view key = Trim(line.substr(0, colon));
    std::string_view value = Trim(line.substr(colon + 1));
    if (key == "processor") {
      uint64_t n = 0;
      inBlock = ParseUnsigned(value, 7, &n);
      current = static_cast<unsigned>(n);
    } else if (key == "cpu MHz" && inBlock) {
      // "2596.128": whole MHz, rounded half up; anything else is ignored.
      size_t dot = value.find('.');
      uint64_t whole;
      if (!ParseUnsigned(value.substr(0, dot), 9, &whole)) continue;
      if (dot != std::string_view::npos) {
        std::string_view frac = value.substr(dot + 1);
        uint64_t ignored;
        if (!frac.empty() && !ParseUnsigned(frac, 32, &ignored)) continue;
        if (!frac.empty() && frac[0] >= '5') ++whole;
      }
      result[current] = static_cast<int64_t>(whole);
    }
  }
  return result;
}

}  // namespace plat::cpuinfo
