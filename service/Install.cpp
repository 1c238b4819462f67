// Process entry, registration and installation.
#include <cctype>
#include <cstdio>
#include <cstring>
#include <string>

#include "log/Log.h"
#include "service/keld4.h"

namespace {

constexpr const char* kAppId = "{5B2E9A41-7C3D-4F18-A6E2-0D9C4B71E35A}";
constexpr const char* kTypeLibId = "{9D4C7E12-3A5B-4E8F-B1C6-72F0A8D3E914}";
constexpr const char* kDescription = "Pallix/LBシリーズの負荷分散エージェントサービス";

// Command-line switches compare without case, as Windows programs take them.
bool SameWord(const char* a, const char* b) {
  for (; *a != '\0' && *b != '\0'; ++a, ++b) {
    if (std::tolower(static_cast<unsigned char>(*a)) !=
        std::tolower(static_cast<unsigned char>(*b)))
      return false;
  }
  return *a == *b;
}

void MessageBox(const char* text) {
  plat::MessageBoxA(nullptr, text, _Module.m_szServiceName, plat::kMB_OK);
}

plat::LONG SetString(plat::HKEY key, const char* name, const char* text) {
  return plat::RegSetValueExA(key, name, 0, plat::kREG_SZ,
                              reinterpret_cast<const plat::BYTE*>(text),
                              static_cast<plat::DWORD>(std::strlen(text) + 1));
}

// The registration script: AppID (never removed), AppID\{id} with its
// default value, and AppID\keld4.EXE naming the AppID.
plat::LONG ApplyRegistryScript(bool registering) {
  char key[128];
  std::snprintf(key, sizeof(key), "AppID\\%s", kAppId);
  if (!registering) {
    plat::LONG a = plat::RegDeleteTreeA(plat::kHKEY_CLASSES_ROOT, key);
    plat::LONG b = plat::RegDeleteTreeA(plat::kHKEY_CLASSES_ROOT, "AppID\\keld4.EXE");
    return a != plat::kERROR_SUCCESS && a != plat::kERROR_FILE_NOT_FOUND ? a : b;
  }
  plat::HKEY h = nullptr;
  plat::DWORD disposition = 0;
  plat::LONG result = plat::RegCreateKeyExA(plat::kHKEY_CLASSES_ROOT, key, 0, nullptr,
                                            plat::kREG_OPTION_NON_VOLATILE, plat::kKEY_ALL_ACCESS,
                                            nullptr, &h, &disposition);
  if (result != plat::kERROR_SUCCESS) return result;
  result = SetString(h, nullptr, "keld4");
  plat::RegCloseKey(h);
  if (result != plat::kERROR_SUCCESS) return result;
  result = plat::RegCreateKeyExA(plat::kHKEY_CLASSES_ROOT, "AppID\\keld4.EXE", 0, nullptr,
                                 plat::kREG_OPTION_NON_VOLATILE, plat::kKEY_ALL_ACCESS, nullptr, &h,
                                 &disposition);
  if (result != plat::kERROR_SUCCESS) return result;
  result = SetString(h, "AppID", kAppId);
  plat::RegCloseKey(h);
  return result;
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

}  // namespace

int CServiceModule::IsServiceInstalled() {
  int installed = 0;
  plat::SC_HANDLE manager = plat::OpenSCManagerA(nullptr, nullptr, plat::kSC_MANAGER_ALL_ACCESS);
  if (manager != nullptr) {
    plat::SC_HANDLE service =
        plat::OpenServiceA(manager, m_szServiceName, plat::kSERVICE_QUERY_CONFIG);
    if (service != nullptr) {
      installed = 1;
      plat::CloseServiceHandle(service);
    }
    plat::CloseServiceHandle(manager);
  }
  return installed;
}

int CServiceModule::InstallService() {
  if (IsServiceInstalled()) return 1;
  plat::SC_HANDLE manager = plat::OpenSCManagerA(nullptr, nullptr, plat::kSC_MANAGER_ALL_ACCESS);
  if (manager == nullptr) {
    MessageBox("Couldn't open service manager");
    return 0;
  }
  char path[1024];
  plat::GetModuleFileNameA(nullptr, path, sizeof(path));
  // A double-NUL-terminated list with the one dependency.
  static const char kDependencies[] = "RPCSS\0";
  plat::SC_HANDLE service = plat::CreateServiceA(
      manager, m_szServiceName, m_szServiceName, plat::kSERVICE_ALL_ACCESS,
      plat::kSERVICE_WIN32_OWN_PROCESS, plat::kSERVICE_AUTO_START, plat::kSERVICE_ERROR_NORMAL,
      path, nullptr, nullptr, kDependencies, nullptr, nullptr);
  if (service == nullptr) {
    plat::CloseServiceHandle(manager);
    MessageBox("Couldn't create service");
    return 0;
  }
  plat::SC_LOCK lock = plat::LockServiceDatabase(manager);
  if (lock == nullptr) MessageBox("LockServiceDatabase failure");
  plat::SERVICE_DESCRIPTIONA description{kDescription};
  if (!plat::ChangeServiceConfig2A(service, plat::kSERVICE_CONFIG_DESCRIPTION, &description)) {
    MessageBox("ChangeServiceConfig2(SERVICE_CONFIG_DESCRIPTION) failure");
  }
  plat::SC_ACTION restart{plat::kSC_ACTION_RESTART, 120000};
  plat::SERVICE_FAILURE_ACTIONSA actions{0, nullptr, nullptr, 1, &restart};
  if (!plat::ChangeServiceConfig2A(service, plat::kSERVICE_CONFIG_FAILURE_ACTIONS, &actions)) {
    MessageBox("ChangeServiceConfig2(SERVICE_CONFIG_FAILURE_ACTIONS) failure");
  }
  if (!plat::UnlockServiceDatabase(lock)) MessageBox("UnlockServiceDatabase failure");
  plat::CloseServiceHandle(service);
  plat::CloseServiceHandle(manager);
  return 1;
}

int CServiceModule::RemoveService() {
  if (!IsServiceInstalled()) return 1;
  plat::SC_HANDLE manager = plat::OpenSCManagerA(nullptr, nullptr, plat::kSC_MANAGER_ALL_ACCESS);
  if (manager == nullptr) {
    MessageBox("Couldn't open service manager");
    return 0;
  }
  plat::SC_HANDLE service =
      plat::OpenServiceA(manager, m_szServiceName, plat::kSERVICE_STOP | plat::kDELETE);
  if (service == nullptr) {
    plat::CloseServiceHandle(manager);
    MessageBox("Couldn't open service");
    return 0;
  }
  plat::SERVICE_STATUS status{};
  plat::ControlService(service, plat::kSERVICE_CONTROL_STOP, &status);
  bool deleted = plat::DeleteService(service);
  plat::CloseServiceHandle(service);
  plat::CloseServiceHandle(manager);
  if (deleted) return 1;
  MessageBox("Service could not be deleted");
  return 0;
}

int CServiceModule::RegisterModule(int /*registerTypeLib*/, int installService) {
  RemoveService();
  ApplyRegistryScript(true);
  plat::HKEY appIds = nullptr;
  plat::LONG result =
      plat::RegOpenKeyExA(plat::kHKEY_CLASSES_ROOT, "AppID", 0, plat::kKEY_WRITE, &appIds);
  if (result != plat::kERROR_SUCCESS) return result;
  plat::HKEY key = nullptr;
  result = plat::RegOpenKeyExA(appIds, kAppId, 0, plat::kKEY_WRITE, &key);
  if (result != plat::kERROR_SUCCESS) {
    plat::RegCloseKey(appIds);
    return result;
  }
  plat::RegDeleteValueA(key, "LocalService");
  if (installService) {
    SetString(key, "LocalService", "keld4");
    SetString(key, "ServiceParameters", "-Service");
    InstallService();
  }
  // No type library is registered on this platform; there is nothing to fail.
  plat::RegCloseKey(key);
  plat::RegCloseKey(appIds);
  return 0;
}

int CServiceModule::UnregisterModule() {
  ApplyRegistryScript(false);
  RemoveService();
  return 0;
}

// ---------------------------------------------------------------- entry point
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
  _Module.Prepare(nullptr, 100, kTypeLibId);
  for (const char* token = FindOneOf(commandLine, "-/"); token != nullptr;
       token = FindOneOf(token, "-/")) {
    if (SameWord(token, "UnregServer") == 0) return _Module.UnregisterModule();
    if (SameWord(token, "RegServer") == 0) return _Module.RegisterModule(1, 0);
    if (SameWord(token, "Service") == 0) return _Module.RegisterModule(1, 1);
  }

  plat::HKEY appIds = nullptr;
  plat::LONG result =
      plat::RegOpenKeyExA(plat::kHKEY_CLASSES_ROOT, "AppID", 0, plat::kKEY_READ, &appIds);
  if (result != plat::kERROR_SUCCESS) {
    ReportUnreadableStore(result);
    return result;
  }
  plat::HKEY key = nullptr;
  result = plat::RegOpenKeyExA(appIds, kAppId, 0, plat::kKEY_READ, &key);
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
