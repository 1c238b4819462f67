// The snapshot in the Prometheus text format.
#pragma once

#include <string>

#include "Status.h"

namespace coord {

// Every family is declared even when it has no series yet, so dashboards and
// rules can be checked against one scrape.
std::string MetricsText(const CoordinatorStatus& s);

}  // namespace coord
