// SPDX-License-Identifier: Apache-2.0
// Test seams of the platform layer: each replaces one source of the system's
// data with a function, so tests (and the operator tool, for the store path)
// can run without the machine's own state. Every implementation provides
// them; an empty function returns to the system's own source.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "platform/platform.h"

namespace plat {

// Replaces the local wall clock behind GetLocalTime, TimeNow and the
// processor counter's stamps; the function answers local time as 100 ns
// units since 1601 (FILETIME scale).
void SetLocalClockForTest(std::function<ULONGLONG()> clock);

// Receives every reported event instead of the system log.
struct EventRecord {
  std::string source;
  WORD type;
  DWORD eventId;
  std::string text;
};
void SetEventSinkForTest(std::function<void(const EventRecord&)> sink);

// Chooses another store file (an empty path returns to the environment /
// default). Where the store is the system's registry, the path names a test
// key of the user's own in its place, kept for other processes of the same
// path and deleted when the test chooses another.
void SetRegistryStorePathForTest(const std::string& path);

// The processor key: one entry per processor, its "~MHz" value or -1 for a
// processor whose key has no "~MHz".
void SetProcessorSourceForTest(std::function<std::vector<int64_t>()> source);

// What the host's interfaces look like, for the seam below.
struct InterfaceEntry {
  DWORD index;
  std::string description;                         // Linux: the interface name, or a loopback text
  bool loopback;                                   // the interface has the loopback flag
  std::vector<std::pair<DWORD, DWORD>> addresses;  // (address, mask), network order
};
// Replaces the host's interface table. On Linux an interface with the
// loopback flag is described as "MS TCP Loopback interface".
void SetInterfaceSourceForTest(std::function<std::vector<InterfaceEntry>()> source);

// Answers the peak working set in bytes (or sets *error and answers false to
// make the read fail).
void SetProcessMemorySourceForTest(std::function<bool(size_t* peak, DWORD* error)> source);

// The processor-time source behind the collection: fills the raw sample
// (stamp included) or answers a non-zero status to fail it.
void SetProcessorTimeSourceForTest(std::function<PDH_STATUS(PDH_RAW_COUNTER* sample)> source);

// Makes the creation of the thread that is the given number from now on (1 =
// the next one) fail with ERROR_NOT_ENOUGH_MEMORY; 0 switches it off.
void SetThreadCreateFailureForTest(int nth);

}  // namespace plat
