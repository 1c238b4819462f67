// SPDX-License-Identifier: Apache-2.0
// The nftables table as a driver. The table has no state of its own beyond
// the weights, so the driver keeps each server's weight and state as it was
// told, answers the balancer's readings from that, and turns a batch of
// changes into one write of the table, a server out of service (drain,
// maint) counting as weight 0.
//
// Its dialogue, which the events and a dry run show:
//   get weight SERVICE/SERVER           -> "W (initial M)"
//   show servers SERVICE                -> one "SERVICE SERVER ADMIN WEIGHT" line a server
//   set weight SERVICE/SERVER W         -> ""
//   set state SERVICE/SERVER ready|drain|maint -> ""
// A name the service file does not have is answered "No such server." (or
// "No such service.").
#pragma once

#include <memory>

#include "Driver.h"

namespace coord {

// dry: nothing reaches the kernel; the dialogue is answered all the same.
std::unique_ptr<CDriver> MakeNftDriver(const DriverSpec& setup, bool dry);

// How often the table is checked for someone else's change, so a flushed
// ruleset or a deleted table is back well within a second.
constexpr int64_t kNftCheckMs = 250;

}  // namespace coord
