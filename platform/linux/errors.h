// SPDX-License-Identifier: Apache-2.0
// Internal to the Linux layer: POSIX errno values as Win32 numbers.
#pragma once

#include "platform/platform.h"

namespace plat {

// The Win32 number that stands for a POSIX errno value.
DWORD Win32FromErrno(int err);

}  // namespace plat
