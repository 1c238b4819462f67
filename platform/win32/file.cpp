// SPDX-License-Identifier: Apache-2.0
// Files on Windows: the system's file handles behind the handle table.
#include "platform/win32/win32.h"

namespace plat {
namespace {

class File : public detail::Stream {
 public:
  explicit File(::HANDLE h) : h_(h) {}
  ~File() override { ::CloseHandle(h_); }
  BOOL read(void* buffer, DWORD toRead, DWORD* read) override {
    ::DWORD n = 0;
    BOOL ok = ::ReadFile(h_, buffer, toRead, &n, nullptr);
    if (read) *read = static_cast<DWORD>(n);
    if (!ok) detail::KeepLastError();
    return ok ? kTRUE : kFALSE;
  }
  BOOL write(const void* buffer, DWORD toWrite, DWORD* written) override {
    ::DWORD n = 0;
    BOOL ok = ::WriteFile(h_, buffer, toWrite, &n, nullptr);
    if (written) *written = static_cast<DWORD>(n);
    if (!ok) detail::KeepLastError();
    return ok ? kTRUE : kFALSE;
  }
  ::HANDLE get() const { return h_; }

 private:
  ::HANDLE h_;
};

// The contract's "no link" flags: a reparse point (symbolic link or
// junction) at the path is refused instead of followed.
bool IsLink(const char* path) {
  ::DWORD attributes = ::GetFileAttributesA(path);
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

}  // namespace

HANDLE CreateFileA(const char* path, DWORD access, DWORD share, void* /*security*/,
                   DWORD disposition, DWORD flags, HANDLE /*templ*/) {
  if ((flags & kFILE_FLAG_NO_LINK) != 0 && IsLink(path)) {
    SetLastError(kERROR_CANT_RESOLVE_FILENAME);
    return kINVALID_HANDLE_VALUE;
  }
  ::DWORD systemFlags = flags & ~kFILE_FLAG_NO_LINK;
  if ((flags & kFILE_FLAG_NO_LINK) != 0) systemFlags |= FILE_FLAG_OPEN_REPARSE_POINT;
  ::HANDLE h = ::CreateFileA(path, access, share, nullptr, disposition, systemFlags, nullptr);
  if (h == kSystemInvalidHandle) {
    detail::KeepLastError();
    return kINVALID_HANDLE_VALUE;
  }
  return detail::ToHandle(detail::Insert(std::make_shared<File>(h)));
}

DWORD SetFilePointer(HANDLE h, LONG distance, LONG* distanceHigh, DWORD method) {
  auto file = detail::LookupAs<File>(h);
  if (!file) return kINVALID_SET_FILE_POINTER;
  ::LONG high = distanceHigh ? *distanceHigh : 0;
  ::DWORD at = ::SetFilePointer(file->get(), distance, distanceHigh ? &high : nullptr, method);
  DWORD error = detail::KeepLastError();
  if (at == INVALID_SET_FILE_POINTER && error != NO_ERROR) return kINVALID_SET_FILE_POINTER;
  if (distanceHigh) *distanceHigh = high;
  SetLastError(kERROR_SUCCESS);
  return at;
}

DWORD GetFileSize(HANDLE h, DWORD* sizeHigh) {
  auto file = detail::LookupAs<File>(h);
  if (!file) return kINVALID_FILE_SIZE;
  ::DWORD high = 0;
  ::DWORD low = ::GetFileSize(file->get(), &high);
  if (low == INVALID_FILE_SIZE && detail::KeepLastError() != NO_ERROR) return kINVALID_FILE_SIZE;
  if (sizeHigh) *sizeHigh = high;
  return low;
}

BOOL MoveFileExA(const char* from, const char* to, DWORD flags) {
  if ((flags & kMOVEFILE_NO_LINK) != 0 && IsLink(from)) {
    SetLastError(kERROR_CANT_RESOLVE_FILENAME);
    return kFALSE;
  }
  if (!::MoveFileExA(from, to, flags & ~kMOVEFILE_NO_LINK)) {
    detail::KeepLastError();
    return kFALSE;
  }
  return kTRUE;
}

}  // namespace plat
