// SPDX-License-Identifier: Apache-2.0
// The coordinator's one clock: monotonic milliseconds, for every deadline,
// period and age it keeps (wall time only labels what it shows).
#pragma once

#include <time.h>

#include <cstdint>

namespace coord {

inline int64_t MonotonicMs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

}  // namespace coord
