// SPDX-License-Identifier: Apache-2.0
// The registry configuration store: every setting of the agent and the
// counters it keeps across runs, under kHKEY_LOCAL_MACHINE\SOFTWARE\Ostrel\KELD4.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/platform.h"

// The agent's key below kHKEY_LOCAL_MACHINE.
constexpr const char* KELD4_REGISTRY_KEY = "SOFTWARE\\Ostrel\\KELD4";
constexpr const char* CPU_REGISTRY_KEY = "HARDWARE\\DESCRIPTION\\System\\CentralProcessor";

// One entry of CoordinatorAddresses: an address and its network mask, both
// in network byte order.
struct CoordinatorNet {
  uint32_t Addr;
  uint32_t Mask;
};
constexpr uint32_t MAX_COORDINATOR_NETS = 64;

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
  // Whether a Coor_alive from this UDP source (network byte order) is taken:
  // always when CoordinatorAddresses is absent, else when it is listed.
  bool IsCoordinatorAllowed(uint32_t source) const;
  // Reads CoordinatorAddresses from the open key; an absent value is no
  // failure. 0, or -1 after an ERR line.
  int LoadCoordinatorAddresses();
  // "a.b.c.d" or "a.b.c.d/n" items separated by commas, blanks around them
  // ignored; false when an item is neither, or there is none or too many.
  static bool ParseCoordinatorAddresses(const char* text, CoordinatorNet* nets, uint32_t capacity,
                                        uint32_t* count);

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
  // The optional CoordinatorAddresses of "Parameter"; loaded before the
  // worker threads start and only read afterwards.
  char CoordinatorAddresses[1024];
  bool m_bCoordinatorsListed;
  uint32_t m_nCoordinatorNets;
  CoordinatorNet m_CoordinatorNets[MAX_COORDINATOR_NETS];
  uint32_t SysError;
  uint32_t ErrNo;
};

extern CKELD3Register g_Config;
