// SPDX-License-Identifier: Apache-2.0
// What the three worker threads share with each other and with the service
// host that starts them: the thread messages to the master, the stop counter,
// the scheduler periods the master sets, the pipes and the master's id.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/platform.h"

// Thread messages to the master thread (both parameters 0).
constexpr plat::UINT WM_SEND_CPU_LOAD = plat::kWM_USER + 1;  // 1025
constexpr plat::UINT WM_SEND_ALIVE = plat::kWM_USER + 3;     // 1027
constexpr plat::UINT WM_MSG_ARRIVED = plat::kWM_USER + 10;   // 1034
// Posted by the main thread when a restart begins, so that a master waiting
// for its next message looks at StopCounter; the master ignores it otherwise.
constexpr plat::UINT WM_WAKE_MASTER = plat::kWM_USER + 20;

// 0 while the worker threads may run; any other value tells them to end.
extern std::atomic<uint32_t> StopCounter;

// Scheduler periods in seconds (0 switches an activity off).
extern std::atomic<uint32_t> CpuSendPeriod;
extern std::atomic<uint32_t> AlivePeriod;
extern std::atomic<uint32_t> LogCheckPeriod;
extern std::atomic<uint32_t> MemoryCheckPeriod;

// The current generation's pipes and the master thread's id.
extern plat::HANDLE ReadToMasterRead;
extern plat::HANDLE ReadToMasterWrite;
extern plat::HANDLE MasterToWriteRead;
extern plat::HANDLE MasterToWriteWrite;
extern std::atomic<plat::DWORD> MasterThreadId;
