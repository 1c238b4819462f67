// SPDX-License-Identifier: Apache-2.0
#include "AddressWatch.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

namespace coord {

CAddressWatch::~CAddressWatch() {
  if (fd_ >= 0) close(fd_);
}

int CAddressWatch::Open() {
  fd_ = socket(AF_NETLINK, SOCK_RAW | SOCK_NONBLOCK | SOCK_CLOEXEC, NETLINK_ROUTE);
  if (fd_ < 0) return -1;
  sockaddr_nl sa{};
  sa.nl_family = AF_NETLINK;
  sa.nl_groups = RTMGRP_IPV4_IFADDR;
  if (bind(fd_, reinterpret_cast<sockaddr*>(&sa), sizeof(sa)) != 0) {
    close(fd_);
    fd_ = -1;
    return -1;
  }
  return 0;
}

bool CAddressWatch::Drain() {
  if (fd_ < 0) return false;
  bool any = false;
  char buf[8192];
  // The notices only say that something changed; Held() looks at the whole
  // state, so an overflowed queue (ENOBUFS) loses nothing either.
  for (;;) {
    ssize_t n = recv(fd_, buf, sizeof(buf), 0);
    if (n > 0) {
      any = true;
      continue;
    }
    if (n < 0 && errno == ENOBUFS) {
      any = true;
      continue;
    }
    return any;
  }
}

bool CAddressWatch::Held() const {
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return false;
  bool held = false;
  for (ifaddrs* i = list; i != nullptr && !held; i = i->ifa_next) {
    if (i->ifa_addr == nullptr || i->ifa_addr->sa_family != AF_INET) continue;
    const auto* in = reinterpret_cast<const sockaddr_in*>(i->ifa_addr);
    held = ntohl(in->sin_addr.s_addr) == addr_;
  }
  freeifaddrs(list);
  return held;
}

}  // namespace coord
