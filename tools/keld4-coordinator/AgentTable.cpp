// SPDX-License-Identifier: Apache-2.0
#include "AgentTable.h"

#include <algorithm>
#include <cstring>
#include <functional>

namespace coord {

const char* StateName(AgentState s) {
  switch (s) {
    case AgentState::kUp: return "up";
    case AgentState::kSilent: return "silent";
    case AgentState::kDown: return "down";
    case AgentState::kUnknown: break;
  }
  return "unknown";
}

CAgentTable::CAgentTable(uint32_t alive_s, uint32_t cpu_s, size_t max_rows) : max_rows_(max_rows) {
  if (alive_s != 0) {
    silence_ms_ = int64_t{3000} * alive_s;
    alive_counts_only_ = true;
  } else if (cpu_s != 0) {
    silence_ms_ = int64_t{3000} * cpu_s;
  }
}

const AgentRow* CAgentTable::Find(uint32_t addr) const {
  auto it = index_.find(addr);
  return it == index_.end() ? nullptr : &rows_[it->second];
}

void CAgentTable::Expect(uint32_t addr) { Lookup(addr); }

const AgentRow* CAgentTable::Record(const Decoded& d, uint32_t from_addr, uint16_t from_port,
                                    int64_t now_ms, bool* came_up) {
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
    if (silence_ms_ != 0 && !paused_) {
      due_.push_back({now_ms, static_cast<size_t>(row - rows_.data())});
      std::push_heap(due_.begin(), due_.end(), std::greater<>());
    }
  }
  return row;
}

std::vector<size_t> CAgentTable::CheckSilence(int64_t now_ms) {
  std::vector<size_t> changed;
  // In the grace period nobody turns silent; the heap keeps its entries, so
  // those due by then turn silent as it ends.
  if (InGrace(now_ms)) return changed;
  while (!due_.empty() && now_ms - due_.front().live_ms >= silence_ms_) {
    Due d = due_.front();
    std::pop_heap(due_.begin(), due_.end(), std::greater<>());
    due_.pop_back();
    AgentRow& r = rows_[d.row];
    if (r.state == AgentState::kUp && r.last_live_ms == d.live_ms) {
      r.state = AgentState::kSilent;
      changed.push_back(d.row);
    }
  }
  return changed;
}

void CAgentTable::Grace(int64_t now_ms) {
  grace_from_ms_ = now_ms;
  if (!paused_) return;
  paused_ = false;
  // What was heard while paused counts from when it was heard.
  if (silence_ms_ == 0) return;
  for (size_t i = 0; i < rows_.size(); ++i) {
    if (rows_[i].state == AgentState::kUp) due_.push_back({rows_[i].last_live_ms, i});
  }
  std::make_heap(due_.begin(), due_.end(), std::greater<>());
}

void CAgentTable::Pause() {
  paused_ = true;
  due_.clear();
}

int64_t CAgentTable::NextSilenceDue() const {
  // A stale top only wakes the caller early; CheckSilence then drops it.
  if (due_.empty()) return -1;
  int64_t due = due_.front().live_ms + silence_ms_;
  if (grace_from_ms_ != INT64_MIN) due = std::max(due, grace_from_ms_ + silence_ms_);
  return due;
}

bool CAgentTable::InGrace(int64_t now_ms) const {
  // Subtracting INT64_MIN would overflow.
  return grace_from_ms_ != INT64_MIN && now_ms - grace_from_ms_ < silence_ms_;
}

AgentRow* CAgentTable::Lookup(uint32_t addr) {
  auto it = index_.find(addr);
  if (it != index_.end()) return &rows_[it->second];
  if (rows_.size() >= max_rows_) return nullptr;
  index_.emplace(addr, rows_.size());
  rows_.emplace_back();
  rows_.back().addr = addr;
  return &rows_.back();
}

}  // namespace coord
