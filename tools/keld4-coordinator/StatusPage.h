// SPDX-License-Identifier: Apache-2.0
// The status page: one self-contained HTML document, drawn on the server.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include "Status.h"

namespace coord {

struct PageQuery {
  std::string backend;    // "" the overview (everything, when the tier is small)
  bool unmapped = false;  // the agents that stand for no server
  size_t page = 0;
};

// Rows of one page; a page of one backend stays well under a megabyte.
constexpr size_t kPageRows = 200;

using HistoryOf = std::function<std::vector<CStatusBoard::Point>(size_t server)>;

std::string StatusPage(const CoordinatorStatus& s, const HistoryOf& history, const PageQuery& q);

}  // namespace coord
