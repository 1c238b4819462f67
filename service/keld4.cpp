// SPDX-License-Identifier: Apache-2.0
// The service host's start-up, the main thread's message loop with worker
// supervision, and the shutdown.
#include "service/keld4.h"

#include "config/KELD3Register.h"
#include "log/Log.h"
#include "messaging/Master.h"
#include "messaging/Read.h"
#include "messaging/Workers.h"
#include "messaging/Write.h"

namespace {

bool IsRunning(plat::HANDLE thread) {
  plat::DWORD code = 0;
  return thread != nullptr && plat::GetExitCodeThread(thread, &code) && code == plat::kSTILL_ACTIVE;
}

void ClosePipesAndSockets(ServiceHostState& host) {
  if (host.PipesOpen) {
    plat::CloseHandle(ReadToMasterRead);
    plat::CloseHandle(ReadToMasterWrite);
    plat::CloseHandle(MasterToWriteRead);
    plat::CloseHandle(MasterToWriteWrite);
    host.PipesOpen = false;
  }
  g_Read.close_socket();
  g_Write.close_socket();
}

void CloseThreadHandles(ServiceHostState& host) {
  for (plat::HANDLE* h : {&host.MasterThread, &host.ReadThread, &host.WriteThread}) {
    if (*h != nullptr) plat::CloseHandle(*h);
    *h = nullptr;
  }
}

// Ends the workers of the current generation in the order master, read,
// write: the master is told to quit (and sends its down message), a worker
// still running is released from its blocking call and waited for. Answers
// whether all three have ended.
bool EndWorkers(ServiceHostState& host) {
  plat::PostThreadMessageA(MasterThreadId.load(), plat::kWM_QUIT, 0, 0);
  plat::Sleep(500);
  if (IsRunning(host.MasterThread)) {
    plat::PostThreadMessageA(MasterThreadId.load(), plat::kWM_QUIT, 0, 0);
    ClosePipesAndSockets(host);
    plat::WaitForSingleObject(host.MasterThread, 500);
  }
  if (IsRunning(host.ReadThread)) {
    g_Read.close_socket();
    plat::WaitForSingleObject(host.ReadThread, 500);
  }
  if (IsRunning(host.WriteThread)) {
    ClosePipesAndSockets(host);
    plat::WaitForSingleObject(host.WriteThread, 500);
  }
  ClosePipesAndSockets(host);
  bool ended =
      !IsRunning(host.MasterThread) && !IsRunning(host.ReadThread) && !IsRunning(host.WriteThread);
  CloseThreadHandles(host);
  return ended;
}

// Exit code of a start or restart that failed: non-zero, so that the service
// manager's restart-on-failure action applies.
constexpr plat::DWORD kFailedExitCode = 1;

}  // namespace

void CServiceModule::Run() {
  MainThreadId = plat::GetCurrentThreadId();
  ProcessId = plat::GetCurrentProcessId();
  // The thread's queue exists from here, so a stop request that comes during
  // start-up is kept for the message loop instead of being lost.
  plat::MSG msg;
  plat::PeekMessageA(&msg, nullptr, 0, 0, plat::kPM_NOREMOVE);
  KELD_TRACE_ENTER("CServiceModule::Run");
  if (ServiceFlag) SetStatus(plat::kSERVICE_RUNNING);
  if (StartUp() == 0) {
    MessageLoop();
    ShutDown();
  } else {
    SetExitCode(kFailedExitCode);
  }
  KELD_TRACE_LEAVE("CServiceModule::Run");
}

int CServiceModule::StartUp() {
  if (AddEventSource() != 0) {
    g_log.WriteLog(ERR, "AddEventSource() error");
    return -1;
  }

  // Lives until the memory figures are written at the end of the start.
  CKELD3Register startReg;
  // A failed open leaves the agent's own key open: write nothing there.
  bool parameterOpen = startReg.OpenKey("Parameter") == 0;
  g_Config.PdhErrCount = 0;
  if (parameterOpen) startReg.SetKeyValue("PdhErrCount", 0u);
  g_Config.PdhCalculateSkipCount = 0;
  if (parameterOpen) startReg.SetKeyValue("PdhCalculateSkipCount", 0u);
  startReg.CloseKey();

  if (LoadSettings() != 0) return -1;

  MemoryCheckPeriod = g_Config.MemoryCheckInterval;
  AlivePeriod = 0;
  CpuSendPeriod = 0;
  m_Host.Timer = plat::SetTimer(nullptr, 0, 1000, OnTimerTick);
  if (m_Host.Timer == 0) {
    g_log.WriteLog(ERR, "Can not create timer. System error:%08x", plat::GetLastError());
    return -1;
  }

  g_Master.CoordinatorAddr = g_Config.BroadcastAddr;
  g_Master.LocalAddr = plat::inet_addr(g_Config.LocalIPAddress);
  g_Master.CpuSendInterval = g_Config.CpuSendInterval.load();
  g_Master.StoredCpuSendInterval = g_Config.CpuSendInterval.load();
  g_log.WriteLog(DEBUG, "There are %d CPUs in the host.",
                 static_cast<int>(g_Config.m_CpuInfo.Count));
  g_Master.Sampler.m_dwCpuSpeed = g_Config.m_CpuInfo.TotalMHz;
  g_log.WriteLog(DEBUG, "Speed of CPU _Total is:%08x", g_Master.Sampler.m_dwCpuSpeed);

  g_pfnDropOut = DropOut;
  if (g_Master.Sampler.init() != 0) {
    g_log.WriteLog(ERR, "CMaster init error, Service will be stopped");
    plat::Sleep(2000);
    plat::KillTimer(nullptr, m_Host.Timer);
    return -1;
  }

  StopCounter = 0;
  if (InitializeBefore() != 0) {
    plat::KillTimer(nullptr, m_Host.Timer);
    // Workers that were already started are ended before Run returns, so
    // none of them outlives the objects it uses.
    ++StopCounter;
    m_WorkersEnded = EndWorkers(m_Host);
    return -1;
  }

  g_log.WriteLog(INFO, "KELD4 service started");
  ReportToEventLog(this, EVENT_KIND_INFORMATION, "KELD4 service started");

  MeasureStartMemory(startReg);
  return 0;
}

// The settings and the host they describe, then the log they configure.
// Answers -1, having written why, when the agent cannot start with them.
int CServiceModule::LoadSettings() {
  if (g_Config.LoadAllKeyValue() != 0) {
    g_log.WriteLog(ERR, "Read from register error");
    ReportToEventLog(this, EVENT_KIND_ERROR, "Read from register error");
    return -1;
  }
  if (g_Config.AreIPChanged() != 0) {
    g_log.WriteLog(ERR,
                   "IP address has been changed since installed or somebody modified the registry. "
                   "Can not find the "
                   "IP address %s",
                   g_Config.LocalIPAddress);
    ReportToEventLog(
        this, EVENT_KIND_ERROR,
        "IP address has been changed since installed or somebody modified the registry.");
    return -1;
  }
  if (g_Config.PortNumber > 0xFFFF) {
    g_log.WriteLog(ERR, "Too large port number : %d", static_cast<int>(g_Config.PortNumber));
    ReportToEventLog(this, EVENT_KIND_ERROR, "Too large port number");
    return -1;
  }
  if (g_Config.GetCPUInfo() != 0) {
    g_log.WriteLog(ERR, "Get CPU Information error");
    ReportToEventLog(this, EVENT_KIND_ERROR, "Get CPU Information error");
    return -1;
  }
  if (g_log.InitLog() != 0) {
    ReportToEventLog(this, EVENT_KIND_ERROR, "Can not initialization log correctly");
    return -1;
  }
  return 0;
}

// The memory baseline: retried until a measurement succeeds, unless the
// registry already gave a nonzero figure to fall back on; then stored with
// the limit derived from it.
void CServiceModule::MeasureStartMemory(CKELD3Register& startReg) {
  do {
    uint32_t peak = 0;
    plat::DWORD error = 0;
    int stage = 0;
    if (ReadPeakWorkingSet(&peak, &error, &stage)) {
      g_Config.StartMemInfo = peak;
      g_Config.MaxMemInfo = 2 * peak;
    } else {
      g_log.WriteLog(ERR,
                     stage == 1 ? "CMaster init error, OpenProcess() SystemError:%08x"
                                : "CMaster init error, GetProcessMemoryInfo() SystemError:%08x",
                     error);
      plat::Sleep(5000);
    }
  } while (g_Config.StartMemInfo == 0);

  startReg.OpenKey("Parameter");
  startReg.SetKeyValue("StartMemInfo", g_Config.StartMemInfo.load());
  startReg.SetKeyValue("MaxMemInfo", g_Config.MaxMemInfo.load());
  startReg.CloseKey();
}

// Dispatches the timer and supervises the workers: when one has ended, all
// three are released and waited for, and a new generation is started.
void CServiceModule::MessageLoop() {
  plat::MSG msg;
  bool restartClosed = false;
  for (;;) {
    plat::BOOL got = plat::GetMessageA(&msg, nullptr, 0, 0);
    if (got == 0) break;
    if (got > 0) plat::DispatchMessageA(&msg);

    if (StopCounter == 0) {
      for (plat::HANDLE thread : {m_Host.MasterThread, m_Host.ReadThread, m_Host.WriteThread}) {
        if (!IsRunning(thread)) ++StopCounter;
      }
      if (StopCounter == 0) continue;
    }
    if (!restartClosed) {
      ClosePipesAndSockets(m_Host);
      restartClosed = true;
    }
    if (IsRunning(m_Host.MasterThread)) {
      // The master looks at StopCounter only after a message; before the
      // first Coor_alive nothing else would ever come.
      plat::PostThreadMessageA(MasterThreadId.load(), WM_WAKE_MASTER, 0, 0);
    }
    if (IsRunning(m_Host.MasterThread) || IsRunning(m_Host.ReadThread) ||
        IsRunning(m_Host.WriteThread))
      continue;

    CloseThreadHandles(m_Host);
    plat::Sleep(500);
    StopCounter = 0;
    restartClosed = false;
    if (InitializeBefore() != 0) {
      g_log.WriteLog(ERR, "Restore the service error");
      SetExitCode(kFailedExitCode);
      break;
    }
  }
}

void CServiceModule::ShutDown() {
  ++StopCounter;
  plat::KillTimer(nullptr, m_Host.Timer);
  bool workersEnded = EndWorkers(m_Host);

  g_log.WriteLog(INFO, "KELD4 service stopped");
  ReportToEventLog(this, EVENT_KIND_INFORMATION, "KELD4 service stopped");
  m_WorkersEnded = workersEnded;
}

int CServiceModule::InitializeBefore() {
  KELD_TRACE_ENTER("CServiceModule::InitializeBefore");
  if (!plat::CreatePipe(&ReadToMasterRead, &ReadToMasterWrite, nullptr, 0)) {
    g_log.WriteLog(ERR, "Can not create read_to_master pipe");
    KELD_TRACE_LEAVE("CServiceModule::InitializeBefore");
    return -1;
  }
  if (!plat::CreatePipe(&MasterToWriteRead, &MasterToWriteWrite, nullptr, 0)) {
    plat::CloseHandle(ReadToMasterRead);
    plat::CloseHandle(ReadToMasterWrite);
    g_log.WriteLog(ERR, "Can not create master_to_write pipe");
    KELD_TRACE_LEAVE("CServiceModule::InitializeBefore");
    return -1;
  }
  m_Host.PipesOpen = true;
  g_Master.ReadPipe = &ReadToMasterRead;
  g_Master.WritePipe = &MasterToWriteWrite;

  g_Read.Port = plat::htons(static_cast<uint16_t>(g_Config.PortNumber));
  g_Read.OutPipe = &ReadToMasterWrite;
  g_Read.MasterThreadId = &MasterThreadId;
  if (g_Read.init() != 0) {
    g_log.WriteLog(ERR, "CRead init error");
    KELD_TRACE_LEAVE("CServiceModule::InitializeBefore");
    return -1;
  }
  g_Write.Port = plat::htons(static_cast<uint16_t>(g_Config.PortNumber));
  g_Write.InPipe = &MasterToWriteRead;
  if (g_Write.init() != 0) {
    g_log.WriteLog(ERR, "CWrite init error");
    KELD_TRACE_LEAVE("CServiceModule::InitializeBefore");
    return -1;
  }

  plat::DWORD id = 0;
  m_Host.MasterThread = plat::CreateThread(nullptr, 0, MasterThreadStart, nullptr, 0, &id);
  if (m_Host.MasterThread == nullptr) {
    g_log.WriteLog(ERR, "Can not create master thread. System error:%08x", plat::GetLastError());
    KELD_TRACE_LEAVE("CServiceModule::InitializeBefore");
    return -1;
  }
  MasterThreadId = id;
  m_Host.ReadThread =
      plat::CreateThread(nullptr, 0, ReadThreadStart, nullptr, 0, &m_Host.ReadThreadId);
  if (m_Host.ReadThread == nullptr) {
    g_log.WriteLog(ERR, "Can not create read thread. System error:%08x", plat::GetLastError());
    KELD_TRACE_LEAVE("CServiceModule::InitializeBefore");
    return -1;
  }
  m_Host.WriteThread =
      plat::CreateThread(nullptr, 0, WriteThreadStart, nullptr, 0, &m_Host.WriteThreadId);
  if (m_Host.WriteThread == nullptr) {
    g_log.WriteLog(ERR, "Can not create write thread. System error:%08x", plat::GetLastError());
    KELD_TRACE_LEAVE("CServiceModule::InitializeBefore");
    return -1;
  }
  KELD_TRACE_LEAVE("CServiceModule::InitializeBefore");
  return 0;
}
