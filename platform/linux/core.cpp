// SPDX-License-Identifier: Apache-2.0
// Errors, message texts, the local clock, and small process calls.
#include <sys/utsname.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/common/handles.h"
#include "platform/linux/errors.h"
#include "platform/testing.h"

namespace plat {

const char kPathSeparator = '/';

DWORD Win32FromErrno(int err) {
  switch (err) {
    case 0: return kERROR_SUCCESS;
    case ENOENT: return kERROR_FILE_NOT_FOUND;
    case ENOTDIR: return kERROR_PATH_NOT_FOUND;
    case EMFILE:
    case ENFILE: return kERROR_TOO_MANY_OPEN_FILES;
    case EACCES:
    case EPERM:
    case EROFS: return kERROR_ACCESS_DENIED;
    case EBADF: return kERROR_INVALID_HANDLE;
    case ENOMEM: return kERROR_NOT_ENOUGH_MEMORY;
    case EXDEV: return kERROR_NOT_SAME_DEVICE;
    case EIO: return kERROR_WRITE_FAULT;
    case EBUSY: return kERROR_SHARING_VIOLATION;
    case ENOSPC: return kERROR_DISK_FULL;
    case EEXIST: return kERROR_ALREADY_EXISTS;
    case EINVAL: return kERROR_INVALID_PARAMETER;
    case EPIPE: return kERROR_NO_DATA;
    case ENAMETOOLONG: return kERROR_FILENAME_EXCED_RANGE;
    case ENOTEMPTY: return kERROR_DIR_NOT_EMPTY;
    case EISDIR: return kERROR_ACCESS_DENIED;
    case ENOSYS:
    case EOPNOTSUPP: return kERROR_NOT_SUPPORTED;
    case EINTR: return kWSAEINTR;
    case EAFNOSUPPORT: return kWSAEAFNOSUPPORT;
    case EPROTONOSUPPORT: return kWSAEPROTONOSUPPORT;
    case EADDRINUSE: return kWSAEADDRINUSE;
    case EADDRNOTAVAIL: return kWSAEADDRNOTAVAIL;
    case ENETDOWN: return kWSAENETDOWN;
    case ENETUNREACH: return kWSAENETUNREACH;
    case EHOSTUNREACH: return kWSAEHOSTUNREACH;
    case ECONNRESET:
    case ECONNREFUSED: return kWSAECONNRESET;
    case ENOBUFS: return kWSAENOBUFS;
    case ENOTCONN: return kWSAENOTCONN;
    case ENOTSOCK: return kWSAENOTSOCK;
    case EMSGSIZE: return kWSAEMSGSIZE;
    case EFAULT: return kWSAEFAULT;
    case EAGAIN: return kWSAEWOULDBLOCK;
    case ELOOP: return kERROR_CANT_RESOLVE_FILENAME;
    default: return kERROR_INVALID_FUNCTION;
  }
}

DWORD FormatSystemMessage(DWORD code, char* buffer, DWORD size) {
  // The texts Windows gives for the numbers the agent can meet.
  static const std::unordered_map<DWORD, const char*> texts = {
      {kERROR_SUCCESS, "The operation completed successfully."},
      {kERROR_INVALID_FUNCTION, "Incorrect function."},
      {kERROR_FILE_NOT_FOUND, "The system cannot find the file specified."},
      {kERROR_PATH_NOT_FOUND, "The system cannot find the path specified."},
      {kERROR_TOO_MANY_OPEN_FILES, "The system cannot open the file."},
      {kERROR_ACCESS_DENIED, "Access is denied."},
      {kERROR_INVALID_HANDLE, "The handle is invalid."},
      {kERROR_NOT_ENOUGH_MEMORY,
       "Not enough memory resources are available to process this command."},
      {kERROR_INVALID_DATA, "The data is invalid."},
      {kERROR_OUTOFMEMORY, "Not enough memory resources are available to complete this operation."},
      {kERROR_NOT_SAME_DEVICE, "The system cannot move the file to a different disk drive."},
      {kERROR_WRITE_FAULT, "The system cannot write to the specified device."},
      {kERROR_SHARING_VIOLATION,
       "The process cannot access the file because it is being used by another process."},
      {kERROR_HANDLE_DISK_FULL, "The disk is full."},
      {kERROR_NOT_SUPPORTED, "The request is not supported."},
      {kERROR_FILE_EXISTS, "The file exists."},
      {kERROR_INVALID_PARAMETER, "The parameter is incorrect."},
      {kERROR_BROKEN_PIPE, "The pipe has been ended."},
      {kERROR_BUFFER_OVERFLOW, "The file name is too long."},
      {kERROR_DISK_FULL, "There is not enough space on the disk."},
      {kERROR_INSUFFICIENT_BUFFER, "The data area passed to a system call is too small."},
      {kERROR_INVALID_NAME, "The filename, directory name, or volume label syntax is incorrect."},
      {kERROR_DIR_NOT_EMPTY, "The directory is not empty."},
      {kERROR_ALREADY_EXISTS, "Cannot create a file when that file already exists."},
      {kERROR_FILENAME_EXCED_RANGE, "The filename or extension is too long."},
      {kERROR_NO_DATA, "The pipe is being closed."},
      {kERROR_CANT_RESOLVE_FILENAME, "The name of the file cannot be resolved by the system."},
      {kERROR_MORE_DATA, "More data is available."},
      {kERROR_NO_MORE_ITEMS, "No more data is available."},
      {kERROR_BADDB, "The configuration registry database is corrupt."},
      {kERROR_BADKEY, "The configuration registry key is invalid."},
      {kERROR_CANTOPEN, "The configuration registry key could not be opened."},
      {kERROR_CANTREAD, "The configuration registry key could not be read."},
      {kERROR_CANTWRITE, "The configuration registry key could not be written."},
      {kERROR_REGISTRY_CORRUPT, "The registry is corrupted."},
      {kERROR_KEY_DELETED,
       "Illegal operation attempted on a registry key that has been marked for deletion."},
      {kERROR_SERVICE_DOES_NOT_EXIST,
       "The specified service does not exist as an installed service."},
      {kERROR_FAILED_SERVICE_CONTROLLER_CONNECT,
       "The service process could not connect to the service controller."},
      {kERROR_INVALID_THREAD_ID, "Invalid thread identifier."},
      {kERROR_NOT_ENOUGH_QUOTA, "Not enough quota is available to process this command."},
      {kWSAEINTR, "A blocking operation was interrupted by a call to WSACancelBlockingCall."},
      {kWSAEACCES,
       "An attempt was made to access a socket in a way forbidden by its access permissions."},
      {kWSAEINVAL, "An invalid argument was supplied."},
      {kWSAEMFILE, "Too many open sockets."},
      {kWSAENOTSOCK, "An operation was attempted on something that is not a socket."},
      {kWSAEMSGSIZE,
       "A message sent on a datagram socket was larger than the internal message buffer or some "
       "other network limit, or the buffer used to receive a datagram into was smaller than the "
       "datagram itself."},
      {kWSAEADDRINUSE,
       "Only one usage of each socket address (protocol/network address/port) is normally "
       "permitted."},
      {kWSAEADDRNOTAVAIL, "The requested address is not valid in its context."},
      {kWSAENETUNREACH, "A socket operation was attempted to an unreachable network."},
      {kWSAECONNRESET, "An existing connection was forcibly closed by the remote host."},
      {kWSAENOBUFS,
       "An operation on a socket could not be performed because the system lacked sufficient "
       "buffer space or because a queue was full."},
      {kWSAEHOSTUNREACH, "A socket operation was attempted to an unreachable host."},
  };
  if (buffer == nullptr || size == 0) return 0;
  auto it = texts.find(code);
  if (it == texts.end()) {
    buffer[0] = '\0';
    return 0;
  }
  int n = std::snprintf(buffer, size, "%s\r\n", it->second);
  if (n < 0) {
    buffer[0] = '\0';
    return 0;
  }
  return static_cast<DWORD>(n < static_cast<int>(size) ? n : static_cast<int>(size) - 1);
}

void ExitProcess(UINT code) {
  std::fflush(nullptr);
  _exit(static_cast<int>(code & 0xFF));
}

DWORD GetCurrentProcessId() { return static_cast<DWORD>(getpid()); }

// ---------------------------------------------------------------- time
namespace {
constexpr ULONGLONG kUnixEpochAsFileTime = 116444736000000000ULL;
}

ULONGLONG detail::SystemLocalFileTime() {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  tm local{};
  localtime_r(&ts.tv_sec, &local);
  int64_t localSeconds = static_cast<int64_t>(ts.tv_sec) + local.tm_gmtoff;
  return kUnixEpochAsFileTime + static_cast<ULONGLONG>(localSeconds) * 10000000ULL +
         static_cast<ULONGLONG>(ts.tv_nsec) / 100;
}

// ---------------------------------------------------------------- thread exit
namespace {
// glibc's native TLS keeps a thread's storage until its thread_local
// destructors have run.
struct ExitHooks {
  std::vector<std::pair<void (*)(void*), void*>> hooks;
  ~ExitHooks() {
    for (auto& hook : hooks) hook.first(hook.second);
  }
};
thread_local ExitHooks t_exitHooks;
}  // namespace

void detail::AtThreadExit(void (*fn)(void* arg), void* arg) {
  t_exitHooks.hooks.emplace_back(fn, arg);
}

// ---------------------------------------------------------------- host facts
UINT GetWindowsDirectoryA(char* buffer, UINT size) {
  static const char kDir[] = "/var/log";
  if (size < sizeof(kDir)) return sizeof(kDir);
  std::memcpy(buffer, kDir, sizeof(kDir));
  return sizeof(kDir) - 1;
}

DWORD GetModuleFileNameA(void* /*module*/, char* buffer, DWORD size) {
  if (size == 0) return 0;
  ssize_t n = readlink("/proc/self/exe", buffer, size - 1);
  if (n < 0) {
    SetLastError(Win32FromErrno(errno));
    buffer[0] = '\0';
    return 0;
  }
  buffer[n] = '\0';
  return static_cast<DWORD>(n);
}

BOOL GetVersionExA(OSVERSIONINFOEXA* info) {
  if (info == nullptr || (info->dwOSVersionInfoSize != 156 && info->dwOSVersionInfoSize != 148)) {
    SetLastError(kERROR_INSUFFICIENT_BUFFER);
    return kFALSE;
  }
  utsname u{};
  if (uname(&u) != 0) {
    SetLastError(Win32FromErrno(errno));
    return kFALSE;
  }
  // "6.1.0-28-amd64": the leading numbers, each stopping at the first non-digit.
  unsigned long parts[3] = {0, 0, 0};
  const char* p = u.release;
  for (unsigned long& part : parts) {
    char* end = nullptr;
    part = std::strtoul(p, &end, 10);
    if (end == p || *end != '.') break;
    p = end + 1;
  }
  DWORD major = static_cast<DWORD>(parts[0]), minor = static_cast<DWORD>(parts[1]),
        build = static_cast<DWORD>(parts[2]);
  info->dwMajorVersion = major;
  info->dwMinorVersion = minor;
  info->dwBuildNumber = build;
  info->dwPlatformId = 0;  // not the NT family
  std::snprintf(info->szCSDVersion, sizeof(info->szCSDVersion), "%s", u.sysname);
  return kTRUE;
}

}  // namespace plat

namespace {
// A peer that went away must not kill the process through SIGPIPE.
const bool g_ignoreSigpipe = [] {
  std::signal(SIGPIPE, SIG_IGN);
  return true;
}();
}  // namespace
