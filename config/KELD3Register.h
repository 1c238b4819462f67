// The registry configuration store: every setting of the agent and the
// counters it keeps across runs, under HKEY_LOCAL_MACHINE\SOFTWARE\Ostrel\KELD4.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/platform.h"

// The agent's key below HKEY_LOCAL_MACHINE.
constexpr const char* KELD4_REGISTRY_KEY = "SOFTWARE\\Ostrel\\KELD4";
constexpr const char* CPU_REGISTRY_KEY = "HARDWARE\\DESCRIPTION\\System\\CentralProcessor";

struct CpuInfo {
  uint32_t Count;
  uint32_t TotalMHz;
};

class CKELD3Register {
 public:
  CKELD3Register();
  virtual ~CKELD3Register();
  CKELD3Register(const CKELD3Register&) = delete;
  CKELD3Register& operator=(const CKELD3Register&) = delete;

  int OpenKey(const char* subkey);
  int CloseKey();
  int GetKeyValue(const char* name, uint32_t* value);
  int GetKeyValue(const char* name, char* buffer, plat::DWORD* size);
  int SetKeyValue(const char* name, uint32_t value);
  int SetKeyValue(const char* name, const char* text);
  int CreateKey();
  int LoadAllKeyValue();
  int GetCPUInfo();
  int AreIPChanged();

  plat::HKEY m_hKey;
  char LocalIPAddress[16];
  char LocalMacAddress[18];
  uint32_t BroadcastAddr;  // network byte order
  uint32_t PortNumber;
  char SystemVersion[128];
  char ServerType[64];
  uint32_t RetransmitInterval;
  uint32_t MaxRetransmitTimes;
  // Fields below change at run time on one thread while others read them.
  std::atomic<uint32_t> CpuSendInterval;
  uint32_t CpuBenchmark;
  std::atomic<uint32_t> StartMemInfo;
  std::atomic<uint32_t> MaxMemInfo;
  uint32_t MemoryCheckInterval;
  std::atomic<uint32_t> PdhErrTotal;
  std::atomic<uint32_t> PdhErrCount;
  uint32_t PdhErrCheckCount;
  std::atomic<uint32_t> PdhCalculateSkipCount;
  std::atomic<uint32_t> PdhCalculateSkipTotal;
  CpuInfo m_CpuInfo;
  uint32_t SysError;
  uint32_t ErrNo;
};

extern CKELD3Register g_Config;
