// SPDX-License-Identifier: Apache-2.0
// The HTTP side: /metrics and the status page, served from the board on
// threads of their own so no client can hold up the datagram loop.
//
// httplib parses the requests and writes the answers, but a connection only
// reaches one of its workers with a whole request in hand: until then it
// waits in a room watched by one thread (epoll), costing a descriptor and no
// thread, so idle and slow clients cannot take the workers from a scrape.
// The room has a cap; when it is full the connection waiting longest without
// a byte goes first, then the one waiting longest. A connection gets
// kRequestMs for each whole request, and a worker spends at most kAnswerMs on
// one answer, so a client that reads slowly is cut off too.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <thread>

#include "Status.h"

namespace coord {

class CHttpFront;

class CMetricsServer {
 public:
  static constexpr int kWorkers = 4;
  // Connections held at once (waiting for a request or being answered).
  static constexpr size_t kMaxConnections = 512;
  static constexpr int64_t kRequestMs = 5000;
  static constexpr int64_t kAnswerMs = 10000;
  // A request's header and body together; longer ones are cut off.
  static constexpr size_t kMaxRequest = 16384;

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
  std::unique_ptr<CHttpFront> http_;
  std::thread thread_;
};

}  // namespace coord
