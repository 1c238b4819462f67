// SPDX-License-Identifier: Apache-2.0
// Registration and installation.
#include <cstdio>
#include <cstring>

#include "service/keld4.h"

namespace {

constexpr const char* kDescription = "Pallix/LBシリーズの負荷分散エージェントサービス";

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
  std::snprintf(key, sizeof(key), "AppID\\%s", APP_ID);
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
  result = SetString(h, "AppID", APP_ID);
  plat::RegCloseKey(h);
  return result;
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
  result = plat::RegOpenKeyExA(appIds, APP_ID, 0, plat::kKEY_WRITE, &key);
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
