// SPDX-License-Identifier: Apache-2.0
// How much of its fleet the coordinator hears: the silence valve's look at the
// whole fleet. Silence drains a server because its agent stopped reporting;
// when nearly every agent stops at once, the likelier cause is the
// coordinator's own deafness (its link, its switch port, a partition), and
// draining for it would take the site down.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "AgentTable.h"
#include "ServerMap.h"

namespace coord {

struct Hearing {
  size_t expected = 0;  // mapped agents counted on: not down, not taken out for silence
  size_t heard = 0;     // of those, heard within the window
};

// An agent that reports is heard at least once a report period, a third of
// the silence period. When the coordinator goes deaf, the first agent turns
// silent a full silence period after its last report, and by then every
// other agent has been unheard for at least two report periods. Half the
// silence period lies between the two, so one late or lost report does not
// make an agent unheard, and a deaf coordinator hears nobody.
int64_t HearingWindowMs(int64_t silence_ms);

// The mapped agents' hearing as of now_ms. Agents whose server was taken out
// for silence (taken_out) were judged before and are not counted on; those
// held silent in service are, so that a long deafness does not end by itself
// as its verdicts come in.
Hearing CountHearing(const CAgentTable& table, const std::vector<ServerMapping>& servers,
                     int64_t now_ms, const std::function<bool(uint32_t agent)>& taken_out);

// "None or almost none": fewer than one in ten of the agents counted on were
// heard lately (so none at all in a fleet of up to ten). A cut-off
// coordinator hears none; one that still hears a tenth of its fleet hears
// real silences, which the valve of each backend judges.
bool FleetDeaf(const Hearing& h);

}  // namespace coord
