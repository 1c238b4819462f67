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
  SetPeriods(alive_s, cpu_s);
}

void CAgentTable::SetPeriods(uint32_t alive_s, uint32_t cpu_s) {
  silence_ms_ = 0;
  alive_counts_only_ = alive_s != 0;
  if (alive_s != 0) {
    silence_ms_ = int64_t{3000} * alive_s;
  } else if (cpu_s != 0) {
    silence_ms_ = int64_t{3000} * cpu_s;
  }
}

const AgentRow* CAgentTable::Find(uint32_t addr) const {
  auto it = index_.find(addr);
  return it == index_.end() ? nullptr : &rows_[it->second];
}

void CAgentTable::Expect(uint32_t addr) {
  auto it = index_.find(addr);
  size_t i = 0;
  if (it != index_.end()) {
    i = it->second;
    if (rows_[i].reserved) return;
    Unlink(i);
  } else {
    AgentRow* row = Admit(addr);
    if (row == nullptr) {
      // Every row is reserved already: a mapped agent still gets one.
      index_.emplace(addr, rows_.size());
      rows_.emplace_back();
      rows_.back().addr = addr;
      older_.push_back(kNone);
      newer_.push_back(kNone);
      row = &rows_.back();
    }
    i = static_cast<size_t>(row - rows_.data());
    Unlink(i);
  }
  rows_[i].reserved = true;
  ++reserved_;
}

void CAgentTable::Release(uint32_t addr) {
  auto it = index_.find(addr);
  if (it == index_.end() || !rows_[it->second].reserved) return;
  rows_[it->second].reserved = false;
  --reserved_;
  LinkNewest(it->second);
}

const AgentRow* CAgentTable::Record(const Decoded& d, uint32_t from_addr, uint16_t from_port,
                                    int64_t now_ms, bool* came_up) {
  *came_up = false;
  if (d.kind == Kind::kEcho) return nullptr;
  uint32_t key = d.has_header ? d.src : from_addr;
  if (d.kind == Kind::kMalformed) {
    // Garbage makes no row: its header bytes are as good as random.
    auto it = index_.find(key);
    if (it == index_.end()) return nullptr;
    AgentRow* row = &rows_[it->second];
    row->from_addr = from_addr;
    row->from_port = from_port;
    ++row->malformed;
    return row;
  }
  AgentRow* row = Admit(key);
  if (row == nullptr) {
    ++untracked_;
    return nullptr;
  }
  if (!row->reserved) {
    size_t i = static_cast<size_t>(row - rows_.data());
    Unlink(i);
    LinkNewest(i);
  }
  row->from_addr = from_addr;
  row->from_port = from_port;
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
  if (silence_ms_ == 0) {
    due_.clear();  // the periods were set to none
    return changed;
  }
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
  if (due_.empty() || silence_ms_ == 0) return -1;
  int64_t due = due_.front().live_ms + silence_ms_;
  if (grace_from_ms_ != INT64_MIN) due = std::max(due, grace_from_ms_ + silence_ms_);
  return due;
}

bool CAgentTable::InGrace(int64_t now_ms) const {
  // Subtracting INT64_MIN would overflow.
  return grace_from_ms_ != INT64_MIN && now_ms - grace_from_ms_ < silence_ms_;
}

AgentRow* CAgentTable::Admit(uint32_t addr) {
  auto it = index_.find(addr);
  if (it != index_.end()) return &rows_[it->second];
  size_t i = rows_.size();
  if (i < max_rows_) {
    rows_.emplace_back();
    older_.push_back(kNone);
    newer_.push_back(kNone);
  } else if (oldest_ != kNone) {
    // The row of the unreserved agent heard longest ago goes to the newcomer;
    // its silence entries go stale with it.
    i = oldest_;
    Unlink(i);
    index_.erase(rows_[i].addr);
    rows_[i] = AgentRow();
    ++recycled_;
  } else {
    return nullptr;
  }
  index_.emplace(addr, i);
  rows_[i].addr = addr;
  LinkNewest(i);
  return &rows_[i];
}

void CAgentTable::Unlink(size_t row) {
  size_t o = older_[row], n = newer_[row];
  if (o == kNone && n == kNone && oldest_ != row) return;  // not linked
  (o == kNone ? oldest_ : newer_[o]) = n;
  (n == kNone ? newest_ : older_[n]) = o;
  older_[row] = newer_[row] = kNone;
}

void CAgentTable::LinkNewest(size_t row) {
  older_[row] = newest_;
  newer_[row] = kNone;
  (newest_ == kNone ? oldest_ : newer_[newest_]) = row;
  newest_ = row;
}

}  // namespace coord
