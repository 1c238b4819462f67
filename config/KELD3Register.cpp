#include "config/KELD3Register.h"

#include <cstring>

#include "log/Log.h"

CKELD3Register::CKELD3Register()
    : m_hKey(nullptr), BroadcastAddr(0), PortNumber(0), RetransmitInterval(0), MaxRetransmitTimes(0),
      CpuSendInterval(0), CpuBenchmark(0), StartMemInfo(0), MaxMemInfo(0), MemoryCheckInterval(0),
      PdhErrTotal(0), PdhErrCount(0), PdhErrCheckCount(0), PdhCalculateSkipCount(0),
      PdhCalculateSkipTotal(0), m_CpuInfo{0, 0}, SysError(0), ErrNo(0) {
  std::memset(LocalIPAddress, 0, sizeof(LocalIPAddress));
  std::memset(LocalMacAddress, 0, sizeof(LocalMacAddress));
  std::memset(SystemVersion, 0, sizeof(SystemVersion));
  std::memset(ServerType, 0, sizeof(ServerType));
}

CKELD3Register::~CKELD3Register() {
  if (m_hKey != nullptr) plat::RegCloseKey(m_hKey);
}
