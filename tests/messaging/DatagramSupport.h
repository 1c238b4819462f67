// SPDX-License-Identifier: Apache-2.0
// Shared pieces of the datagram tests: loopback UDP peers, a stand-in master thread with a real
// queue, and worker threads that can always be brought to an end.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "messaging/Message.h"
#include "platform/platform.h"
#include "tests/support/LogSupport.h"
#include "tests/support/TestSupport.h"

namespace dgram {

using testsupport::LogCapture;

// The 40 header bytes as they are on the wire (numeric fields big-endian,
// addresses as given in dotted text).
struct WireFields {
  uint32_t desId = 4;
  uint32_t type = MSG_ALIVE;
  uint32_t status = 0;
  uint32_t sequence = 0;
  uint32_t dataleng = 0;
  uint32_t id = COORDINATOR_ID;
  const char* srcAddr = "127.0.0.1";
  const char* desAddr = "127.0.0.1";
  uint32_t param = 0;
  uint32_t reserved = 0;
};
std::string WireHeader(const WireFields& f);
// A header as the master holds it: numeric fields in host order.
MsgHeader HostHeader(const WireFields& f);
std::string Bytes(const void* p, size_t n);
std::string Hex(const std::string& bytes);
uint32_t Addr(const char* dotted);

// A UDP socket of the platform layer for the test's side of the wire. A
// thread of its own, started by the first Receive, takes the datagrams in as
// they come (the layer has no wait with a time limit); closing the socket
// ends it.
class UdpPeer {
 public:
  UdpPeer();
  ~UdpPeer();
  UdpPeer(const UdpPeer&) = delete;
  UdpPeer& operator=(const UdpPeer&) = delete;
  // Binds to address:port (port 0 picks one). False on failure.
  bool Bind(const char* address, uint16_t port);
  uint16_t port() const;
  void EnableBroadcast();
  // Sends to address:port; answers sendto's result (the error in
  // plat::WSAGetLastError()).
  long SendTo(const std::string& bytes, const char* address, uint16_t port);
  // One datagram within the time, or false.
  bool Receive(std::string* bytes, int timeoutMs);

 private:
  static plat::DWORD ReceiveLoop(void* self);
  const plat::SOCKET socket_;
  std::mutex lock_;
  std::condition_variable arrived_;
  std::deque<std::string> datagrams_;
  plat::HANDLE receiver_ = nullptr;
};

// A UDP port on INADDR_ANY that was free a moment ago.
uint16_t FreePort();

// A thread with a real message queue standing in for the master. It counts
// WM_MSG_ARRIVED and records every message it gets.
class MasterStandIn {
 public:
  // queueDelayMs > 0: the thread exists at once but makes its queue only
  // after that time; kNever: it never makes one.
  static constexpr plat::DWORD kNever = 0xFFFFFFFF;
  explicit MasterStandIn(plat::DWORD queueDelayMs = 0);
  ~MasterStandIn();
  MasterStandIn(const MasterStandIn&) = delete;
  MasterStandIn& operator=(const MasterStandIn&) = delete;

  plat::DWORD id() const { return id_; }
  int Arrived() const;
  bool WaitArrived(int count, int timeoutMs) const;
  std::vector<plat::MSG> Messages() const;

 private:
  static plat::DWORD Run(void* self);
  plat::HANDLE thread_ = nullptr;
  plat::DWORD id_ = 0;
  const plat::DWORD delay_;
  std::atomic<bool> quit_{false};
  mutable std::mutex lock_;
  mutable std::condition_variable changed_;
  std::vector<plat::MSG> messages_;
  bool ready_ = false;
};

// A thread running `body`; `unblock` is called on teardown if it still runs.
class Worker {
 public:
  Worker(std::function<int()> body, std::function<void()> unblock);
  ~Worker();
  Worker(const Worker&) = delete;
  Worker& operator=(const Worker&) = delete;
  bool WaitEnded(plat::DWORD ms);
  plat::DWORD ExitCode();

 private:
  static plat::DWORD Run(void* self);
  std::function<int()> body_;
  std::function<void()> unblock_;
  plat::HANDLE thread_ = nullptr;
};

// Reads one message (header, then dataleng bytes) from a pipe.
bool ReadPipeMessage(plat::HANDLE pipe, MsgHeader* header, std::string* data);
bool WritePipe(plat::HANDLE pipe, const void* bytes, size_t n);

// Waits until the log holds `count` lines that start with `prefix` (the
// worker writes one just before it blocks), then a little more so that the
// worker is really waiting.
bool WaitForLogLine(const LogCapture& log, const std::string& prefix, int count, int timeoutMs);

}  // namespace dgram
