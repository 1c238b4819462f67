// SPDX-License-Identifier: Apache-2.0
// The notification socket and the journal's native protocol.
#include "platform/linux/sdsocket.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace plat::detail {
namespace {

// Fills addr from a socket name ('@' for the abstract namespace); answers the
// address length, or 0 when the name does not fit or is not absolute.
socklen_t UnixAddress(std::string_view name, sockaddr_un* addr) {
  *addr = sockaddr_un{};
  addr->sun_family = AF_UNIX;
  if (name.size() < 2 || name.size() >= sizeof(addr->sun_path)) return 0;
  if (name[0] != '/' && name[0] != '@') return 0;
  std::memcpy(addr->sun_path, name.data(), name.size());
  if (name[0] == '@') addr->sun_path[0] = '\0';
  // An abstract name is exactly its bytes; a path carries its terminator.
  size_t length = offsetof(sockaddr_un, sun_path) + name.size() + (name[0] == '/' ? 1 : 0);
  return static_cast<socklen_t>(length);
}

// Sends data as one datagram to name; answers false with errno set.
bool SendDatagram(int fd, const sockaddr_un& addr, socklen_t length, const void* data,
                  size_t size) {
  ssize_t n;
  do n = ::sendto(fd, data, size, MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&addr), length);
  while (n < 0 && errno == EINTR);
  return n >= 0;
}

// The journal's way for entries bigger than a datagram: the entry in a sealed
// memory file, its descriptor passed in an otherwise empty datagram.
bool SendAsMemoryFile(int fd, const sockaddr_un& addr, socklen_t length, const std::string& data) {
  int memfd = ::memfd_create("keld4-journal", MFD_CLOEXEC | MFD_ALLOW_SEALING);
  if (memfd < 0) return false;
  bool ok =
      ::write(memfd, data.data(), data.size()) == static_cast<ssize_t>(data.size()) &&
      ::fcntl(memfd, F_ADD_SEALS, F_SEAL_SEAL | F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_WRITE) == 0;
  if (ok) {
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    msghdr msg{};
    msg.msg_name = const_cast<sockaddr_un*>(&addr);
    msg.msg_namelen = length;
    msg.msg_control = control;
    msg.msg_controllen = sizeof(control);
    cmsghdr* cmsg = CMSG_FIRSTHDR(&msg);
    cmsg->cmsg_level = SOL_SOCKET;
    cmsg->cmsg_type = SCM_RIGHTS;
    cmsg->cmsg_len = CMSG_LEN(sizeof(int));
    std::memcpy(CMSG_DATA(cmsg), &memfd, sizeof(int));
    ssize_t n;
    do n = ::sendmsg(fd, &msg, MSG_NOSIGNAL);
    while (n < 0 && errno == EINTR);
    ok = n >= 0;
  }
  int saved = errno;
  ::close(memfd);
  errno = saved;
  return ok;
}

}  // namespace

bool NotifyServiceManager(std::string_view text) {
  const char* name = std::getenv("NOTIFY_SOCKET");
  if (name == nullptr || *name == '\0') return false;
  sockaddr_un addr;
  socklen_t length = UnixAddress(name, &addr);
  if (length == 0) {
    errno = EAFNOSUPPORT;
    return false;
  }
  int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  bool ok = SendDatagram(fd, addr, length, text.data(), text.size());
  int saved = errno;
  ::close(fd);
  errno = saved;
  return ok;
}

std::string JournalSocketPath() {
  const char* path = std::getenv("KELD4_JOURNAL_SOCKET");
  return path != nullptr && *path != '\0' ? path : "/run/systemd/journal/socket";
}

std::string JournalDatagram(
    const std::vector<std::pair<std::string_view, std::string_view>>& fields) {
  std::string data;
  for (const auto& [key, value] : fields) {
    data += key;
    if (value.find('\n') == std::string_view::npos) {
      data += '=';
    } else {
      // KEY, newline, the value's length as 64-bit little endian, the value.
      data += '\n';
      uint64_t size = value.size();
      for (int i = 0; i < 8; ++i) data += static_cast<char>((size >> (8 * i)) & 0xFF);
    }
    data += value;
    data += '\n';
  }
  return data;
}

bool SendToJournal(const std::vector<std::pair<std::string_view, std::string_view>>& fields) {
  sockaddr_un addr;
  socklen_t length = UnixAddress(JournalSocketPath(), &addr);
  if (length == 0) {
    errno = EAFNOSUPPORT;
    return false;
  }
  int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  std::string data = JournalDatagram(fields);
  bool ok = SendDatagram(fd, addr, length, data.data(), data.size());
  if (!ok && (errno == EMSGSIZE || errno == ENOBUFS)) ok = SendAsMemoryFile(fd, addr, length, data);
  int saved = errno;
  ::close(fd);
  errno = saved;
  return ok;
}

}  // namespace plat::detail
