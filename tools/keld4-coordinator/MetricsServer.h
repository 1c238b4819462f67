// SPDX-License-Identifier: Apache-2.0
// The HTTP side: /metrics and the status page, served from the board on
// threads of their own so no client can hold up the datagram loop.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <thread>

#include "Status.h"

namespace httplib {
class Server;
}

namespace coord {

class CMetricsServer {
 public:
  static constexpr int kWorkers = 4;
  // Accepted connections waiting for a worker; beyond that accepting pauses
  // and the kernel's backlog holds (or refuses) the rest.
  static constexpr size_t kQueued = 16;
  static constexpr int kTimeoutS = 5;

  explicit CMetricsServer(const CStatusBoard& board);
  ~CMetricsServer();
  CMetricsServer(const CMetricsServer&) = delete;
  CMetricsServer& operator=(const CMetricsServer&) = delete;

  // Binds addr:port; "" or the reason.
  std::string Bind(uint32_t addr, uint16_t port);
  void Start();
  void Stop();

 private:
  const CStatusBoard& board_;
  std::unique_ptr<httplib::Server> http_;
  std::thread thread_;
};

}  // namespace coord
