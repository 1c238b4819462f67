// SPDX-License-Identifier: Apache-2.0
// Output of keld4-coordinator: JSON event lines, the live table and the end
// summary, all drawn from one snapshot (CoordinatorStatus), the one the
// metrics and the status page read.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "AgentTable.h"
#include "Balancer.h"
#include "Options.h"
#include "Status.h"

namespace coord {

// Builds one JSON object, member by member, on one line.
class CJsonLine {
 public:
  CJsonLine() { out_ = "{"; }

  CJsonLine& Str(const char* key, const char* value);
  CJsonLine& Str(const char* key, const std::string& value) { return Str(key, value.c_str()); }
  CJsonLine& Num(const char* key, uint64_t value);
  // Seconds from milliseconds, with three decimals.
  CJsonLine& Seconds(const char* key, int64_t ms);
  CJsonLine& Null(const char* key);
  CJsonLine& Bool(const char* key, bool value);
  CJsonLine& Addr(const char* key, uint32_t addr);
  CJsonLine& Endpoint(const char* key, uint32_t addr, uint16_t port);
  CJsonLine& Strs(const char* key, const std::vector<std::string>& values);
  CJsonLine& Addrs(const char* key, const std::vector<uint32_t>& addrs);
  // A member whose value is already JSON text.
  CJsonLine& Raw(const char* key, const std::string& json);
  // The finished object, without a line end.
  const std::string& Text();

 private:
  void Key(const char* key);
  void Quote(const char* s);

  std::string out_;
  bool first_ = true;
  bool closed_ = false;
};

// One agent row as a JSON object; ages are relative to now_ms.
std::string RowJson(const AgentRow& r, int64_t now_ms);
std::string RowsJson(const std::vector<AgentRow>& rows, int64_t now_ms);

// The WEIGHT and LB STATE of an agent's HAProxy server; false for an agent
// that is not mapped.
using LbColumns = std::function<bool(uint32_t agent, std::string* weight, std::string* state)>;

// The table as lines of text, at most max_rows rows (0: all) and a note of
// the rest.
std::vector<std::string> TableLines(const std::vector<AgentRow>& rows, int64_t now_ms,
                                    size_t max_rows, const LbColumns& lb = nullptr);

// The members of the start, end and HAProxy events after "event" and "t".
void StartMembers(CJsonLine* j, const CoordinatorOptions& o, const CoordinatorStatus& s);
void EndMembers(CJsonLine* j, const char* reason, const CoordinatorStatus& s);
const char* LbEventName(LbEvent::Kind kind);
void LbEventMembers(CJsonLine* j, const LbEvent& e, bool dry_run);

// The live table: a title, a line per HAProxy, the agents (at most max_rows,
// 0: all), the footer with any valve that holds, and the latest dry-run
// commands.
std::vector<std::string> ScreenLines(const CoordinatorStatus& s, size_t max_rows,
                                     const std::vector<std::string>& dry_run);
// One short line per HAProxy instance, from the balancer's part of s.
std::vector<std::string> HaproxyLines(const CoordinatorStatus& s);
// The lines ScreenLines adds to the agents' rows, at most.
size_t ScreenExtraLines(const CoordinatorStatus& s, size_t dry_run);

}  // namespace coord
