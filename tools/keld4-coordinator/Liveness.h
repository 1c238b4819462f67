// SPDX-License-Identifier: Apache-2.0
// Signs that the main loop still runs, for whoever watches the coordinator:
// systemd's watchdog (WATCHDOG=1 on $NOTIFY_SOCKET, as sd_notify does, with
// READY=1 once the sockets are bound) and a heartbeat file whose time is set
// again and again, for a health check such as keepalived's vrrp_script. Both
// come from the loop itself, so a stopped or hung loop stops them.
#pragma once

#include <cstdint>
#include <string>

namespace coord {

class CLiveness {
 public:
  // How often the heartbeat file's time is set.
  static constexpr int64_t kHeartbeatMs = 250;

  CLiveness() = default;
  ~CLiveness();
  CLiveness(const CLiveness&) = delete;
  CLiveness& operator=(const CLiveness&) = delete;

  // Reads $NOTIFY_SOCKET and $WATCHDOG_USEC, and makes the heartbeat file
  // ("" none). "" or the reason it cannot be made.
  std::string Open(const std::string& heartbeat);
  // The service is up (READY=1); the first beats go out.
  void Ready(int64_t now_ms);
  // Beats when one is due.
  void Beat(int64_t now_ms);
  // When the next beat is due; -1 with nothing to beat for.
  int64_t NextDue() const;
  // The service is ending: STOPPING=1, and no more beats.
  void Stopping();

 private:
  void Notify(const char* text) const;

  std::string notify_;  // the socket's address; "" without systemd
  int notify_fd_ = -1;
  int64_t watchdog_ms_ = 0;  // between two WATCHDOG=1; 0 none asked
  int64_t watchdog_due_ = -1;
  int heartbeat_fd_ = -1;
  int64_t heartbeat_due_ = -1;
};

}  // namespace coord
