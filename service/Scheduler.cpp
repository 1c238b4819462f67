// SPDX-License-Identifier: Apache-2.0
// The one-second scheduler, the memory check and the drop-out.
#include "config/KELD3Register.h"
#include "log/Log.h"
#include "messaging/Workers.h"
#include "service/keld4.h"

namespace {

// One scheduler step: count a tick, and when the period is reached reset the
// count and act unless the period is 0 (off).
bool Due(uint32_t* ticks, uint32_t period) {
  ++*ticks;
  if (*ticks >= period) {
    *ticks = 0;
    return period != 0;
  }
  return false;
}

}  // namespace

bool CServiceModule::ReadPeakWorkingSet(uint32_t* peak, plat::DWORD* error, int* stage) {
  plat::HANDLE process = plat::OpenProcess(
      plat::kPROCESS_QUERY_INFORMATION | plat::kPROCESS_VM_READ, plat::kFALSE, ProcessId);
  if (process == nullptr) {
    *error = plat::GetLastError();
    *stage = 1;
    return false;
  }
  plat::PROCESS_MEMORY_COUNTERS pmc{};
  if (!plat::GetProcessMemoryInfo(process, &pmc, sizeof(pmc))) {
    *error = plat::GetLastError();
    *stage = 2;
    plat::CloseHandle(process);
    return false;
  }
  *peak = static_cast<uint32_t>(pmc.PeakWorkingSetSize);
  plat::CloseHandle(process);
  return true;
}

void OnTimerTick(void* /*hwnd*/, plat::UINT /*message*/, plat::UINT_PTR /*id*/,
                 plat::DWORD /*time*/) {
  ServiceHostState& host = _Module.m_Host;
  if (Due(&host.CpuSendTicks, CpuSendPeriod.load())) {
    plat::PostThreadMessageA(MasterThreadId.load(), WM_SEND_CPU_LOAD, 0, 0);
  }
  if (Due(&host.LogCheckTicks, LogCheckPeriod.load())) {
    if (g_log.GetLogStatus() == 1 && g_log.BackupLogFile() == 0) {
      g_log.WriteLog(DEBUG, "The log file was backed up");
    }
  }
  if (Due(&host.AliveTicks, AlivePeriod.load())) {
    plat::PostThreadMessageA(MasterThreadId.load(), WM_SEND_ALIVE, 0, 0);
  }
  if (Due(&host.MemoryCheckTicks, MemoryCheckPeriod.load())) ChkMemoryleak();
}

void ChkMemoryleak() {
  {
    CKELD3Register reg;
    uint32_t limit = 0;
    if (reg.OpenKey("Parameter") == 0 && reg.GetKeyValue("MaxMemInfo", &limit) == 0)
      g_Config.MaxMemInfo = limit;
    reg.CloseKey();
  }
  uint32_t limit = g_Config.MaxMemInfo.load();
  g_log.WriteLog(DEBUG, "Memory Leak Check :Limit=0x%08x", limit);
  uint32_t current = 0;
  plat::DWORD error = 0;
  int stage = 0;
  if (!_Module.ReadPeakWorkingSet(&current, &error, &stage)) {
    if (stage == 1) {
      g_log.WriteLog(ERR, "ChkMemoryleak error, OpenProcess() SystemError:%08x", error);
    } else {
      g_log.WriteLog(ERR, "ChkMemoryleak error, GetProcessMemoryInfo() SystemError:%08x", error);
    }
    return;
  }
  g_log.WriteLog(DEBUG, "Memory Leak Check :Current=0x%08x", current);
  if (limit >= current) return;
  g_log.WriteLog(ERR, "Memory Leak :Limit=0x%08x < Current=0x%08x", limit, current);
  g_log.WriteLog(ERR, "Pdh_Error KELD4 service DropOut");
  DropOut();
}

void DropOut() {
  ReportToEventLog(&_Module, EVENT_KIND_ERROR, "Pdh_Error KELD4 service DropOut.");
  plat::ExitProcess(0xFFFFFFFF);
}
