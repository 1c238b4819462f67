// SPDX-License-Identifier: Apache-2.0
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>

#include "platform/platform.h"
#include "tests/support/TestSupport.h"

using namespace plat;

namespace {

// A datagram socket standing in for one of systemd's; name is a path or an
// '@' abstract name.
class StandIn {
 public:
  explicit StandIn(const std::string& name) {
    fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, name.data(), name.size());
    if (name[0] == '@') addr.sun_path[0] = '\0';
    socklen_t length = offsetof(sockaddr_un, sun_path) + name.size() + (name[0] == '@' ? 0 : 1);
    EXPECT_EQ(::bind(fd_, reinterpret_cast<::sockaddr*>(&addr), length), 0) << std::strerror(errno);
    timeval timeout{5, 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout));
  }
  ~StandIn() { ::close(fd_); }

  // One datagram; a descriptor passed with it is read whole instead.
  std::string receive() {
    std::string data(1 << 16, '\0');
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    iovec iov{data.data(), data.size()};
    msghdr msg{};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof(control);
    ssize_t n = ::recvmsg(fd_, &msg, 0);
    if (n < 0) return "<nothing>";
    data.resize(static_cast<size_t>(n));
    cmsghdr* cmsg = CMSG_FIRSTHDR(&msg);
    if (cmsg != nullptr && cmsg->cmsg_type == SCM_RIGHTS) {
      int fd;
      std::memcpy(&fd, CMSG_DATA(cmsg), sizeof(fd));
      data.clear();
      char buffer[4096];
      for (ssize_t r;
           (r = ::pread(fd, buffer, sizeof(buffer), static_cast<off_t>(data.size()))) > 0;)
        data.append(buffer, static_cast<size_t>(r));
      ::close(fd);
    }
    return data;
  }

 private:
  int fd_ = -1;
};

// Splits a native journal entry into its fields, both the KEY=VALUE form and
// the length-prefixed one.
std::map<std::string, std::string> Fields(const std::string& data) {
  std::map<std::string, std::string> fields;
  size_t at = 0;
  while (at < data.size()) {
    size_t eol = data.find('\n', at);
    if (eol == std::string::npos) break;
    size_t eq = data.find('=', at);
    if (eq != std::string::npos && eq < eol) {
      fields[data.substr(at, eq - at)] = data.substr(eq + 1, eol - eq - 1);
      at = eol + 1;
      continue;
    }
    std::string key = data.substr(at, eol - at);
    uint64_t size = 0;
    for (int i = 0; i < 8; ++i)
      size |= static_cast<uint64_t>(static_cast<unsigned char>(data[eol + 1 + i])) << (8 * i);
    fields[key] = data.substr(eol + 9, size);
    EXPECT_EQ(data[eol + 9 + size], '\n');
    at = eol + 10 + size;
  }
  return fields;
}

class ScopedEnv {
 public:
  ScopedEnv(const char* name, const std::string& value) : name_(name) {
    ::setenv(name, value.c_str(), 1);
  }
  ~ScopedEnv() { ::unsetenv(name_); }

 private:
  const char* name_;
};

}  // namespace

TEST(Journal, EventsAreNativeEntriesWithTheirFieldsWhateverTheirSize) {
  testsupport::TempDir dir;
  StandIn journal(dir.file("journal.sock"));
  ScopedEnv env("KELD4_JOURNAL_SOCKET", dir.file("journal.sock"));
  HANDLE source = RegisterEventSourceA(nullptr, "keld4");
  ASSERT_NE(source, nullptr);

  const char* one[1] = {"KELD4 service started"};
  EXPECT_TRUE(
      ReportEventA(source, kEVENTLOG_ERROR_TYPE, 0, 0xC0000011, nullptr, 1, 0, one, nullptr));
  auto fields = Fields(journal.receive());
  EXPECT_EQ(fields["MESSAGE"], "KELD4 service started");
  EXPECT_EQ(fields["PRIORITY"], "3");
  EXPECT_EQ(fields["SYSLOG_IDENTIFIER"], "keld4");
  EXPECT_EQ(fields["KELD4_EVENT_ID"], "0xC0000011");
  EXPECT_EQ(fields["KELD4_EVENT_TYPE"], "error");

  // A newline in the text must not end the field early.
  const char* two[2] = {"first line\nsecond=line", "end"};
  EXPECT_TRUE(
      ReportEventA(source, kEVENTLOG_WARNING_TYPE, 0, 0x80000002, nullptr, 2, 0, two, nullptr));
  fields = Fields(journal.receive());
  EXPECT_EQ(fields["MESSAGE"], "first line\nsecond=line end");
  EXPECT_EQ(fields["PRIORITY"], "4");
  EXPECT_EQ(fields["KELD4_EVENT_ID"], "0x80000002");

  // Bigger than a datagram may be: it travels in a memory file.
  std::string big(400 * 1024, 'x');
  const char* three[1] = {big.c_str()};
  EXPECT_TRUE(ReportEventA(source, kEVENTLOG_INFORMATION_TYPE, 0, 0x40000003, nullptr, 1, 0, three,
                           nullptr));
  fields = Fields(journal.receive());
  EXPECT_EQ(fields["MESSAGE"].size(), big.size());
  EXPECT_EQ(fields["PRIORITY"], "6");
  EXPECT_TRUE(DeregisterEventSource(source));
}

TEST(Journal, WithoutAJournalTheReportStillSucceeds) {
  testsupport::TempDir dir;
  ScopedEnv env("KELD4_JOURNAL_SOCKET", dir.file("none.sock"));
  HANDLE source = RegisterEventSourceA(nullptr, "keld4");
  const char* one[1] = {"to syslog"};
  EXPECT_TRUE(
      ReportEventA(source, kEVENTLOG_INFORMATION_TYPE, 0, 0x40000003, nullptr, 1, 0, one, nullptr));
  EXPECT_TRUE(DeregisterEventSource(source));
}

TEST(NotifySocket, StatesReachAPathOrAnAbstractSocketAndFailWithoutOne) {
  SERVICE_STATUS_HANDLE handle = RegisterServiceCtrlHandlerA("keld4", [](DWORD) {});
  ASSERT_NE(handle, nullptr);
  SERVICE_STATUS status{};
  status.dwServiceType = kSERVICE_WIN32_OWN_PROCESS;

  ::unsetenv("NOTIFY_SOCKET");
  status.dwCurrentState = kSERVICE_RUNNING;
  EXPECT_FALSE(SetServiceStatus(handle, &status));

  testsupport::TempDir dir;
  std::string abstract = "@keld4-test-notify-" + std::to_string(::getpid());
  for (const std::string& name : {dir.file("notify.sock"), abstract}) {
    SCOPED_TRACE(name);
    StandIn notify(name);
    ScopedEnv env("NOTIFY_SOCKET", name);
    status.dwCurrentState = kSERVICE_RUNNING;
    EXPECT_TRUE(SetServiceStatus(handle, &status));
    EXPECT_EQ(notify.receive(), "READY=1\nSTATUS=Running");
    status.dwCurrentState = kSERVICE_STOPPED;
    status.dwWin32ExitCode = 1067;
    EXPECT_TRUE(SetServiceStatus(handle, &status));
    EXPECT_EQ(notify.receive(), "STATUS=Stopped\nEXIT_STATUS=1067");
  }
  // A name that is neither a path nor abstract is refused, not guessed at.
  ScopedEnv env("NOTIFY_SOCKET", "relative.sock");
  EXPECT_FALSE(SetServiceStatus(handle, &status));
}

TEST(Files, ADirectoryIsRefusedForWritingAndReading) {
  testsupport::TempDir dir;
  for (DWORD access : {kGENERIC_WRITE, kGENERIC_READ, kGENERIC_READ | kGENERIC_WRITE}) {
    SetLastError(0);
    EXPECT_EQ(CreateFileA(dir.path().c_str(), access, kFILE_SHARE_WRITE, nullptr, kOPEN_ALWAYS, 0,
                          nullptr),
              kINVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), kERROR_ACCESS_DENIED) << access;
  }
}
