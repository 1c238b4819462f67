// SPDX-License-Identifier: Apache-2.0
// Files: CreateFileA and friends over POSIX descriptors.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>

#include "platform/common/handles.h"
#include "platform/linux/errors.h"

namespace plat {
namespace {

class File : public detail::Stream {
 public:
  explicit File(int fd) : fd_(fd) {}
  ~File() override { ::close(fd_); }
  int fd() const { return fd_; }

  BOOL read(void* buffer, DWORD toRead, DWORD* read) override {
    ssize_t n;
    do n = ::read(fd_, buffer, toRead);
    while (n < 0 && errno == EINTR);
    if (n < 0) {
      SetLastError(Win32FromErrno(errno));
      if (read) *read = 0;
      return kFALSE;
    }
    if (read) *read = static_cast<DWORD>(n);
    return kTRUE;
  }

  BOOL write(const void* buffer, DWORD toWrite, DWORD* written) override {
    const char* p = static_cast<const char*>(buffer);
    DWORD done = 0;
    while (done < toWrite) {
      ssize_t n = ::write(fd_, p + done, toWrite - done);
      if (n < 0) {
        if (errno == EINTR) continue;
        SetLastError(Win32FromErrno(errno));
        if (written) *written = done;
        return kFALSE;
      }
      done += static_cast<DWORD>(n);
    }
    if (written) *written = done;
    return kTRUE;
  }

 private:
  int fd_;
};

// Whether the folder a path names its file in exists, as Windows tells a
// missing folder (path not found) from a missing file.
bool ParentExists(const char* path) {
  std::string p(path);
  size_t slash = p.find_last_of('/');
  if (slash == std::string::npos) return true;
  std::string dir = p.substr(0, slash == 0 ? 1 : slash);
  struct stat st {};
  return ::stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace

HANDLE CreateFileA(const char* path, DWORD access, DWORD /*share*/, void* /*security*/,
                   DWORD disposition, DWORD flags, HANDLE /*templ*/) {
  int openFlags = O_CLOEXEC;
  if ((flags & kFILE_FLAG_NO_LINK) != 0) openFlags |= O_NOFOLLOW;
  bool readAccess = (access & kGENERIC_READ) != 0;
  bool writeAccess = (access & kGENERIC_WRITE) != 0;
  openFlags |= readAccess && writeAccess ? O_RDWR : (writeAccess ? O_WRONLY : O_RDONLY);
  switch (disposition) {
    case kCREATE_NEW: openFlags |= O_CREAT | O_EXCL; break;
    case kCREATE_ALWAYS: openFlags |= O_CREAT | O_TRUNC; break;
    case kOPEN_EXISTING: break;
    case kOPEN_ALWAYS: openFlags |= O_CREAT; break;
    default: SetLastError(kERROR_INVALID_PARAMETER); return kINVALID_HANDLE_VALUE;
  }
  int fd;
  do fd = ::open(path, openFlags, 0644);
  while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    int e = errno;
    SetLastError(e == ENOENT && !ParentExists(path) ? kERROR_PATH_NOT_FOUND : Win32FromErrno(e));
    return kINVALID_HANDLE_VALUE;
  }
  // A directory opened for writing already failed above (EISDIR); only a
  // read-only open can land on one, so only that open pays for the check.
  struct stat st {};
  if (!writeAccess && ::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
    ::close(fd);
    SetLastError(kERROR_ACCESS_DENIED);
    return kINVALID_HANDLE_VALUE;
  }
  return detail::ToHandle(detail::Insert(std::make_shared<File>(fd)));
}

DWORD SetFilePointer(HANDLE h, LONG distance, LONG* distanceHigh, DWORD method) {
  auto file = detail::LookupAs<File>(h);
  if (!file) return kINVALID_SET_FILE_POINTER;
  int64_t offset = distance;
  if (distanceHigh)
    offset = (static_cast<int64_t>(*distanceHigh) << 32) | static_cast<uint32_t>(distance);
  int whence = method == kFILE_BEGIN ? SEEK_SET : (method == kFILE_CURRENT ? SEEK_CUR : SEEK_END);
  off_t at = ::lseek(file->fd(), offset, whence);
  if (at < 0) {
    SetLastError(Win32FromErrno(errno));
    return kINVALID_SET_FILE_POINTER;
  }
  if (distanceHigh) *distanceHigh = static_cast<LONG>(static_cast<int64_t>(at) >> 32);
  SetLastError(kERROR_SUCCESS);
  return static_cast<DWORD>(at);
}

DWORD GetFileSize(HANDLE h, DWORD* sizeHigh) {
  auto file = detail::LookupAs<File>(h);
  if (!file) return kINVALID_FILE_SIZE;
  struct stat st {};
  if (::fstat(file->fd(), &st) != 0) {
    SetLastError(Win32FromErrno(errno));
    return kINVALID_FILE_SIZE;
  }
  if (sizeHigh) *sizeHigh = static_cast<DWORD>(static_cast<uint64_t>(st.st_size) >> 32);
  return static_cast<DWORD>(st.st_size);
}

namespace {
bool SyncDirectoryOf(const std::string& path) {
  size_t slash = path.find_last_of('/');
  std::string dir =
      slash == std::string::npos ? std::string(".") : path.substr(0, slash == 0 ? 1 : slash);
  int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  ::fsync(fd);
  ::close(fd);
  return true;
}

bool CopyFileContents(const char* from, const char* to, bool noLink) {
  int in = ::open(from, O_RDONLY | O_CLOEXEC | (noLink ? O_NOFOLLOW : 0));
  if (in < 0) return false;
  std::string temp = std::string(to) + ".moving";
  // Without links, a file planted under the temporary name is removed
  // rather than written through.
  if (noLink) ::unlink(temp.c_str());
  int out = ::open(temp.c_str(),
                   O_WRONLY | O_CREAT | O_CLOEXEC | (noLink ? O_EXCL | O_NOFOLLOW : O_TRUNC), 0644);
  if (out < 0) {
    int e = errno;
    ::close(in);
    errno = e;
    return false;
  }
  char buffer[65536];
  bool ok = true;
  for (;;) {
    ssize_t n = ::read(in, buffer, sizeof(buffer));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      ok = n == 0;
      break;
    }
    for (ssize_t done = 0; done < n;) {
      ssize_t w = ::write(out, buffer + done, static_cast<size_t>(n - done));
      if (w < 0 && errno == EINTR) continue;
      if (w < 0) {
        ok = false;
        break;
      }
      done += w;
    }
    if (!ok) break;
  }
  int e = errno;
  if (ok) ok = ::fsync(out) == 0;
  ::close(out);
  ::close(in);
  if (ok) ok = ::rename(temp.c_str(), to) == 0;
  if (!ok) {
    e = errno;
    ::unlink(temp.c_str());
  }
  errno = e;
  return ok;
}
}  // namespace

BOOL MoveFileExA(const char* from, const char* to, DWORD flags) {
  bool noLink = (flags & kMOVEFILE_NO_LINK) != 0;
  if (noLink) {
    struct stat st {};
    if (::lstat(from, &st) == 0 && S_ISLNK(st.st_mode)) {
      SetLastError(kERROR_CANT_RESOLVE_FILENAME);
      return kFALSE;
    }
  }
  if (std::string(from) == to) {
    struct stat st {};
    if (::stat(from, &st) != 0) {
      SetLastError(Win32FromErrno(errno));
      return kFALSE;
    }
    return kTRUE;
  }
  if ((flags & kMOVEFILE_REPLACE_EXISTING) == 0) {
    struct stat st {};
    if (::stat(to, &st) == 0) {
      SetLastError(kERROR_ALREADY_EXISTS);
      return kFALSE;
    }
  }
  if (::rename(from, to) != 0) {
    if (errno == EXDEV && (flags & kMOVEFILE_COPY_ALLOWED) != 0) {
      if (!CopyFileContents(from, to, noLink) || ::unlink(from) != 0) {
        SetLastError(Win32FromErrno(errno));
        return kFALSE;
      }
    } else {
      DWORD code = Win32FromErrno(errno);
      if (errno == ENOENT) {
        // Tell a missing source (nothing to move) from a missing target folder.
        struct stat st {};
        code = ::stat(from, &st) == 0 ? kERROR_PATH_NOT_FOUND : kERROR_FILE_NOT_FOUND;
      }
      SetLastError(code);
      return kFALSE;
    }
  }
  if (flags & kMOVEFILE_WRITE_THROUGH) SyncDirectoryOf(to);
  return kTRUE;
}

}  // namespace plat
