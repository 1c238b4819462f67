// SPDX-License-Identifier: Apache-2.0
// Output of keld4-coordinator: JSON event lines and the agent table as text.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "AgentTable.h"

namespace coord {

// Builds one JSON object, member by member, on one line.
class CJsonLine {
 public:
  CJsonLine() { out_ = "{"; }
  virtual ~CJsonLine() = default;

  CJsonLine& Str(const char* key, const char* value);
  CJsonLine& Str(const char* key, const std::string& value) { return Str(key, value.c_str()); }
  CJsonLine& Num(const char* key, uint64_t value);
  // Seconds from milliseconds, with three decimals.
  CJsonLine& Seconds(const char* key, int64_t ms);
  CJsonLine& Null(const char* key);
  CJsonLine& Bool(const char* key, bool value);
  CJsonLine& Addr(const char* key, uint32_t addr);
  CJsonLine& Endpoint(const char* key, uint32_t addr, uint16_t port);
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

}  // namespace coord
