// SPDX-License-Identifier: Apache-2.0
#include "Liveness.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>

#include "Errors.h"

namespace coord {

CLiveness::~CLiveness() {
  if (notify_fd_ >= 0) close(notify_fd_);
  if (heartbeat_fd_ >= 0) close(heartbeat_fd_);
}

std::string CLiveness::Open(const std::string& heartbeat) {
  const char* sock = std::getenv("NOTIFY_SOCKET");
  if (sock != nullptr && (sock[0] == '/' || sock[0] == '@') &&
      std::strlen(sock) < sizeof(sockaddr_un::sun_path)) {
    notify_ = sock;
    notify_fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  }
  // The watchdog is ours only when it names our process (or nobody).
  const char* usec = std::getenv("WATCHDOG_USEC");
  const char* pid = std::getenv("WATCHDOG_PID");
  if (usec != nullptr &&
      (pid == nullptr || std::strtol(pid, nullptr, 10) == static_cast<long>(getpid()))) {
    long long us = std::strtoll(usec, nullptr, 10);
    // Twice per period, so one late pass of the loop is not a missed ping.
    if (us > 0) watchdog_ms_ = std::max<long long>(us / 2000, 1);
  }
  if (heartbeat.empty()) return "";
  heartbeat_fd_ = open(heartbeat.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
  if (heartbeat_fd_ < 0) return ErrorText(errno);
  return "";
}

void CLiveness::Ready(int64_t now_ms) {
  Notify("READY=1");
  if (watchdog_ms_ > 0 && notify_fd_ >= 0) watchdog_due_ = now_ms;
  if (heartbeat_fd_ >= 0) heartbeat_due_ = now_ms;
  Beat(now_ms);
}

void CLiveness::Beat(int64_t now_ms) {
  if (watchdog_due_ >= 0 && now_ms >= watchdog_due_) {
    Notify("WATCHDOG=1");
    watchdog_due_ = now_ms + watchdog_ms_;
  }
  if (heartbeat_due_ >= 0 && now_ms >= heartbeat_due_) {
    // The file's time is the news; a failure here is told by the check.
    futimens(heartbeat_fd_, nullptr);
    heartbeat_due_ = now_ms + kHeartbeatMs;
  }
}

int64_t CLiveness::NextDue() const {
  if (watchdog_due_ < 0) return heartbeat_due_;
  if (heartbeat_due_ < 0) return watchdog_due_;
  return std::min(watchdog_due_, heartbeat_due_);
}

void CLiveness::Stopping() {
  Notify("STOPPING=1");
  watchdog_due_ = -1;
  // The file stays: it ages past the check's limit soon enough, and a
  // restart quicker than that does not move the address.
  heartbeat_due_ = -1;
}

void CLiveness::Notify(const char* text) const {
  if (notify_fd_ < 0) return;
  sockaddr_un sa{};
  sa.sun_family = AF_UNIX;
  std::memcpy(sa.sun_path, notify_.data(), notify_.size());
  socklen_t len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + notify_.size());
  // An abstract address starts with a zero byte and is not zero-terminated.
  if (sa.sun_path[0] == '@') {
    sa.sun_path[0] = '\0';
  } else {
    ++len;
  }
  sendto(notify_fd_, text, std::strlen(text), MSG_NOSIGNAL, reinterpret_cast<sockaddr*>(&sa), len);
}

}  // namespace coord
