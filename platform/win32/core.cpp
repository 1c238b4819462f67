// SPDX-License-Identifier: Apache-2.0
// Message texts, the local clock, and small process calls on Windows.
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>
#include <vector>

#include "platform/win32/win32.h"

namespace plat {

const char kPathSeparator = '\\';

DWORD FormatSystemMessage(DWORD code, char* buffer, DWORD size) {
  if (size == 0) return 0;
  buffer[0] = '\0';
  DWORD n =
      ::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code,
                       MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), buffer, size, nullptr);
  if (n == 0) buffer[0] = '\0';
  return n;
}

ULONGLONG detail::SystemLocalFileTime() {
  ::SYSTEMTIME st;
  ::GetLocalTime(&st);
  ::FILETIME ft;
  ::SystemTimeToFileTime(&st, &ft);
  return (static_cast<ULONGLONG>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
}

// A fiber-local slot's callback runs when the thread ends, after the C
// runtime's thread-local storage is gone, and receives the slot's value: the
// hooks live on the heap, reachable only through it.
namespace {
struct ExitHooks {
  std::vector<std::pair<void (*)(void*), void*>> hooks;
};

// Set once the process is ending: the system may then run the callback for
// the last thread after stopping the others, one of which may hold a lock a
// hook would wait for; and there is nothing left to release.
std::atomic<bool> g_processEnding{false};

void WINAPI RunExitHooks(void* value) {
  auto* exitHooks = static_cast<ExitHooks*>(value);
  if (exitHooks == nullptr || g_processEnding.load()) return;
  for (auto& hook : exitHooks->hooks) hook.first(hook.second);
  delete exitHooks;
}

::DWORD ExitHookSlot() {
  static const ::DWORD slot = [] {
    std::atexit([] { g_processEnding.store(true); });
    return ::FlsAlloc(RunExitHooks);
  }();
  return slot;
}
}  // namespace

void detail::AtThreadExit(void (*fn)(void* arg), void* arg) {
  ::DWORD slot = ExitHookSlot();
  if (slot == FLS_OUT_OF_INDEXES) return;  // the hook is lost, not the thread
  auto* exitHooks = static_cast<ExitHooks*>(::FlsGetValue(slot));
  if (exitHooks == nullptr) {
    exitHooks = new ExitHooks;
    if (!::FlsSetValue(slot, exitHooks)) {
      delete exitHooks;
      return;
    }
  }
  exitHooks->hooks.emplace_back(fn, arg);
}

void ExitProcess(UINT code) {
  g_processEnding.store(true);
  std::fflush(nullptr);
  ::ExitProcess(code);
}

DWORD GetCurrentProcessId() { return static_cast<DWORD>(::GetCurrentProcessId()); }

UINT GetWindowsDirectoryA(char* buffer, UINT size) {
  UINT n = ::GetWindowsDirectoryA(buffer, size);
  if (n == 0) detail::KeepLastError();
  return n;
}

DWORD GetModuleFileNameA(void* module, char* buffer, DWORD size) {
  DWORD n = ::GetModuleFileNameA(static_cast<HMODULE>(module), buffer, size);
  if (n == 0) detail::KeepLastError();
  return n;
}

BOOL GetVersionExA(OSVERSIONINFOEXA* info) {
  if (info == nullptr || (info->dwOSVersionInfoSize != 156 && info->dwOSVersionInfoSize != 148)) {
    SetLastError(kERROR_INSUFFICIENT_BUFFER);
    return kFALSE;
  }
  ::OSVERSIONINFOEXA v{};
  v.dwOSVersionInfoSize = sizeof(v);
  if (!::GetVersionExA(reinterpret_cast<::OSVERSIONINFOA*>(&v))) {
    detail::KeepLastError();
    return kFALSE;
  }
  info->dwMajorVersion = v.dwMajorVersion;
  info->dwMinorVersion = v.dwMinorVersion;
  info->dwBuildNumber = v.dwBuildNumber;
  info->dwPlatformId = v.dwPlatformId;
  std::memcpy(info->szCSDVersion, v.szCSDVersion, sizeof(info->szCSDVersion));
  if (info->dwOSVersionInfoSize == 156) {
    info->wServicePackMajor = v.wServicePackMajor;
    info->wServicePackMinor = v.wServicePackMinor;
    info->wSuiteMask = v.wSuiteMask;
    info->wProductType = v.wProductType;
    info->wReserved = 0;
  }
  return kTRUE;
}

int LoadStringA(void* instance, UINT id, char* buffer, int size) {
  HINSTANCE module = instance ? static_cast<HINSTANCE>(instance) : ::GetModuleHandleA(nullptr);
  int n = ::LoadStringA(module, id, buffer, size);
  if (n == 0) detail::KeepLastError();
  return n;
}

int MessageBoxA(void* owner, const char* text, const char* caption, UINT type) {
  return ::MessageBoxA(static_cast<HWND>(owner), text, caption, type);
}

}  // namespace plat
