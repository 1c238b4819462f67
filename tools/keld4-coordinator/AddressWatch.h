// SPDX-License-Identifier: Apache-2.0
// Whether an IPv4 address is assigned to one of this host's interfaces, with
// a netlink socket that wakes the caller as soon as addresses change (a
// virtual address that keepalived adds or removes).
#pragma once

#include <cstdint>

namespace coord {

class CAddressWatch {
 public:
  explicit CAddressWatch(uint32_t addr) : addr_(addr) {}
  ~CAddressWatch();
  CAddressWatch(const CAddressWatch&) = delete;
  CAddressWatch& operator=(const CAddressWatch&) = delete;

  // Subscribes to address changes; -1 when netlink is not available, and
  // then only the caller's periodic check notices a change.
  int Open();
  // The descriptor to poll for readability; -1 when there is none.
  int Fd() const { return fd_; }
  // Reads the pending notices; true when any arrived.
  bool Drain();
  // Whether the address is assigned here now.
  bool Held() const;

 private:
  uint32_t addr_;
  int fd_ = -1;
};

}  // namespace coord
