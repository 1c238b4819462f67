// SPDX-License-Identifier: Apache-2.0
// The CPU load sampler: one performance-data query with the processor-time
// counter, a baseline and a newest raw sample, and the window rule that
// decides whether a load may be computed between them.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/platform.h"

class CGetCpuLoad {
 public:
  CGetCpuLoad();
  virtual ~CGetCpuLoad();
  CGetCpuLoad(const CGetCpuLoad&) = delete;
  CGetCpuLoad& operator=(const CGetCpuLoad&) = delete;

  int init();
  // countSkip false: a window too short only moves the baseline (the first
  // refresh of a new master thread), never counting towards a drop-out.
  int refresh(bool countSkip = true);
  int caculate_right();
  int ActPdhCollectQueryData(int32_t code);
  int ActPdhGetRawCounterValue(int32_t code, plat::PDH_RAW_COUNTER* raw);
  void ActPdhRemoveCounter();
  void ActPdhCloseQuery();
  void ReportPdhError(const char* where, const char* api, const char* detail);

  uint32_t m_dwPdhStatus;
  int32_t m_nLocalError;
  uint32_t m_dwCpuSpeed;
  int32_t m_lCpuValue;
  const char* m_szCounterPath;
  plat::PDH_HCOUNTER m_hCounter;
  plat::PDH_FMT_COUNTERVALUE m_FmtValue;
  plat::PDH_RAW_COUNTER m_RawPrev;
  plat::PDH_RAW_COUNTER m_RawCur;
  uint32_t m_dwCpuLoad;
  plat::SYSTEMTIME m_stCollect;
  plat::PDH_HQUERY m_hqQuery;
  // The window in seconds (the master's CpuSendInterval); set by the master.
  const std::atomic<uint32_t>* m_pInterval = nullptr;
};

// Ends the process when failed calculations or skips in a row pass the limit.
// The service host points it at its own drop-out (an event, then exit code
// 0xFFFFFFFF) before the sampler first runs; until then it only exits.
extern void (*g_pfnDropOut)();

// Failed calculations and skips in a row, for the drop-out limits.
extern uint32_t g_PdhContinuousErrors;
extern uint32_t g_PdhContinuousSkips;
