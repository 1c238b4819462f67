// SPDX-License-Identifier: Apache-2.0
#include "Hearing.h"

#include <algorithm>

namespace coord {

int64_t HearingWindowMs(int64_t silence_ms) { return silence_ms / 2; }

Hearing CountHearing(const CAgentTable& table, const std::vector<ServerMapping>& servers,
                     int64_t now_ms, const std::function<bool(uint32_t agent)>& taken_out) {
  Hearing h;
  int64_t since = now_ms - HearingWindowMs(table.SilenceMs());
  for (const ServerMapping& m : servers) {
    const AgentRow* r = table.Find(m.agent);
    if (r == nullptr) continue;  // never had a row: the table is full
    if (r->state == AgentState::kDown || (taken_out && taken_out(m.agent))) continue;
    ++h.expected;
    // Any valid report is hearing it, whatever counts as proof of life.
    int64_t last = std::max({r->last_alive_ms, r->last_load_ms, r->last_live_ms});
    if (last >= 0 && last >= since) ++h.heard;
  }
  return h;
}

bool FleetDeaf(const Hearing& h) { return h.heard * 10 < h.expected || h.expected == 0; }

}  // namespace coord
