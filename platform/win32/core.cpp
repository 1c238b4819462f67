// Message texts, the local clock, and small process calls on Windows.
#include <cstdio>
#include <cstring>

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

void ExitProcess(UINT code) {
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
