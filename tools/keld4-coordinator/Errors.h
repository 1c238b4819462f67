// SPDX-License-Identifier: Apache-2.0
// The C library's text for an error number. strerror may share one buffer
// between threads, and the coordinator runs HTTP threads beside its loop.
#pragma once

#include <string.h>

#include <string>

namespace coord {

inline std::string ErrorText(int err) {
  char buf[128];
  // The GNU strerror_r: returns the text, in buf or a static string.
  return strerror_r(err, buf, sizeof(buf));
}

}  // namespace coord
