// SPDX-License-Identifier: Apache-2.0
// Process entry and service control: the command line's switches, the
// service manager's dispatcher, the service's main function and its control
// handler.
#include <cctype>
#include <cstdio>
#include <cstring>
#include <string>

#include "log/Log.h"
#include "service/keld4.h"
#include "service/resource.h"

namespace {

constexpr const char* kTypeLibId = "{9D4C7E12-3A5B-4E8F-B1C6-72F0A8D3E914}";

// Command-line switches compare without case, as Windows programs take them.
bool SameWord(const char* a, const char* b) {
  for (; *a != '\0' && *b != '\0'; ++a, ++b) {
    if (std::tolower(static_cast<unsigned char>(*a)) !=
        std::tolower(static_cast<unsigned char>(*b)))
      return false;
  }
  return *a == *b;
}

// Why the program could not start, in one line on standard error (which the
// service manager keeps in its journal): the store file, and for a file that
// cannot be parsed the line. Without it the operator sees only an exit code.
void ReportUnreadableStore(plat::LONG result) {
  std::string store = plat::RegistryStorePath();
  std::string parse = plat::RegistryLastParseError();
  char text[256];
  plat::FormatSystemMessage(static_cast<plat::DWORD>(result), text, sizeof(text));
  text[std::strcspn(text, "\r\n")] = '\0';
  if (!parse.empty()) {
    std::fprintf(stderr, "keld4: the registry store cannot be parsed: %s (error %ld)\n",
                 parse.c_str(), static_cast<long>(result));
  } else if (result == static_cast<plat::LONG>(plat::kERROR_FILE_NOT_FOUND)) {
    plat::HANDLE file =
        plat::CreateFileA(store.c_str(), plat::kGENERIC_READ, plat::kFILE_SHARE_READ, nullptr,
                          plat::kOPEN_EXISTING, plat::kFILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == plat::kINVALID_HANDLE_VALUE) {
      std::fprintf(stderr, "keld4: the registry store %s cannot be opened: %s (error %ld)\n",
                   store.c_str(), text, static_cast<long>(result));
    } else {
      plat::CloseHandle(file);
      std::fprintf(stderr,
                   "keld4: the registry store %s holds no registration of the program; "
                   "register it with -RegServer or -Service (error %ld)\n",
                   store.c_str(), static_cast<long>(result));
    }
  } else {
    std::fprintf(stderr, "keld4: the registry store %s cannot be read: %s (error %ld)\n",
                 store.c_str(), text, static_cast<long>(result));
  }
  std::fflush(stderr);
}

// As a plain process, Ctrl-C and SIGTERM stop the agent in order, as the
// stop control does under the service manager.
plat::BOOL ConsoleStop(plat::DWORD /*signal*/) {
  for (int i = 0; i < 500; ++i) {
    if (plat::PostThreadMessageA(_Module.MainThreadId.load(), plat::kWM_QUIT, 0, 0)) break;
    plat::Sleep(10);
  }
  return plat::kTRUE;
}

}  // namespace

const char* FindOneOf(const char* text, const char* separators) {
  KELD_TRACE_ENTER("FindOneOf");
  for (const char* p = text; *p != '\0'; ++p) {
    for (const char* s = separators; *s != '\0'; ++s) {
      if (*p == *s) {
        KELD_TRACE_LEAVE("FindOneOf");
        return p + 1;
      }
    }
  }
  KELD_TRACE_LEAVE("FindOneOf");
  return nullptr;
}

int KeldMain(const char* commandLine) {
  _Module.Prepare(nullptr, IDS_SERVICENAME, kTypeLibId);
  for (const char* token = FindOneOf(commandLine, "-/"); token != nullptr;
       token = FindOneOf(token, "-/")) {
    if (SameWord(token, "UnregServer")) return _Module.UnregisterModule();
    if (SameWord(token, "RegServer")) return _Module.RegisterModule(1, 0);
    if (SameWord(token, "Service")) return _Module.RegisterModule(1, 1);
  }

  plat::HKEY appIds = nullptr;
  plat::LONG result =
      plat::RegOpenKeyExA(plat::kHKEY_CLASSES_ROOT, "AppID", 0, plat::kKEY_READ, &appIds);
  if (result != plat::kERROR_SUCCESS) {
    ReportUnreadableStore(result);
    return result;
  }
  plat::HKEY key = nullptr;
  result = plat::RegOpenKeyExA(appIds, APP_ID, 0, plat::kKEY_READ, &key);
  if (result != plat::kERROR_SUCCESS) {
    ReportUnreadableStore(result);
    plat::RegCloseKey(appIds);
    return result;
  }
  char value[260];
  plat::DWORD size = sizeof(value);
  _Module.ServiceFlag =
      plat::RegQueryValueExA(key, "LocalService", nullptr, nullptr,
                             reinterpret_cast<plat::BYTE*>(value), &size) == plat::kERROR_SUCCESS;
  _Module.StartDispatch();
  plat::RegCloseKey(key);
  plat::RegCloseKey(appIds);
  return static_cast<int>(_Module.m_status.dwWin32ExitCode);
}

void CServiceModule::Prepare(void* instance, unsigned stringId, const char* typeLibId) {
  std::snprintf(m_szTypeLibId, sizeof(m_szTypeLibId), "%s", typeLibId);
  ServiceFlag = 1;
  if (plat::LoadStringA(instance, stringId, m_szServiceName, sizeof(m_szServiceName)) == 0) {
    // A program file without a string table (Linux) has the name built in.
    std::snprintf(m_szServiceName, sizeof(m_szServiceName), "%s", "keld4");
  }
  m_status.dwServiceType = plat::kSERVICE_WIN32_OWN_PROCESS;
  m_status.dwCurrentState = plat::kSERVICE_STOPPED;
  m_status.dwControlsAccepted = plat::kSERVICE_ACCEPT_STOP;
  m_status.dwWin32ExitCode = 0;
  m_status.dwServiceSpecificExitCode = 0;
  m_status.dwCheckPoint = 0;
  m_status.dwWaitHint = 0;
  m_hServiceStatus = nullptr;
}

void CServiceModule::StartDispatch() {
  if (ServiceFlag == 1) {
    plat::SERVICE_TABLE_ENTRYA table[] = {{m_szServiceName, &CServiceModule::ServiceEntry},
                                          {nullptr, nullptr}};
    if (!plat::StartServiceCtrlDispatcherA(table)) ServiceFlag = 0;
  }
  if (ServiceFlag == 0) {
    plat::SetConsoleCtrlHandler(ConsoleStop, plat::kTRUE);
    Run();
  }
}

void CServiceModule::ServiceEntry(plat::DWORD /*argc*/, char** /*argv*/) {
  _Module.m_status.dwCurrentState = plat::kSERVICE_START_PENDING;
  plat::SERVICE_STATUS_HANDLE handle =
      plat::RegisterServiceCtrlHandlerA(_Module.m_szServiceName, &CServiceModule::ControlHandler);
  {
    std::lock_guard<std::mutex> guard(_Module.m_StatusLock);
    _Module.m_hServiceStatus = handle;
  }
  if (handle == nullptr) {
    ReportToEventLog(&_Module, EVENT_KIND_ERROR, "Handler not installed");
    return;
  }
  _Module.SetStatus(plat::kSERVICE_START_PENDING);
  {
    std::lock_guard<std::mutex> guard(_Module.m_StatusLock);
    _Module.m_status.dwWin32ExitCode = 0;
    _Module.m_status.dwCheckPoint = 0;
    _Module.m_status.dwWaitHint = 0;
  }
  _Module.Run();
  _Module.SetStatus(plat::kSERVICE_STOPPED);
}

void CServiceModule::ControlHandler(plat::DWORD control) {
  switch (control) {
    case plat::kSERVICE_CONTROL_STOP:
      _Module.SetStatus(plat::kSERVICE_STOP_PENDING);
      plat::PostThreadMessageA(_Module.MainThreadId.load(), plat::kWM_QUIT, 0, 0);
      break;
    case plat::kSERVICE_CONTROL_PAUSE:
    case plat::kSERVICE_CONTROL_CONTINUE:
    case plat::kSERVICE_CONTROL_INTERROGATE:
    case plat::kSERVICE_CONTROL_SHUTDOWN: break;
    default: ReportToEventLog(&_Module, EVENT_KIND_ERROR, "Bad service request"); break;
  }
}
