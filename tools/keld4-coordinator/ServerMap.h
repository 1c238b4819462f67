// SPDX-License-Identifier: Apache-2.0
// Which HAProxy server each agent stands for.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace coord {

struct ServerMapping {
  uint32_t agent = 0;  // the address the agent reports as its own
  std::string backend;
  std::string server;
  int line = 0;  // where a --config file names it; 0 for --server

  std::string Name() const { return backend + "/" + server; }
};

// One mapping "AGENT_ADDRESS=BACKEND/SERVER" (blanks around the parts are
// allowed). Returns 0, or -1 with the reason in *err.
// Blanks, tabs and CRs off both ends, as the tool's files are read.
std::string Trim(const std::string& s);

int ParseMapping(const std::string& text, ServerMapping* out, std::string* err);

// Adds the mappings of a file: one a line, blank lines and lines starting
// with '#' ignored. Returns 0, or -1 with "FILE:LINE: reason" in *err.
int LoadServerMap(const std::string& path, std::vector<ServerMapping>* out, std::string* err);

// Adds m unless its agent or its server is mapped already; -1 with the reason
// in *err when it clashes with an earlier mapping.
int AddMapping(const ServerMapping& m, std::vector<ServerMapping>* out, std::string* err);

}  // namespace coord
