// SPDX-License-Identifier: Apache-2.0
// The service host object, its status reports to the service manager and
// the event reporting with the event source registration.
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "service/keld4.h"

CServiceModule _Module;

CServiceModule::CServiceModule()
    : m_szServiceName{}, m_hServiceStatus(nullptr), m_status{}, MainThreadId(0), ProcessId(0),
      ServiceFlag(0), m_szTypeLibId{} {}

CServiceModule::~CServiceModule() = default;

void CServiceModule::SetExitCode(plat::DWORD code) {
  std::lock_guard<std::mutex> guard(m_StatusLock);
  m_status.dwWin32ExitCode = code;
}

plat::BOOL CServiceModule::SetStatus(plat::DWORD state) {
  std::lock_guard<std::mutex> guard(m_StatusLock);
  m_status.dwCurrentState = state;
  return plat::SetServiceStatus(m_hServiceStatus, &m_status);
}

void ReportToEventLog(CServiceModule* module, int kind, const char* format, ...) {
  char text[256];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof(text), format, args);
  va_end(args);

  if (module->ServiceFlag == 0) {
    std::fprintf(stdout, "%s\n", text);
    std::fflush(stdout);
    return;
  }
  plat::HANDLE source = plat::RegisterEventSourceA(nullptr, module->m_szServiceName);
  if (source == nullptr) return;
  plat::WORD type;
  plat::DWORD id;
  switch (kind) {
    case EVENT_KIND_INFORMATION:
      type = plat::kEVENTLOG_INFORMATION_TYPE;
      id = EVENT_ID_INFORMATION;
      break;
    case EVENT_KIND_ERROR:
      type = plat::kEVENTLOG_ERROR_TYPE;
      id = EVENT_ID_ERROR;
      break;
    case EVENT_KIND_WARNING:
      type = plat::kEVENTLOG_WARNING_TYPE;
      id = EVENT_ID_WARNING;
      break;
    default: plat::DeregisterEventSource(source); return;
  }
  const char* strings[1] = {text};
  plat::ReportEventA(source, type, 0, id, nullptr, 1, 0, strings, nullptr);
  plat::DeregisterEventSource(source);
}

int AddEventSource() {
  char path[1024];
  plat::GetModuleFileNameA(nullptr, path, sizeof(path));
  plat::HKEY key = nullptr;
  plat::DWORD disposition = 0;
  if (plat::RegCreateKeyExA(plat::kHKEY_LOCAL_MACHINE,
                            "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\keld4", 0,
                            nullptr, plat::kREG_OPTION_NON_VOLATILE, plat::kKEY_ALL_ACCESS, nullptr,
                            &key, &disposition) != plat::kERROR_SUCCESS) {
    ReportToEventLog(&_Module, EVENT_KIND_ERROR, "RegCreateKey() error");
    return -1;
  }
  if (plat::RegSetValueExA(key, "EventMessageFile", 0, plat::kREG_EXPAND_SZ,
                           reinterpret_cast<const plat::BYTE*>(path),
                           static_cast<plat::DWORD>(std::strlen(path) + 1)) !=
      plat::kERROR_SUCCESS) {
    ReportToEventLog(&_Module, EVENT_KIND_ERROR, "RegSetValueEx() error");
    plat::RegCloseKey(key);
    return -1;
  }
  plat::DWORD types = 7;
  if (plat::RegSetValueExA(key, "TypesSupported", 0, plat::kREG_DWORD,
                           reinterpret_cast<const plat::BYTE*>(&types),
                           sizeof(types)) != plat::kERROR_SUCCESS) {
    ReportToEventLog(&_Module, EVENT_KIND_ERROR, "RegSetValueEx() error");
    plat::RegCloseKey(key);
    return -1;
  }
  plat::RegCloseKey(key);
  return 0;
}
