// SPDX-License-Identifier: Apache-2.0
// Internal to the Windows layer: the system headers, then the contract. The
// contract's names are all in namespace plat and its constants carry a k, so
// the two share a translation unit without clashing.
#pragma once

// clang-format off
#include <winsock2.h>
#include <ws2tcpip.h>
#include <mswsock.h>
#include <windows.h>
#include <iphlpapi.h>
#include <pdh.h>
#include <pdhmsg.h>
#include <psapi.h>
// clang-format on

#include "platform/common/handles.h"
#include "platform/platform.h"

// Macros of the system that name its types: inside namespace plat, HANDLE and
// HKEY would mean the contract's, so they are taken here, outside it.
inline const ::HANDLE kSystemInvalidHandle = INVALID_HANDLE_VALUE;
inline const ::HKEY kSystemLocalMachine = HKEY_LOCAL_MACHINE;
inline const ::HKEY kSystemClassesRoot = HKEY_CLASSES_ROOT;
inline const ::HKEY kSystemCurrentUser = HKEY_CURRENT_USER;

namespace plat::detail {

// Copies the system's last error into the contract's slot (the slot is the
// layer's own, shared with the portable parts) and answers it.
inline DWORD KeepLastError() {
  DWORD code = static_cast<DWORD>(::GetLastError());
  plat::SetLastError(code);
  return code;
}
inline DWORD KeepWsaError() {
  DWORD code = static_cast<DWORD>(::WSAGetLastError());
  plat::SetLastError(code);
  return code;
}

// A system handle kept in the handle table, closed with the table entry.
class SystemHandle : public Waitable {
 public:
  explicit SystemHandle(::HANDLE h) : h_(h) {}
  ~SystemHandle() override { ::CloseHandle(h_); }
  bool wait(DWORD milliseconds) override {
    return ::WaitForSingleObject(h_, milliseconds) == WAIT_OBJECT_0;
  }
  ::HANDLE get() const { return h_; }

 private:
  ::HANDLE h_;
};

}  // namespace plat::detail
