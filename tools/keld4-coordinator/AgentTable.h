// SPDX-License-Identifier: Apache-2.0
// One row per agent, keyed by the address the agent names as its own. Pure
// bookkeeping: the caller passes the time in, so tests drive it with a fake
// clock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <unordered_map>
#include <vector>

#include "Protocol.h"

namespace coord {

enum class AgentState {
  kUnknown,  // nothing valid from it so far
  kUp,
  kSilent,
  kDown,
};

const char* StateName(AgentState s);

struct AgentRow {
  uint32_t addr = 0;       // srcAddr, or the UDP source of a headerless datagram
  uint32_t from_addr = 0;  // UDP source of the latest datagram
  uint16_t from_port = 0;
  AgentState state = AgentState::kUnknown;
  bool has_alive = false;
  char mac[kMacFieldSize] = {};
  uint16_t ostype = 0;
  uint32_t mhz = 0;
  bool has_load = false;
  uint32_t load = 0;
  int64_t last_alive_ms = -1;
  int64_t last_load_ms = -1;
  int64_t last_live_ms = -1;  // what silence is measured from
  uint64_t messages = 0;      // valid agent messages
  uint64_t malformed = 0;
};

// Rows are capped (--max-agents) so a flood of forged source addresses cannot
// eat the host's memory; datagrams from further senders are only counted.
constexpr size_t kMaxAgents = 16384;

class CAgentTable {
 public:
  // alive_s and cpu_s are the periods our Coor_alive gives the agents.
  CAgentTable(uint32_t alive_s, uint32_t cpu_s, size_t max_rows = kMaxAgents);

  // 0 when agents never go silent.
  int64_t SilenceMs() const { return silence_ms_; }
  const std::vector<AgentRow>& Rows() const { return rows_; }
  uint64_t Untracked() const { return untracked_; }

  const AgentRow* Find(uint32_t addr) const;

  // A row for an agent we expect before it has said anything, so the table
  // shows it from the start.
  void Expect(uint32_t addr);

  // Books one decoded datagram (not an echo) that came from from_addr:from_port.
  // Returns the row, or nullptr when the table is full; *came_up tells whether
  // the row changed to "up" with it.
  const AgentRow* Record(const Decoded& d, uint32_t from_addr, uint16_t from_port, int64_t now_ms,
                         bool* came_up);

  // Turns rows that have been quiet for too long silent; returns the indexes
  // of the rows that changed.
  std::vector<size_t> CheckSilence(int64_t now_ms);

  // When the next row would turn silent, or -1 when none can.
  int64_t NextSilenceDue() const;

  // Silence counts from now_ms at the earliest: a coordinator that has just
  // become active gives every agent its full silence period to find it.
  // Ends a pause.
  void Grace(int64_t now_ms);

  // A standby judges no silence: nobody turns silent and nothing is kept
  // for it until the next Grace.
  void Pause();

 private:
  AgentRow* Lookup(uint32_t addr);
  bool InGrace(int64_t now_ms) const;

  // When a row would turn silent, as of one live message; stale once the row
  // hears from its agent again. Kept in a min-heap, so a fleet's silence
  // checks cost nothing while nobody is due.
  struct Due {
    int64_t live_ms;
    size_t row;
    bool operator>(const Due& o) const { return live_ms > o.live_ms; }
  };

  size_t max_rows_;
  int64_t silence_ms_ = 0;
  bool alive_counts_only_ = false;
  std::vector<AgentRow> rows_;
  std::unordered_map<uint32_t, size_t> index_;
  uint64_t untracked_ = 0;
  std::vector<Due> due_;
  int64_t grace_from_ms_ = INT64_MIN;
  bool paused_ = false;
};

}  // namespace coord
