// One row per agent, keyed by the address the agent names as its own. Pure
// bookkeeping: the caller passes the time in, so tests drive it with a fake
// clock.
#pragma once

#include <cstdint>
#include <cstring>
#include <unordered_map>
#include <vector>

#include "Protocol.h"

namespace coord {

enum class AgentState {
  kUnknown,  // only malformed datagrams so far
  kUp,
  kSilent,
  kDown,
};

inline const char* StateName(AgentState s) {
  switch (s) {
    case AgentState::kUp: return "up";
    case AgentState::kSilent: return "silent";
    case AgentState::kDown: return "down";
    case AgentState::kUnknown: break;
  }
  return "unknown";
}

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

// Rows are capped so a flood of forged source addresses cannot eat the host's
// memory; datagrams from further senders are only counted.
constexpr size_t kMaxAgents = 4096;

class CAgentTable {
 public:
  // alive_s and cpu_s are the periods our Coor_alive gives the agents.
  CAgentTable(uint32_t alive_s, uint32_t cpu_s, size_t max_rows = kMaxAgents)
      : max_rows_(max_rows) {
    if (alive_s != 0) {
      silence_ms_ = int64_t{3000} * alive_s;
      alive_counts_only_ = true;
    } else if (cpu_s != 0) {
      silence_ms_ = int64_t{3000} * cpu_s;
    }
  }
  virtual ~CAgentTable() = default;

  // 0 when agents never go silent.
  int64_t SilenceMs() const { return silence_ms_; }
  const std::vector<AgentRow>& Rows() const { return rows_; }
  uint64_t Untracked() const { return untracked_; }

  const AgentRow* Find(uint32_t addr) const {
    auto it = index_.find(addr);
    return it == index_.end() ? nullptr : &rows_[it->second];
  }

  // Books one decoded datagram (not an echo) that came from from_addr:from_port.
  // Returns the row, or nullptr when the table is full; *came_up tells whether
  // the row changed to "up" with it.
  const AgentRow* Record(const Decoded& d, uint32_t from_addr, uint16_t from_port, int64_t now_ms,
                         bool* came_up) {
    *came_up = false;
    if (d.kind == Kind::kEcho) return nullptr;
    uint32_t key = d.has_header ? d.src : from_addr;
    AgentRow* row = Lookup(key);
    if (row == nullptr) {
      ++untracked_;
      return nullptr;
    }
    row->from_addr = from_addr;
    row->from_port = from_port;
    if (d.kind == Kind::kMalformed) {
      ++row->malformed;
      return row;
    }
    ++row->messages;
    bool live = false;
    switch (d.kind) {
      case Kind::kAlive:
        row->has_alive = true;
        std::memcpy(row->mac, d.mac, sizeof(row->mac));
        row->ostype = d.ostype;
        row->mhz = d.mhz;
        row->last_alive_ms = now_ms;
        live = true;
        break;
      case Kind::kCpuLoad:
        row->has_load = true;
        row->load = d.load;
        row->last_load_ms = now_ms;
        // While alives are expected only they prove an agent is alive; the
        // first contact counts whatever it is.
        live = !alive_counts_only_ || row->state == AgentState::kUnknown;
        break;
      case Kind::kDown: row->state = AgentState::kDown; return row;
      case Kind::kEcho:
      case Kind::kMalformed: break;
    }
    if (live) {
      row->last_live_ms = now_ms;
      if (row->state != AgentState::kUp) {
        row->state = AgentState::kUp;
        *came_up = true;
      }
    }
    return row;
  }

  // Turns rows that have been quiet for too long silent; returns the indexes
  // of the rows that changed.
  std::vector<size_t> CheckSilence(int64_t now_ms) {
    std::vector<size_t> changed;
    if (silence_ms_ == 0) return changed;
    for (size_t i = 0; i < rows_.size(); ++i) {
      AgentRow& r = rows_[i];
      if (r.state == AgentState::kUp && now_ms - r.last_live_ms >= silence_ms_) {
        r.state = AgentState::kSilent;
        changed.push_back(i);
      }
    }
    return changed;
  }

  // When the next row would turn silent, or -1 when none can.
  int64_t NextSilenceDue() const {
    int64_t due = -1;
    if (silence_ms_ == 0) return due;
    for (const AgentRow& r : rows_) {
      if (r.state != AgentState::kUp) continue;
      int64_t t = r.last_live_ms + silence_ms_;
      if (due < 0 || t < due) due = t;
    }
    return due;
  }

 private:
  AgentRow* Lookup(uint32_t addr) {
    auto it = index_.find(addr);
    if (it != index_.end()) return &rows_[it->second];
    if (rows_.size() >= max_rows_) return nullptr;
    index_.emplace(addr, rows_.size());
    rows_.emplace_back();
    rows_.back().addr = addr;
    return &rows_.back();
  }

  size_t max_rows_;
  int64_t silence_ms_ = 0;
  bool alive_counts_only_ = false;
  std::vector<AgentRow> rows_;
  std::unordered_map<uint32_t, size_t> index_;
  uint64_t untracked_ = 0;
};

}  // namespace coord
