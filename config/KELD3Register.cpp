// SPDX-License-Identifier: Apache-2.0
#include "config/KELD3Register.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <string>

#include "log/Log.h"

namespace {

constexpr const char* kServiceName = "keld4";

// The descriptions Windows gives its loopback adapters.
constexpr const char* kLoopbackDescriptions[] = {"MS LoopBack Driver", "Microsoft Loopback Adapter",
                                                 "MS TCP Loopback interface"};

// First attempts of the adapter list and address table (room for 20 adapters
// and 116 addresses); a host with more gets buffers of the size it needs.
constexpr plat::ULONG kAdapterBufferBytes = 12800;
constexpr plat::ULONG kAddressBufferBytes = 2800;
constexpr int kSizingAttempts = 4;

unsigned Hex(plat::LONG rc) { return static_cast<unsigned>(rc); }

// A block of at least bytes bytes aligned for T, or null.
template <class T>
std::unique_ptr<T[]> Allocate(plat::ULONG* bytes) {
  size_t count = (*bytes + sizeof(T) - 1) / sizeof(T);
  if (count == 0) count = 1;
  *bytes = static_cast<plat::ULONG>(count * sizeof(T));
  return std::unique_ptr<T[]>(new (std::nothrow) T[count]);
}

// Calls `call` with a block of *bytes bytes and again with the size it asks
// for while it answers `tooSmall`, a few times at most (the host may gain
// adapters between two calls). Answers the last call's result.
template <class T, class Call>
plat::DWORD CallGrowing(std::unique_ptr<T[]>* block, plat::ULONG* bytes, plat::DWORD tooSmall,
                        Call call) {
  plat::DWORD rc = plat::kERROR_NOT_ENOUGH_MEMORY;
  for (int attempt = 0; attempt < kSizingAttempts; ++attempt) {
    *block = Allocate<T>(bytes);
    rc = *block ? call(block->get(), bytes) : plat::kERROR_NOT_ENOUGH_MEMORY;
    if (rc != tooSmall) break;
  }
  return rc;
}

// Reads a number setting into an atomic field through a plain 32-bit value.
template <class Atomic>
void LoadNumber(CKELD3Register* reg, const char* name, Atomic* field, int* failures) {
  uint32_t value = static_cast<uint32_t>(field->load());
  if (reg->GetKeyValue(name, &value) != 0) ++*failures;
  field->store(static_cast<typename Atomic::value_type>(value));
}

}  // namespace

CKELD3Register g_Config;

CKELD3Register::CKELD3Register()
    : m_hKey(nullptr), BroadcastAddr(0), PortNumber(0), RetransmitInterval(0),
      MaxRetransmitTimes(0), CpuSendInterval(0), CpuBenchmark(0), StartMemInfo(0), MaxMemInfo(0),
      MemoryCheckInterval(0), PdhErrTotal(0), PdhErrCount(0), PdhErrCheckCount(0),
      PdhCalculateSkipCount(0), PdhCalculateSkipTotal(0), m_CpuInfo{0, 0}, CoordinatorAddresses{},
      m_bCoordinatorsListed(false), m_nCoordinatorNets(0), m_CoordinatorNets{}, SysError(0),
      ErrNo(0) {
  std::memset(LocalIPAddress, 0, sizeof(LocalIPAddress));
  std::memset(LocalMacAddress, 0, sizeof(LocalMacAddress));
  std::memset(SystemVersion, 0, sizeof(SystemVersion));
  std::memset(ServerType, 0, sizeof(ServerType));
}

CKELD3Register::~CKELD3Register() {
  if (m_hKey != nullptr) plat::RegCloseKey(m_hKey);
}

int CKELD3Register::OpenKey(const char* subkey) {
  KELD_TRACE_ENTER("CKELD3Register::OpenKey");
  plat::HKEY key = nullptr;
  plat::LONG rc = plat::RegOpenKeyExA(plat::kHKEY_LOCAL_MACHINE, KELD4_REGISTRY_KEY, 0,
                                      plat::kKEY_ALL_ACCESS, &key);
  if (rc != plat::kERROR_SUCCESS) {
    SysError = static_cast<uint32_t>(rc);
    ErrNo = 1501;
    g_log.WriteLog(ERR, "Open registry key %s error,syserror=%08x,errno=%d", kServiceName, Hex(rc),
                   1501);
    KELD_TRACE_LEAVE("CKELD3Register::OpenKey");
    return -1;
  }
  if (m_hKey != nullptr) plat::RegCloseKey(m_hKey);
  m_hKey = key;
  plat::HKEY sub = nullptr;
  rc = plat::RegOpenKeyExA(m_hKey, subkey, 0, plat::kKEY_ALL_ACCESS, &sub);
  if (rc != plat::kERROR_SUCCESS) {
    SysError = static_cast<uint32_t>(rc);
    ErrNo = 1501;
    g_log.WriteLog(ERR, "Open subkey: %s error,syserrno=%08x,errno=%d", subkey, Hex(rc), 1501);
    KELD_TRACE_LEAVE("CKELD3Register::OpenKey");
    return -1;
  }
  plat::RegCloseKey(m_hKey);
  m_hKey = sub;
  KELD_TRACE_LEAVE("CKELD3Register::OpenKey");
  return 0;
}

int CKELD3Register::CloseKey() {
  KELD_TRACE_ENTER("CKELD3Register::CloseKey");
  if (m_hKey == nullptr) {
    KELD_TRACE_LEAVE("CKELD3Register::CloseKey");
    return 0;
  }
  plat::LONG rc = plat::RegCloseKey(m_hKey);
  m_hKey = nullptr;
  if (rc != plat::kERROR_SUCCESS) {
    SysError = static_cast<uint32_t>(rc);
    ErrNo = 1502;
    g_log.WriteLog(ERR, "Close key error,syserrno=%08x,errno=%d", Hex(rc), 1502);
    KELD_TRACE_LEAVE("CKELD3Register::CloseKey");
    return -1;
  }
  KELD_TRACE_LEAVE("CKELD3Register::CloseKey");
  return 0;
}

int CKELD3Register::GetKeyValue(const char* name, uint32_t* value) {
  KELD_TRACE_ENTER("CKELD3Register::GetKeyValue");
  plat::DWORD size = sizeof(uint32_t);
  plat::LONG rc = plat::RegQueryValueExA(m_hKey, name, nullptr, nullptr,
                                         reinterpret_cast<plat::BYTE*>(value), &size);
  if (rc != plat::kERROR_SUCCESS) {
    SysError = static_cast<uint32_t>(rc);
    ErrNo = 1505;
    g_log.WriteLog(ERR, "Get key value:%s error,syserror=%08x,error=%d", name, Hex(rc), 1505);
    KELD_TRACE_LEAVE("CKELD3Register::GetKeyValue");
    return -1;
  }
  KELD_TRACE_LEAVE("CKELD3Register::GetKeyValue");
  return 0;
}

int CKELD3Register::GetKeyValue(const char* name, char* buffer, plat::DWORD* size) {
  KELD_TRACE_ENTER("CKELD3Register::GetKeyValue");
  plat::DWORD capacity = *size;
  plat::LONG rc = plat::RegQueryValueExA(m_hKey, name, nullptr, nullptr,
                                         reinterpret_cast<plat::BYTE*>(buffer), size);
  // The callers use the buffer as terminated text: data that fill it without
  // a terminator do not fit, shorter data without one get it added.
  if (rc == plat::kERROR_SUCCESS && (*size == 0 || buffer[*size - 1] != '\0')) {
    if (*size < capacity) {
      buffer[*size] = '\0';
    } else {
      rc = plat::kERROR_MORE_DATA;
    }
  }
  if (rc != plat::kERROR_SUCCESS) {
    SysError = static_cast<uint32_t>(rc);
    ErrNo = 1505;
    g_log.WriteLog(ERR, "Get key value:%s error,syserror=%08x,error=%d", name, Hex(rc), 1505);
    KELD_TRACE_LEAVE("CKELD3Register::GetKeyValue");
    return -1;
  }
  KELD_TRACE_LEAVE("CKELD3Register::GetKeyValue");
  return 0;
}

int CKELD3Register::SetKeyValue(const char* name, uint32_t value) {
  KELD_TRACE_ENTER("CKELD3Register::SetKeyValue");
  plat::LONG rc = plat::RegSetValueExA(m_hKey, name, 0, plat::kREG_DWORD,
                                       reinterpret_cast<const plat::BYTE*>(&value), sizeof(value));
  if (rc != plat::kERROR_SUCCESS) {
    SysError = static_cast<uint32_t>(rc);
    ErrNo = 1504;
    g_log.WriteLog(ERR, "Set key value:%s error,syserrno=%08x,errno=%d", name, Hex(rc), 1504);
    KELD_TRACE_LEAVE("CKELD3Register::SetKeyValue");
    return -1;
  }
  KELD_TRACE_LEAVE("CKELD3Register::SetKeyValue");
  return 0;
}

int CKELD3Register::SetKeyValue(const char* name, const char* text) {
  KELD_TRACE_ENTER("CKELD3Register::SetKeyValue");
  plat::LONG rc = plat::RegSetValueExA(m_hKey, name, 0, plat::kREG_SZ,
                                       reinterpret_cast<const plat::BYTE*>(text),
                                       static_cast<plat::DWORD>(std::strlen(text) + 1));
  if (rc != plat::kERROR_SUCCESS) {
    SysError = static_cast<uint32_t>(rc);
    ErrNo = 1504;
    g_log.WriteLog(ERR, "Set key value:%s,%s error,syserrno=%08x,errno=%d", name, text, Hex(rc),
                   1504);
    KELD_TRACE_LEAVE("CKELD3Register::SetKeyValue");
    return -1;
  }
  KELD_TRACE_LEAVE("CKELD3Register::SetKeyValue");
  return 0;
}

int CKELD3Register::CreateKey() {
  KELD_TRACE_ENTER("CKELD3Register::CreateKey");
  static const char* const kSubkeys[] = {"Parameter\\Log", "Parameter\\CpuLoad"};
  for (const char* subkey : kSubkeys) {
    char path[256];
    std::snprintf(path, sizeof(path), "%s\\%s", KELD4_REGISTRY_KEY, subkey);
    plat::HKEY key = nullptr;
    plat::DWORD disposition = 0;
    plat::LONG rc = plat::RegCreateKeyExA(plat::kHKEY_LOCAL_MACHINE, path, 0, nullptr,
                                          plat::kREG_OPTION_NON_VOLATILE, plat::kKEY_ALL_ACCESS,
                                          nullptr, &key, &disposition);
    if (rc != plat::kERROR_SUCCESS) {
      SysError = static_cast<uint32_t>(rc);
      ErrNo = 1500;
      g_log.WriteLog(ERR, "Create log key error,errno=%d, system error:%08x", 1500, Hex(rc));
      KELD_TRACE_LEAVE("CKELD3Register::CreateKey");
      return -1;
    }
    // The new key replaces the one held, which is closed rather than lost.
    if (m_hKey != nullptr) plat::RegCloseKey(m_hKey);
    m_hKey = key;
    plat::RegCloseKey(m_hKey);
    m_hKey = nullptr;
  }
  KELD_TRACE_LEAVE("CKELD3Register::CreateKey");
  return 0;
}

int CKELD3Register::LoadAllKeyValue() {
  KELD_TRACE_ENTER("CKELD3Register::LoadAllKeyValue");
  int failures = 0;
  auto text = [&](const char* name, char* buffer, plat::DWORD capacity) {
    plat::DWORD size = capacity;
    if (GetKeyValue(name, buffer, &size) != 0) ++failures;
  };
  auto number = [&](const char* name, uint32_t* field) {
    if (GetKeyValue(name, field) != 0) ++failures;
  };

  bool parameterOpen = OpenKey("Parameter") == 0;
  if (!parameterOpen) ++failures;
  text("LocalIPAddress", LocalIPAddress, sizeof(LocalIPAddress));
  text("LocalMacAddress", LocalMacAddress, sizeof(LocalMacAddress));
  number("PortNumber", &PortNumber);
  text("SystemVersion", SystemVersion, sizeof(SystemVersion));
  text("ServerType", ServerType, sizeof(ServerType));
  number("RetransmitInterval", &RetransmitInterval);
  number("MaxRetransmitTimes", &MaxRetransmitTimes);
  LoadNumber(this, "StartMemInfo", &StartMemInfo, &failures);
  LoadNumber(this, "MaxMemInfo", &MaxMemInfo, &failures);
  number("MemoryCheckInterval", &MemoryCheckInterval);
  LoadNumber(this, "PdhErrTotal", &PdhErrTotal, &failures);
  LoadNumber(this, "PdhErrCount", &PdhErrCount, &failures);
  number("PdhErrCheckCount", &PdhErrCheckCount);
  LoadNumber(this, "PdhCalculateSkipCount", &PdhCalculateSkipCount, &failures);
  LoadNumber(this, "PdhCalculateSkipTotal", &PdhCalculateSkipTotal, &failures);
  // Never from the agent's own key, where a failed open leaves m_hKey.
  if (parameterOpen && LoadCoordinatorAddresses() != 0) ++failures;
  if (CloseKey() != 0) ++failures;

  // The log's own settings go straight into the log object; its texts are
  // copied under its lock, since other threads may be composing its path.
  if (OpenKey("Parameter\\Log") != 0) ++failures;
  char directory[sizeof(g_log.LogDirectory)];
  char logName[sizeof(g_log.LogName)];
  {
    std::lock_guard<std::recursive_mutex> guard(g_log.Lock);
    std::memcpy(directory, g_log.LogDirectory, sizeof(directory));
    std::memcpy(logName, g_log.LogName, sizeof(logName));
  }
  int before = failures;
  text("LogDirectory", directory, sizeof(directory));
  if (failures == before) {
    std::lock_guard<std::recursive_mutex> guard(g_log.Lock);
    std::memcpy(g_log.LogDirectory, directory, sizeof(directory));
  }
  before = failures;
  text("LogName", logName, sizeof(logName));
  if (failures == before) {
    std::lock_guard<std::recursive_mutex> guard(g_log.Lock);
    std::memcpy(g_log.LogName, logName, sizeof(logName));
  }
  LoadNumber(this, "LogLevel", &g_log.LogLevel, &failures);
  LoadNumber(this, "LogControl", &g_log.LogControl, &failures);
  LoadNumber(this, "LogRefreshInterval", &g_log.LogRefreshInterval, &failures);
  LoadNumber(this, "LogMaxSpace", &g_log.LogMaxSpace, &failures);
  if (CloseKey() != 0) ++failures;

  if (OpenKey("Parameter\\CpuLoad") != 0) ++failures;
  LoadNumber(this, "CpuSendInterval", &CpuSendInterval, &failures);
  number("CpuBenchmark", &CpuBenchmark);
  if (CloseKey() != 0) ++failures;

  if (failures != 0) {
    ErrNo = 1503;
    g_log.WriteLog(ERR, "Get some key-value error,errno=%d", 1503);
    KELD_TRACE_LEAVE("CKELD3Register::LoadAllKeyValue");
    return -1;
  }
  KELD_TRACE_LEAVE("CKELD3Register::LoadAllKeyValue");
  return 0;
}

int CKELD3Register::LoadCoordinatorAddresses() {
  m_bCoordinatorsListed = false;
  m_nCoordinatorNets = 0;
  std::memset(CoordinatorAddresses, 0, sizeof(CoordinatorAddresses));
  char value[sizeof(CoordinatorAddresses)];
  plat::DWORD size = sizeof(value) - 1;
  plat::LONG rc = plat::RegQueryValueExA(m_hKey, "CoordinatorAddresses", nullptr, nullptr,
                                         reinterpret_cast<plat::BYTE*>(value), &size);
  if (rc == plat::kERROR_FILE_NOT_FOUND) return 0;  // optional: any coordinator is taken
  // A list that cannot be read takes no coordinator rather than any.
  m_bCoordinatorsListed = true;
  if (rc != plat::kERROR_SUCCESS) {
    SysError = static_cast<uint32_t>(rc);
    ErrNo = 1505;
    g_log.WriteLog(ERR, "Get key value:%s error,syserror=%08x,error=%d", "CoordinatorAddresses",
                   Hex(rc), 1505);
    return -1;
  }
  value[size] = '\0';
  uint32_t count = 0;
  if (!ParseCoordinatorAddresses(value, m_CoordinatorNets, MAX_COORDINATOR_NETS, &count)) {
    ErrNo = 1505;
    g_log.WriteLog(ERR, "CoordinatorAddresses is no list of IPv4 addresses or networks: %s", value);
    return -1;
  }
  std::memcpy(CoordinatorAddresses, value, sizeof(CoordinatorAddresses));
  m_nCoordinatorNets = count;
  return 0;
}

bool CKELD3Register::ParseCoordinatorAddresses(const char* text, CoordinatorNet* nets,
                                               uint32_t capacity, uint32_t* count) {
  *count = 0;
  const char* p = text;
  for (;;) {
    const char* end = std::strchr(p, ',');
    if (end == nullptr) end = p + std::strlen(p);
    while (p < end && (*p == ' ' || *p == '\t')) ++p;
    const char* last = end;
    while (last > p && (last[-1] == ' ' || last[-1] == '\t')) --last;
    std::string item(p, last);
    if (item.empty() || *count >= capacity) return false;
    int prefix = 32;
    size_t slash = item.find('/');
    if (slash != std::string::npos) {
      std::string bits = item.substr(slash + 1);
      if (bits.empty() || bits.size() > 2 ||
          bits.find_first_not_of("0123456789") != std::string::npos) {
        return false;
      }
      prefix = static_cast<int>(std::strtol(bits.c_str(), nullptr, 10));
      if (prefix > 32) return false;
      item.resize(slash);
    }
    uint32_t address = 0;
    // inet_pton takes exactly four decimal parts, nothing else.
    if (plat::inet_pton(plat::kAF_INET, item.c_str(), &address) != 1) return false;
    uint32_t mask = prefix == 0 ? 0 : plat::htonl(0xFFFFFFFFu << (32 - prefix));
    nets[*count] = CoordinatorNet{address & mask, mask};
    ++*count;
    if (*end == '\0') return true;
    p = end + 1;
  }
}

bool CKELD3Register::IsCoordinatorAllowed(uint32_t source) const {
  if (!m_bCoordinatorsListed) return true;
  for (uint32_t i = 0; i < m_nCoordinatorNets; ++i) {
    if ((source & m_CoordinatorNets[i].Mask) == m_CoordinatorNets[i].Addr) return true;
  }
  return false;
}

int CKELD3Register::GetCPUInfo() {
  KELD_TRACE_ENTER("CKELD3Register::GetCPUInfo");
  plat::HKEY key = nullptr;
  plat::LONG rc = plat::RegOpenKeyExA(plat::kHKEY_LOCAL_MACHINE, CPU_REGISTRY_KEY, 0,
                                      plat::kKEY_ALL_ACCESS, &key);
  if (rc != plat::kERROR_SUCCESS) {
    SysError = static_cast<uint32_t>(rc);
    ErrNo = 1506;
    g_log.WriteLog(ERR, "Open centralProcessor key error,syserrno=%08x,errno=%d", Hex(rc), 1506);
    KELD_TRACE_LEAVE("CKELD3Register::GetCPUInfo");
    return -1;
  }
  if (m_hKey != nullptr) plat::RegCloseKey(m_hKey);
  m_hKey = key;
  plat::DWORD subKeys = 0;
  rc = plat::RegQueryInfoKeyA(m_hKey, nullptr, nullptr, nullptr, &subKeys, nullptr, nullptr,
                              nullptr, nullptr, nullptr, nullptr, nullptr);
  if (rc != plat::kERROR_SUCCESS) {
    SysError = static_cast<uint32_t>(rc);
    g_log.WriteLog(ERR, "Get cpu key information error,syserror=%08x", Hex(rc));
    plat::RegCloseKey(m_hKey);
    m_hKey = nullptr;
    KELD_TRACE_LEAVE("CKELD3Register::GetCPUInfo");
    return -1;
  }
  plat::RegCloseKey(m_hKey);
  m_hKey = nullptr;
  m_CpuInfo.Count = subKeys;
  m_CpuInfo.TotalMHz = 0;
  for (plat::DWORD i = 0; i < m_CpuInfo.Count; ++i) {
    char path[128];
    std::snprintf(path, sizeof(path), "%s\\%d", CPU_REGISTRY_KEY, static_cast<int>(i));
    rc = plat::RegOpenKeyExA(plat::kHKEY_LOCAL_MACHINE, path, 0, plat::kKEY_ALL_ACCESS, &m_hKey);
    if (rc != plat::kERROR_SUCCESS) {
      SysError = static_cast<uint32_t>(rc);
      g_log.WriteLog(ERR, "Get cpu frequency Open error, syserror=%08x", Hex(rc));
      KELD_TRACE_LEAVE("CKELD3Register::GetCPUInfo");
      return -1;
    }
    uint32_t mhz = 0;
    plat::DWORD size = sizeof(mhz);
    rc = plat::RegQueryValueExA(m_hKey, "~MHz", nullptr, nullptr,
                                reinterpret_cast<plat::BYTE*>(&mhz), &size);
    if (rc != plat::kERROR_SUCCESS) {
      SysError = static_cast<uint32_t>(rc);
      g_log.WriteLog(ERR, "Get cpu frequency QueryValue error, syserror=%08x", Hex(rc));
      plat::RegCloseKey(m_hKey);
      m_hKey = nullptr;
      KELD_TRACE_LEAVE("CKELD3Register::GetCPUInfo");
      return -1;
    }
    g_log.WriteLog(DEBUG, "m_CpuInfo.CPUFrequency [%d] is:%08x", static_cast<int>(i), mhz);
    m_CpuInfo.TotalMHz += mhz;
    plat::RegCloseKey(m_hKey);
    m_hKey = nullptr;
  }
  KELD_TRACE_LEAVE("CKELD3Register::GetCPUInfo");
  return 0;
}

int CKELD3Register::AreIPChanged() {
  KELD_TRACE_ENTER("CKELD3Register::AreIPChanged");
  int opened = OpenKey("Parameter");
  plat::DWORD size = sizeof(LocalIPAddress);
  int read = GetKeyValue("LocalIPAddress", LocalIPAddress, &size);
  int closed = CloseKey();
  if (opened != 0 || read != 0 || closed != 0) {
    SysError = static_cast<uint32_t>(opened + read + closed);
    ErrNo = 1508;
    g_log.WriteLog(ERR, "Judge ip changed get ip from register error,syserror=%08x,error=%d",
                   SysError, 1508);
    KELD_TRACE_LEAVE("CKELD3Register::AreIPChanged");
    return -1;
  }

  plat::DWORD interfaces = 0;
  plat::DWORD rc = plat::GetNumberOfInterfaces(&interfaces);
  if (rc != plat::kERROR_SUCCESS) {
    SysError = rc;
    ErrNo = 1509;
    g_log.WriteLog(ERR, "Get interface number error,syserror=%08x,error=%d", rc, 1509);
    KELD_TRACE_LEAVE("CKELD3Register::AreIPChanged");
    return -1;
  }

  // The adapter list, in a buffer grown to what the host needs.
  plat::ULONG adapterBytes = kAdapterBufferBytes;
  std::unique_ptr<plat::IP_ADAPTER_INFO[]> adapters;
  rc = CallGrowing(&adapters, &adapterBytes, plat::kERROR_BUFFER_OVERFLOW,
                   [](plat::IP_ADAPTER_INFO* block, plat::ULONG* bytes) {
                     return plat::GetAdaptersInfo(block, bytes);
                   });
  const plat::IP_ADAPTER_INFO* list = nullptr;
  if (rc == plat::kERROR_SUCCESS) {
    list = adapters.get();
  } else if (rc != plat::kERROR_NOT_SUPPORTED) {
    SysError = rc;
    ErrNo = 1510;
    g_log.WriteLog(ERR, "Get adapter information error,syserror=%08x,error=%d", rc, 1510);
    KELD_TRACE_LEAVE("CKELD3Register::AreIPChanged");
    return -1;
  }

  std::unique_ptr<plat::DWORD[]> loopbacks(new (std::nothrow) plat::DWORD[interfaces + 1]);
  if (!loopbacks) {
    SysError = plat::kERROR_NOT_ENOUGH_MEMORY;
    ErrNo = 1510;
    g_log.WriteLog(ERR, "Get adapter information error,syserror=%08x,error=%d", SysError, 1510);
    KELD_TRACE_LEAVE("CKELD3Register::AreIPChanged");
    return -1;
  }
  plat::DWORD loopbackCount = 0;
  plat::DWORD walked = 0;
  for (const plat::IP_ADAPTER_INFO* a = list; a != nullptr && walked < interfaces;
       a = a->Next, ++walked) {
    for (const char* description : kLoopbackDescriptions) {
      if (std::strcmp(a->Description, description) == 0) {
        loopbacks[loopbackCount++] = a->Index;
        break;
      }
    }
  }

  plat::ULONG tableBytes = kAddressBufferBytes;
  std::unique_ptr<plat::MIB_IPADDRROW[]> rows;
  rc = CallGrowing(&rows, &tableBytes, plat::kERROR_INSUFFICIENT_BUFFER,
                   [](plat::MIB_IPADDRROW* block, plat::ULONG* bytes) {
                     return plat::GetIpAddrTable(reinterpret_cast<plat::MIB_IPADDRTABLE*>(block),
                                                 bytes, plat::kFALSE);
                   });
  const auto* table = reinterpret_cast<const plat::MIB_IPADDRTABLE*>(rows.get());
  if (rc != plat::kERROR_SUCCESS) {
    SysError = rc;
    ErrNo = 1511;
    g_log.WriteLog(ERR, "Get address table error,syserror=%08x,error=%d", rc, 1511);
    KELD_TRACE_LEAVE("CKELD3Register::AreIPChanged");
    return -1;
  }

  const auto* row = reinterpret_cast<const plat::MIB_IPADDRROW*>(
      reinterpret_cast<const char*>(table) + offsetof(plat::MIB_IPADDRTABLE, table));
  for (plat::DWORD i = 0; i < table->dwNumEntries; ++i, ++row) {
    bool onLoopback = false;
    for (plat::DWORD k = 0; k < loopbackCount && !onLoopback; ++k)
      onLoopback = loopbacks[k] == row->dwIndex;
    if (onLoopback) continue;
    // inet_ntoa's text, from the thread-safe call that writes the same.
    char text[plat::kINET_ADDRSTRLEN];
    uint32_t addr = row->dwAddr;
    if (plat::inet_ntop(plat::kAF_INET, &addr, text, sizeof(text)) == nullptr) continue;
    if (std::strcmp(text, LocalIPAddress) == 0) {
      BroadcastAddr = row->dwAddr | ~row->dwMask;
      KELD_TRACE_LEAVE("CKELD3Register::AreIPChanged");
      return 0;
    }
  }
  KELD_TRACE_LEAVE("CKELD3Register::AreIPChanged");
  return 1;
}
