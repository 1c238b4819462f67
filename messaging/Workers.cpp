// SPDX-License-Identifier: Apache-2.0
#include "messaging/Workers.h"

// Defined here, below the service host, so that the workers reach them
// without knowing who starts them.

std::atomic<uint32_t> StopCounter{0};
std::atomic<uint32_t> CpuSendPeriod{0};
std::atomic<uint32_t> AlivePeriod{0};
std::atomic<uint32_t> LogCheckPeriod{0};
std::atomic<uint32_t> MemoryCheckPeriod{0};
plat::HANDLE ReadToMasterRead = nullptr;
plat::HANDLE ReadToMasterWrite = nullptr;
plat::HANDLE MasterToWriteRead = nullptr;
plat::HANDLE MasterToWriteWrite = nullptr;
std::atomic<plat::DWORD> MasterThreadId{0};
