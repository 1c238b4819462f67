// SPDX-License-Identifier: Apache-2.0
// UDP sockets on Windows: Winsock behind the handle table, so a closed socket
// answers kWSAENOTSOCK and closing one wakes a thread blocked on it.
//
// A receive never blocks inside Winsock: the socket is non-blocking (event
// select) and a receive waits for its read event or the close event. Closing
// only sets the close event; the system socket lives until the last call on
// it has returned, so its number cannot be reused under a waiting receiver,
// and the woken receiver answers the contract's kWSAEINTR on every system
// (Windows and Wine differ in what a closesocket under recvfrom answers).
#include <atomic>
#include <cstdio>
#include <cstring>

#include "platform/win32/win32.h"

namespace plat {
namespace {

static_assert(sizeof(plat::sockaddr_in) == sizeof(::sockaddr_in));

class Socket : public detail::Object {
 public:
  Socket(::SOCKET s, ::WSAEVENT ready, ::WSAEVENT closed) : s_(s), ready_(ready), closed_(closed) {}
  ~Socket() override {
    ::closesocket(s_);
    ::WSACloseEvent(ready_);
    ::WSACloseEvent(closed_);
  }
  void close() override { ::WSASetEvent(closed_); }
  ::SOCKET get() const { return s_; }
  bool closed() const { return ::WaitForSingleObject(closed_, 0) == WAIT_OBJECT_0; }

  // Waits until data may be there or the socket is closed.
  void waitReadable() const {
    ::WSAEVENT events[2] = {closed_, ready_};
    ::WSAWaitForMultipleEvents(2, events, FALSE, WSA_INFINITE, FALSE);
  }
  // Called before each attempt: a readiness that comes after the attempt sets
  // the event again, so none is lost.
  void rearm() const { ::WSAResetEvent(ready_); }

 private:
  ::SOCKET s_;
  ::WSAEVENT ready_;
  ::WSAEVENT closed_;
};

std::shared_ptr<Socket> Find(SOCKET s) {
  auto socket = detail::LookupAs<Socket>(static_cast<uintptr_t>(s));
  if (!socket) SetLastError(kWSAENOTSOCK);
  return socket;
}

const ::sockaddr* Native(const sockaddr* a) { return reinterpret_cast<const ::sockaddr*>(a); }
::sockaddr* Native(sockaddr* a) { return reinterpret_cast<::sockaddr*>(a); }

}  // namespace

int inet_pton(int af, const char* text, void* address) {
  if (af != kAF_INET) return 0;
  // Windows takes leading zeros and fewer parts in some versions; the
  // contract wants exactly four decimal parts of at most three digits.
  int parts = 0, digits = 0;
  unsigned value = 0;
  BYTE bytes[4];
  for (const char* p = text;; ++p) {
    if (*p >= '0' && *p <= '9') {
      value = value * 10 + static_cast<unsigned>(*p - '0');
      if (++digits > 3 || value > 255) return 0;
    } else if (*p == '.' || *p == '\0') {
      if (digits == 0 || parts == 4) return 0;
      bytes[parts++] = static_cast<BYTE>(value);
      value = 0;
      digits = 0;
      if (*p == '\0') break;
    } else {
      return 0;
    }
  }
  if (parts != 4) return 0;
  std::memcpy(address, bytes, 4);
  return 1;
}

const char* inet_ntop(int af, const void* address, char* text, ULONG size) {
  if (af != kAF_INET) return nullptr;
  const auto* b = static_cast<const BYTE*>(address);
  char buffer[16];
  int n = std::snprintf(buffer, sizeof(buffer), "%u.%u.%u.%u", b[0], b[1], b[2], b[3]);
  if (n < 0 || static_cast<ULONG>(n) >= size) return nullptr;
  std::memcpy(text, buffer, static_cast<size_t>(n) + 1);
  return text;
}

ULONG inet_addr(const char* text) { return ::inet_addr(text); }

int WSAStartup(WORD version, WSADATA* data) {
  ::WSADATA d;
  int rc = ::WSAStartup(version, &d);
  if (rc != 0) {
    SetLastError(static_cast<DWORD>(rc));
    return rc;
  }
  if (data) {
    data->wVersion = d.wVersion;
    data->wHighVersion = d.wHighVersion;
  }
  return 0;
}

int WSACleanup() { return ::WSACleanup() == 0 ? 0 : (detail::KeepWsaError(), kSOCKET_ERROR); }

SOCKET socket(int af, int type, int protocol) {
  // Winsock must be started before the first socket; the count is per
  // process, so one start more than the agent asked for costs nothing.
  static const bool started = [] {
    ::WSADATA d;
    return ::WSAStartup(MAKEWORD(2, 2), &d) == 0;
  }();
  (void)started;
  ::SOCKET s = ::socket(af, type, protocol);
  if (s == INVALID_SOCKET) {
    detail::KeepWsaError();
    return kINVALID_SOCKET;
  }
  ::WSAEVENT ready = ::WSACreateEvent();
  ::WSAEVENT closed = ::WSACreateEvent();
  // Event select makes the socket non-blocking; calls wait on the events.
  if (ready == WSA_INVALID_EVENT || closed == WSA_INVALID_EVENT ||
      ::WSAEventSelect(s, ready, FD_READ) != 0) {
    detail::KeepWsaError();
    if (ready != WSA_INVALID_EVENT) ::WSACloseEvent(ready);
    if (closed != WSA_INVALID_EVENT) ::WSACloseEvent(closed);
    ::closesocket(s);
    return kINVALID_SOCKET;
  }
  // An ICMP port-unreachable answering an earlier sendto must not fail the
  // next recvfrom with WSAECONNRESET.
  if (type == kSOCK_DGRAM) {
    BOOL off = FALSE;
    ::DWORD returned = 0;
    ::WSAIoctl(s, SIO_UDP_CONNRESET, &off, sizeof(off), nullptr, 0, &returned, nullptr, nullptr);
  }
  return static_cast<SOCKET>(detail::Insert(std::make_shared<Socket>(s, ready, closed)));
}

int bind(SOCKET s, const sockaddr* addr, int len) {
  auto socket = Find(s);
  if (!socket) return kSOCKET_ERROR;
  if (::bind(socket->get(), Native(addr), len) != 0) {
    detail::KeepWsaError();
    return kSOCKET_ERROR;
  }
  return 0;
}

int setsockopt(SOCKET s, int level, int name, const void* value, int len) {
  auto socket = Find(s);
  if (!socket) return kSOCKET_ERROR;
  if (::setsockopt(socket->get(), level, name, static_cast<const char*>(value), len) != 0) {
    detail::KeepWsaError();
    return kSOCKET_ERROR;
  }
  return 0;
}

int recvfrom(SOCKET s, char* buffer, int len, int flags, sockaddr* from, int* fromLen) {
  auto socket = Find(s);
  if (!socket) return kSOCKET_ERROR;
  for (;;) {
    if (socket->closed()) {
      SetLastError(kWSAEINTR);
      return kSOCKET_ERROR;
    }
    socket->rearm();
    int n = ::recvfrom(socket->get(), buffer, len, flags, Native(from), fromLen);
    if (n != SOCKET_ERROR) return n;
    if (::WSAGetLastError() != WSAEWOULDBLOCK) {
      detail::KeepWsaError();
      return kSOCKET_ERROR;
    }
    socket->waitReadable();
  }
}

int getsockname(SOCKET s, sockaddr* name, int* nameLen) {
  auto socket = Find(s);
  if (!socket) return kSOCKET_ERROR;
  if (::getsockname(socket->get(), Native(name), nameLen) != 0) {
    detail::KeepWsaError();
    return kSOCKET_ERROR;
  }
  return 0;
}

int sendto(SOCKET s, const char* buffer, int len, int flags, const sockaddr* to, int toLen) {
  auto socket = Find(s);
  if (!socket) return kSOCKET_ERROR;
  for (;;) {
    int n = ::sendto(socket->get(), buffer, len, flags, Native(to), toLen);
    if (n != SOCKET_ERROR) return n;
    // A full send buffer: wait for room as a blocking socket would.
    if (::WSAGetLastError() != WSAEWOULDBLOCK) {
      detail::KeepWsaError();
      return kSOCKET_ERROR;
    }
    if (socket->closed()) {
      SetLastError(kWSAEINTR);
      return kSOCKET_ERROR;
    }
    // The read event is the receiver's: room to send is polled instead.
    ::fd_set writable;
    FD_ZERO(&writable);
    FD_SET(socket->get(), &writable);
    ::timeval tick{0, 10000};
    ::select(0, nullptr, &writable, nullptr, &tick);
  }
}

}  // namespace plat
