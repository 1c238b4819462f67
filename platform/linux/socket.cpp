// UDP sockets with Winsock numbering.
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

#include "platform/linux/handles.h"

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

}  // namespace

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
  if (::bind(socket->fd(), addr, static_cast<socklen_t>(len)) != 0) {
    SetLastError(WsaFromErrno(errno));
    return kSOCKET_ERROR;
  }
  return 0;
}

int setsockopt(SOCKET s, int level, int name, const void* value, int len) {
  auto socket = Find(s);
  if (!socket) return kSOCKET_ERROR;
  if (::setsockopt(socket->fd(), level, name, value, static_cast<socklen_t>(len)) != 0) {
    SetLastError(WsaFromErrno(errno));
    return kSOCKET_ERROR;
  }
  return 0;
}

int recvfrom(SOCKET s, char* buffer, int len, int flags, sockaddr* from, socklen_t* fromLen) {
  auto socket = Find(s);
  if (!socket) return kSOCKET_ERROR;
  ssize_t n;
  do {
    // MSG_TRUNC answers the datagram's real length, so an oversized one is
    // refused as Winsock does instead of being cut silently.
    n = ::recvfrom(socket->fd(), buffer, static_cast<size_t>(len), flags | MSG_TRUNC, from,
                   fromLen);
  } while (n < 0 && errno == EINTR && !socket->closed());
  if (socket->closed()) {
    SetLastError(kWSAEINTR);
    return kSOCKET_ERROR;
  }
  if (n < 0) {
    SetLastError(WsaFromErrno(errno));
    return kSOCKET_ERROR;
  }
  if (n > len) {
    SetLastError(kWSAEMSGSIZE);
    return kSOCKET_ERROR;
  }
  return static_cast<int>(n);
}

int sendto(SOCKET s, const char* buffer, int len, int flags, const sockaddr* to, int toLen) {
  auto socket = Find(s);
  if (!socket) return kSOCKET_ERROR;
  ssize_t n;
  do {
    n = ::sendto(socket->fd(), buffer, static_cast<size_t>(len), flags | MSG_NOSIGNAL, to,
                 static_cast<socklen_t>(toLen));
  } while (n < 0 && errno == EINTR);
  if (n < 0) {
    SetLastError(WsaFromErrno(errno));
    return kSOCKET_ERROR;
  }
  return static_cast<int>(n);
}

int closesocket(SOCKET s) {
  if (!detail::Remove(static_cast<uintptr_t>(s))) {
    SetLastError(kWSAENOTSOCK);
    return kSOCKET_ERROR;
  }
  return 0;
}

}  // namespace plat
