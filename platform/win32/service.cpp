// SPDX-License-Identifier: Apache-2.0
// The service control manager on Windows: thin wrappers onto advapi32. The
// contract's callbacks take its own DWORD, so the system calls a trampoline
// that forwards to the one service of the process.
#include <atomic>
#include <string>

#include "platform/win32/win32.h"

namespace plat {
namespace {

LPSERVICE_MAIN_FUNCTIONA g_serviceMain = nullptr;
std::atomic<LPHANDLER_FUNCTION> g_handler{nullptr};
std::atomic<PHANDLER_ROUTINE> g_consoleHandler{nullptr};

void WINAPI ServiceMainTrampoline(::DWORD argc, LPSTR* argv) {
  g_serviceMain(static_cast<DWORD>(argc), argv);
}

void WINAPI HandlerTrampoline(::DWORD control) {
  LPHANDLER_FUNCTION handler = g_handler.load();
  if (handler) handler(static_cast<DWORD>(control));
}

::BOOL WINAPI ConsoleTrampoline(::DWORD signal) {
  auto handler = g_consoleHandler.load();
  if (!handler) return FALSE;
  return handler(static_cast<DWORD>(signal)) ? TRUE : FALSE;
}

template <class T>
T Native(HANDLE h) {
  return reinterpret_cast<T>(h);
}
template <class T>
HANDLE Contract(T h) {
  return reinterpret_cast<HANDLE>(h);
}

BOOL Result(::BOOL ok) {
  if (!ok) detail::KeepLastError();
  return ok ? kTRUE : kFALSE;
}

// The program's texts are UTF-8; the description is kept in the Japanese
// ANSI code page. Answers false when the text has no form there.
bool ToCodePage932(const char* utf8, std::string* out) {
  int wide = ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8, -1, nullptr, 0);
  if (wide <= 0) return false;
  std::wstring w(static_cast<size_t>(wide), L'\0');
  ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8, -1, w.data(), wide);
  ::BOOL lost = FALSE;
  int n = ::WideCharToMultiByte(932, 0, w.c_str(), -1, nullptr, 0, nullptr, &lost);
  if (n <= 0 || lost) return false;
  out->assign(static_cast<size_t>(n), '\0');
  ::WideCharToMultiByte(932, 0, w.c_str(), -1, out->data(), n, nullptr, nullptr);
  out->resize(static_cast<size_t>(n - 1));
  return true;
}

}  // namespace

BOOL StartServiceCtrlDispatcherA(const SERVICE_TABLE_ENTRYA* table) {
  g_serviceMain = table[0].lpServiceProc;
  ::SERVICE_TABLE_ENTRYA entries[] = {
      {const_cast<char*>(table[0].lpServiceName), ServiceMainTrampoline}, {nullptr, nullptr}};
  return Result(::StartServiceCtrlDispatcherA(entries));
}

SERVICE_STATUS_HANDLE RegisterServiceCtrlHandlerA(const char* name, LPHANDLER_FUNCTION handler) {
  g_handler.store(handler);
  ::SERVICE_STATUS_HANDLE h = ::RegisterServiceCtrlHandlerA(name, HandlerTrampoline);
  if (h == nullptr) detail::KeepLastError();
  return Contract(h);
}

BOOL SetServiceStatus(SERVICE_STATUS_HANDLE handle, const SERVICE_STATUS* status) {
  ::SERVICE_STATUS s{status->dwServiceType,
                     status->dwCurrentState,
                     status->dwControlsAccepted,
                     status->dwWin32ExitCode,
                     status->dwServiceSpecificExitCode,
                     status->dwCheckPoint,
                     status->dwWaitHint};
  return Result(::SetServiceStatus(Native<::SERVICE_STATUS_HANDLE>(handle), &s));
}

BOOL SetConsoleCtrlHandler(PHANDLER_ROUTINE handler, BOOL add) {
  if (handler == nullptr) {
    SetLastError(kERROR_INVALID_PARAMETER);
    return kFALSE;
  }
  // The system sees one trampoline, registered while a handler is set.
  if (add) {
    if (g_consoleHandler.exchange(handler) != nullptr) return kTRUE;
    return Result(::SetConsoleCtrlHandler(ConsoleTrampoline, TRUE));
  }
  PHANDLER_ROUTINE expected = handler;
  if (!g_consoleHandler.compare_exchange_strong(expected, nullptr)) {
    SetLastError(kERROR_INVALID_PARAMETER);
    return kFALSE;
  }
  return Result(::SetConsoleCtrlHandler(ConsoleTrampoline, FALSE));
}

SC_HANDLE OpenSCManagerA(const char* machine, const char* database, DWORD access) {
  ::SC_HANDLE h = ::OpenSCManagerA(machine, database, access);
  if (h == nullptr) detail::KeepLastError();
  return Contract(h);
}

SC_HANDLE CreateServiceA(SC_HANDLE manager, const char* name, const char* displayName, DWORD access,
                         DWORD serviceType, DWORD startType, DWORD errorControl,
                         const char* binaryPath, const char* loadOrderGroup, DWORD* tagId,
                         const char* dependencies, const char* account, const char* password) {
  ::DWORD tag = 0;
  ::SC_HANDLE h = ::CreateServiceA(Native<::SC_HANDLE>(manager), name, displayName, access,
                                   serviceType, startType, errorControl, binaryPath, loadOrderGroup,
                                   tagId ? &tag : nullptr, dependencies, account, password);
  if (h == nullptr) detail::KeepLastError();
  if (tagId) *tagId = tag;
  return Contract(h);
}

SC_HANDLE OpenServiceA(SC_HANDLE manager, const char* name, DWORD access) {
  ::SC_HANDLE h = ::OpenServiceA(Native<::SC_HANDLE>(manager), name, access);
  if (h == nullptr) detail::KeepLastError();
  return Contract(h);
}

BOOL ChangeServiceConfig2A(SC_HANDLE service, DWORD infoLevel, void* info) {
  if (infoLevel == kSERVICE_CONFIG_FAILURE_ACTIONS && info != nullptr) {
    // The contract's action record is the system's (two 32-bit fields).
    static_assert(sizeof(SC_ACTION) == sizeof(::SC_ACTION));
    const auto* a = static_cast<const SERVICE_FAILURE_ACTIONSA*>(info);
    ::SERVICE_FAILURE_ACTIONSA n{a->dwResetPeriod, const_cast<char*>(a->lpRebootMsg),
                                 const_cast<char*>(a->lpCommand), a->cActions,
                                 reinterpret_cast<::SC_ACTION*>(a->lpsaActions)};
    return Result(::ChangeServiceConfig2A(Native<::SC_HANDLE>(service), infoLevel, &n));
  }
  if (infoLevel == kSERVICE_CONFIG_DESCRIPTION && info != nullptr) {
    const char* text = static_cast<const SERVICE_DESCRIPTIONA*>(info)->lpDescription;
    std::string ansi;
    if (text != nullptr && !ToCodePage932(text, &ansi)) {
      SetLastError(kERROR_INVALID_PARAMETER);
      return kFALSE;
    }
    ::SERVICE_DESCRIPTIONA n{text != nullptr ? ansi.data() : nullptr};
    return Result(::ChangeServiceConfig2A(Native<::SC_HANDLE>(service), infoLevel, &n));
  }
  return Result(::ChangeServiceConfig2A(Native<::SC_HANDLE>(service), infoLevel, info));
}

SC_LOCK LockServiceDatabase(SC_HANDLE manager) {
  ::SC_LOCK lock = ::LockServiceDatabase(Native<::SC_HANDLE>(manager));
  if (lock == nullptr) detail::KeepLastError();
  return Contract(lock);
}

BOOL UnlockServiceDatabase(SC_LOCK lock) {
  return Result(::UnlockServiceDatabase(Native<::SC_LOCK>(lock)));
}

BOOL ControlService(SC_HANDLE service, DWORD control, SERVICE_STATUS* status) {
  ::SERVICE_STATUS s{};
  BOOL ok = Result(::ControlService(Native<::SC_HANDLE>(service), control, &s));
  if (status) {
    *status = SERVICE_STATUS{s.dwServiceType,
                             s.dwCurrentState,
                             s.dwControlsAccepted,
                             s.dwWin32ExitCode,
                             s.dwServiceSpecificExitCode,
                             s.dwCheckPoint,
                             s.dwWaitHint};
  }
  return ok;
}

BOOL DeleteService(SC_HANDLE service) {
  return Result(::DeleteService(Native<::SC_HANDLE>(service)));
}

BOOL CloseServiceHandle(SC_HANDLE handle) {
  return Result(::CloseServiceHandle(Native<::SC_HANDLE>(handle)));
}

}  // namespace plat
