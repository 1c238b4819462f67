// SPDX-License-Identifier: Apache-2.0
// Which HAProxy server each agent stands for.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace coord {

struct ServerMapping {
  uint32_t agent = 0;  // the address the agent reports as its own
  std::string backend;
  std::string server;
  int line = 0;  // where a --config file names it; 0 for --server
  // "hold": the coordinator writes nothing to this server, whatever its
  // agent reports, until the mark is gone.
  bool hold = false;

  std::string Name() const { return backend + "/" + server; }
};

// Blanks, tabs and CRs off both ends, as the tool's files are read.
std::string Trim(const std::string& s);

// Reads one of the tool's text files (the server map, the options file): each
// line trimmed, blank lines and lines starting with '#' skipped. each returns
// "" or why its line is wrong, which ends the reading. Returns 0, or -1 with
// "cannot read FILE" or "FILE:LINE: reason" in *err.
// *at (when given) is the number of the line each is called with.
int ReadLines(const std::string& path, const std::function<std::string(const std::string&)>& each,
              std::string* err, int* at = nullptr);

// One mapping "AGENT_ADDRESS=BACKEND/SERVER", optionally followed by the word
// "hold" (blanks around the parts are allowed). Returns 0, or -1 with the
// reason in *err.
int ParseMapping(const std::string& text, ServerMapping* out, std::string* err);

// Adds the mappings of a file: one a line, blank lines and lines starting
// with '#' ignored. Returns 0, or -1 with "FILE:LINE: reason" in *err.
int LoadServerMap(const std::string& path, std::vector<ServerMapping>* out, std::string* err);

// Adds m unless its agent or its server is mapped already; -1 with the reason
// in *err when it clashes with an earlier mapping.
int AddMapping(const ServerMapping& m, std::vector<ServerMapping>* out, std::string* err);

}  // namespace coord
