// SPDX-License-Identifier: Apache-2.0
// The snapshot in the Prometheus text format.
#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "Status.h"

namespace coord {

// Every family is declared even when it has no series yet, so dashboards and
// rules can be checked against one scrape.
std::string MetricsText(const CoordinatorStatus& s);

// The same text in pieces of at most about a thousand series, so it can be
// sent as it is made.
void WriteMetrics(const CoordinatorStatus& s, const std::function<void(std::string_view)>& out);

}  // namespace coord
