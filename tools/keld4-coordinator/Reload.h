// SPDX-License-Identifier: Apache-2.0
// What SIGHUP may change in a running coordinator: the options file is read
// again with the command line over it, as at the start. What the running
// sockets and tables were made from (addresses, ports, HAProxy sockets, the
// table's size, the output) stays as it was.
#pragma once

#include <string>
#include <vector>

#include "Options.h"

namespace coord {

// Parses cur.command_line again into *fresh. Each option that cannot change
// while running and was changed keeps cur's value in *fresh and is named in
// one line of *refused. Returns 0, or -1 with the reason (FILE:LINE: ... for
// a bad line of the options file) in *why; *fresh is then of no use.
int RereadOptions(const CoordinatorOptions& cur, CoordinatorOptions* fresh,
                  std::vector<std::string>* refused, std::string* why);

}  // namespace coord
