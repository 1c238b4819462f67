// SPDX-License-Identifier: Apache-2.0
// UDP sockets with Winsock numbering.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

#include "platform/common/handles.h"
#include "platform/linux/errors.h"

namespace plat {
namespace {

class Socket : public detail::Object {
 public:
  explicit Socket(int fd) : fd_(fd) {}
  ~Socket() override { ::close(fd_); }
  // Wakes a thread blocked in recvfrom; the descriptor itself is released
  // only when the last call on it has returned.
  void close() override {
    closed_.store(true);
    ::shutdown(fd_, SHUT_RDWR);
  }
  int fd() const { return fd_; }
  bool closed() const { return closed_.load(); }

 private:
  const int fd_;
  std::atomic<bool> closed_{false};
};

// Winsock numbers where they differ from the file-system ones.
DWORD WsaFromErrno(int err) {
  switch (err) {
    case EACCES:
    case EPERM: return kWSAEACCES;
    case EINVAL: return kWSAEINVAL;
    case EBADF: return kWSAEBADF;
    case EMFILE:
    case ENFILE: return kWSAEMFILE;
    default: return Win32FromErrno(err);
  }
}

std::shared_ptr<Socket> Find(SOCKET s) {
  auto socket = detail::LookupAs<Socket>(static_cast<uintptr_t>(s));
  if (!socket) SetLastError(kWSAENOTSOCK);
  return socket;
}

// The contract's records share the BSD layout; the family field is 16 bits
// on both.
static_assert(sizeof(plat::sockaddr_in) == sizeof(::sockaddr_in));
const ::sockaddr* Native(const sockaddr* a) { return reinterpret_cast<const ::sockaddr*>(a); }
::sockaddr* Native(sockaddr* a) { return reinterpret_cast<::sockaddr*>(a); }

}  // namespace

int inet_pton(int af, const char* text, void* address) {
  if (af != kAF_INET) return 0;
  return ::inet_pton(AF_INET, text, address) == 1 ? 1 : 0;
}

const char* inet_ntop(int af, const void* address, char* text, ULONG size) {
  if (af != kAF_INET) return nullptr;
  return ::inet_ntop(AF_INET, address, text, static_cast<socklen_t>(size));
}

ULONG inet_addr(const char* text) { return ::inet_addr(text); }

int WSAStartup(WORD version, WSADATA* data) {
  if (data) {
    data->wVersion = version;
    data->wHighVersion = kMAKEWORD(2, 2);
  }
  return 0;
}

int WSACleanup() { return 0; }

SOCKET socket(int af, int type, int protocol) {
  int fd = ::socket(af, type | SOCK_CLOEXEC, protocol);
  if (fd < 0) {
    SetLastError(WsaFromErrno(errno));
    return kINVALID_SOCKET;
  }
  return static_cast<SOCKET>(detail::Insert(std::make_shared<Socket>(fd)));
}

int bind(SOCKET s, const sockaddr* addr, int len) {
  auto socket = Find(s);
  if (!socket) return kSOCKET_ERROR;
  if (::bind(socket->fd(), Native(addr), static_cast<socklen_t>(len)) != 0) {
    SetLastError(WsaFromErrno(errno));
    return kSOCKET_ERROR;
  }
  return 0;
}

int setsockopt(SOCKET s, int level, int name, const void* value, int len) {
  auto socket = Find(s);
  if (!socket) return kSOCKET_ERROR;
  // Winsock numbers the level and the option differently.
  if (level != kSOL_SOCKET || name != kSO_BROADCAST) {
    SetLastError(kWSAEINVAL);
    return kSOCKET_ERROR;
  }
  if (::setsockopt(socket->fd(), SOL_SOCKET, SO_BROADCAST, value, static_cast<socklen_t>(len)) !=
      0) {
    SetLastError(WsaFromErrno(errno));
    return kSOCKET_ERROR;
  }
  return 0;
}

int recvfrom(SOCKET s, char* buffer, int len, int flags, sockaddr* from, int* fromLen) {
  auto socket = Find(s);
  if (!socket) return kSOCKET_ERROR;
  socklen_t length = fromLen ? static_cast<socklen_t>(*fromLen) : 0;
  ssize_t n;
  do {
    // MSG_TRUNC answers the datagram's real length, so an oversized one is
    // refused as Winsock does instead of being cut silently.
    n = ::recvfrom(socket->fd(), buffer, static_cast<size_t>(len), flags | MSG_TRUNC, Native(from),
                   fromLen ? &length : nullptr);
  } while (n < 0 && errno == EINTR && !socket->closed());
  if (socket->closed()) {
    SetLastError(kWSAEINTR);
    return kSOCKET_ERROR;
  }
  if (n < 0) {
    SetLastError(WsaFromErrno(errno));
    return kSOCKET_ERROR;
  }
  if (fromLen) *fromLen = static_cast<int>(length);
  if (n > len) {
    SetLastError(kWSAEMSGSIZE);
    return kSOCKET_ERROR;
  }
  return static_cast<int>(n);
}

int getsockname(SOCKET s, sockaddr* name, int* nameLen) {
  auto socket = Find(s);
  if (!socket) return kSOCKET_ERROR;
  socklen_t length = static_cast<socklen_t>(*nameLen);
  if (::getsockname(socket->fd(), Native(name), &length) != 0) {
    SetLastError(WsaFromErrno(errno));
    return kSOCKET_ERROR;
  }
  *nameLen = static_cast<int>(length);
  return 0;
}

int sendto(SOCKET s, const char* buffer, int len, int flags, const sockaddr* to, int toLen) {
  auto socket = Find(s);
  if (!socket) return kSOCKET_ERROR;
  ssize_t n;
  do {
    n = ::sendto(socket->fd(), buffer, static_cast<size_t>(len), flags | MSG_NOSIGNAL, Native(to),
                 static_cast<socklen_t>(toLen));
  } while (n < 0 && errno == EINTR);
  if (n < 0) {
    SetLastError(WsaFromErrno(errno));
    return kSOCKET_ERROR;
  }
  return static_cast<int>(n);
}

}  // namespace plat
