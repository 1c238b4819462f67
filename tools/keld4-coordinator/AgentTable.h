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
  bool reserved = false;  // a mapped agent's: never given to another sender
};

// Rows are capped (--max-agents) so a flood of forged source addresses cannot
// eat the host's memory. Only a message that decodes whole makes a row; the
// mapped agents' rows are reserved, and when the table is full a newcomer
// takes the row of the unreserved agent heard longest ago, so a flood can
// neither crowd out a mapped agent nor lock the table against later ones.
constexpr size_t kMaxAgents = 16384;

class CAgentTable {
 public:
  // alive_s and cpu_s are the periods our Coor_alive gives the agents.
  CAgentTable(uint32_t alive_s, uint32_t cpu_s, size_t max_rows = kMaxAgents);

  // 0 when agents never go silent.
  int64_t SilenceMs() const { return silence_ms_; }
  // New periods (a re-read options file): silence is measured by them from now on.
  void SetPeriods(uint32_t alive_s, uint32_t cpu_s);
  const std::vector<AgentRow>& Rows() const { return rows_; }
  // Reports that got no row: every row is reserved.
  uint64_t Untracked() const { return untracked_; }
  // Rows taken over from an unreserved agent for a newcomer.
  uint64_t Recycled() const { return recycled_; }
  // No free row is left: a newcomer takes another agent's.
  bool Full() const { return rows_.size() >= max_rows_; }
  size_t MaxRows() const { return max_rows_; }
  size_t Reserved() const { return reserved_; }

  const AgentRow* Find(uint32_t addr) const;

  // A reserved row for a mapped agent, before it has said anything, so the
  // table shows it from the start; it gets one even when the table is full.
  void Expect(uint32_t addr);
  // The agent is no longer mapped: its row may go to another sender.
  void Release(uint32_t addr);

  // Books one decoded datagram (not an echo) that came from from_addr:from_port.
  // Returns the row, or nullptr for a malformed datagram of an agent without
  // a row or when every row is reserved; *came_up tells whether the row
  // changed to "up" with it.
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
  // The row of addr, made (or taken from the agent heard longest ago) when
  // there is none; nullptr when every row is reserved.
  AgentRow* Admit(uint32_t addr);
  bool InGrace(int64_t now_ms) const;
  // The unreserved rows in the order they were last heard, oldest first.
  void Unlink(size_t row);
  void LinkNewest(size_t row);

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
  uint64_t recycled_ = 0;
  size_t reserved_ = 0;
  static constexpr size_t kNone = SIZE_MAX;
  std::vector<size_t> older_, newer_;  // per row; kNone at the ends and for reserved rows
  size_t oldest_ = kNone, newest_ = kNone;
  std::vector<Due> due_;
  int64_t grace_from_ms_ = INT64_MIN;
  bool paused_ = false;
};

}  // namespace coord
