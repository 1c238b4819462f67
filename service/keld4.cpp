// The service host: entry into the service manager, start-up, the main
// thread's message loop with worker supervision, the one-second scheduler and
// the memory check.
#include "service/keld4.h"

#include <cstdio>
#include <cstring>

#include "config/KELD3Register.h"
#include "log/Log.h"
#include "messaging/Master.h"
#include "messaging/Read.h"
#include "messaging/Write.h"
#include "service/Shared.h"

namespace {

// The worker threads of the current generation (main thread only).
plat::HANDLE g_MasterThread = nullptr;
plat::HANDLE g_ReadThread = nullptr;
plat::HANDLE g_WriteThread = nullptr;
plat::DWORD g_ReadThreadId = 0;
plat::DWORD g_WriteThreadId = 0;
// Whether this generation's pipes are still open (main thread only).
bool g_PipesOpen = false;

// The scheduler's tick counters; never reset by a restart.
uint32_t CpuSendTicks = 0;
uint32_t LogCheckTicks = 0;
uint32_t AliveTicks = 0;
uint32_t MemoryCheckTicks = 0;

bool IsRunning(plat::HANDLE thread) {
  plat::DWORD code = 0;
  return thread != nullptr && plat::GetExitCodeThread(thread, &code) && code == plat::kSTILL_ACTIVE;
}

void ClosePipesAndSockets() {
  if (g_PipesOpen) {
    plat::CloseHandle(ReadToMasterRead);
    plat::CloseHandle(ReadToMasterWrite);
    plat::CloseHandle(MasterToWriteRead);
    plat::CloseHandle(MasterToWriteWrite);
    g_PipesOpen = false;
  }
  g_Read.close_socket();
  g_Write.close_socket();
}

void CloseThreadHandles() {
  for (plat::HANDLE* h : {&g_MasterThread, &g_ReadThread, &g_WriteThread}) {
    if (*h != nullptr) plat::CloseHandle(*h);
    *h = nullptr;
  }
}

// The peak working set of the own process in bytes. false with the system
// error code when it cannot be read; `stage` tells which call failed.
bool ReadPeakWorkingSet(plat::DWORD processId, uint32_t* peak, plat::DWORD* error, int* stage) {
  plat::HANDLE process = plat::OpenProcess(
      plat::kPROCESS_QUERY_INFORMATION | plat::kPROCESS_VM_READ, plat::kFALSE, processId);
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

// Ends the workers of the current generation in the order master, read,
// write: the master is told to quit (and sends its down message), a worker
// still running is released from its blocking call and waited for. Answers
// whether all three have ended.
bool EndWorkers() {
  plat::PostThreadMessageA(MasterThreadId.load(), plat::kWM_QUIT, 0, 0);
  plat::Sleep(500);
  if (IsRunning(g_MasterThread)) {
    plat::PostThreadMessageA(MasterThreadId.load(), plat::kWM_QUIT, 0, 0);
    ClosePipesAndSockets();
    plat::WaitForSingleObject(g_MasterThread, 500);
  }
  if (IsRunning(g_ReadThread)) {
    g_Read.close_socket();
    plat::WaitForSingleObject(g_ReadThread, 500);
  }
  if (IsRunning(g_WriteThread)) {
    ClosePipesAndSockets();
    plat::WaitForSingleObject(g_WriteThread, 500);
  }
  ClosePipesAndSockets();
  bool ended = !IsRunning(g_MasterThread) && !IsRunning(g_ReadThread) && !IsRunning(g_WriteThread);
  CloseThreadHandles();
  return ended;
}

// Exit code of a start or restart that failed: non-zero, so that the service
// manager's restart-on-failure action applies.
constexpr plat::DWORD kFailedExitCode = 1;

}  // namespace

// ---------------------------------------------------------------- scheduler
void OnTimerTick(void* /*hwnd*/, plat::UINT /*message*/, plat::UINT_PTR /*id*/,
                 plat::DWORD /*time*/) {
  if (Due(&CpuSendTicks, CpuSendPeriod.load())) {
    plat::PostThreadMessageA(MasterThreadId.load(), WM_SEND_CPU_LOAD, 0, 0);
  }
  if (Due(&LogCheckTicks, LogCheckPeriod.load())) {
    if (g_log.GetLogStatus() == 1 && g_log.BackupLogFile() == 0) {
      g_log.WriteLog(DEBUG, "The log file was backed up");
    }
  }
  if (Due(&AliveTicks, AlivePeriod.load())) {
    plat::PostThreadMessageA(MasterThreadId.load(), WM_SEND_ALIVE, 0, 0);
  }
  if (Due(&MemoryCheckTicks, MemoryCheckPeriod.load())) ChkMemoryleak();
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
  if (!ReadPeakWorkingSet(_Module.ProcessId, &current, &error, &stage)) {
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

void ResetSchedulerForTest() { CpuSendTicks = LogCheckTicks = AliveTicks = MemoryCheckTicks = 0; }

// ---------------------------------------------------------------- entry
CServiceModule::CServiceModule()
    : m_szServiceName{}, m_hServiceStatus(nullptr), m_status{}, MainThreadId(0), ProcessId(0),
      ServiceFlag(0), m_szTypeLibId{} {}

CServiceModule::~CServiceModule() = default;

void CServiceModule::Prepare(void* /*instance*/, unsigned /*stringId*/, const char* typeLibId) {
  std::snprintf(m_szTypeLibId, sizeof(m_szTypeLibId), "%s", typeLibId);
  ServiceFlag = 1;
  // String resource 100.
  std::snprintf(m_szServiceName, sizeof(m_szServiceName), "%s", "keld4");
  m_status.dwServiceType = plat::kSERVICE_WIN32_OWN_PROCESS;
  m_status.dwCurrentState = plat::kSERVICE_STOPPED;
  m_status.dwControlsAccepted = plat::kSERVICE_ACCEPT_STOP;
  m_status.dwWin32ExitCode = 0;
  m_status.dwServiceSpecificExitCode = 0;
  m_status.dwCheckPoint = 0;
  m_status.dwWaitHint = 0;
  m_hServiceStatus = nullptr;
}

namespace {
// As a plain process, Ctrl-C and SIGTERM stop the agent in order, as the
// stop control does under the service manager.
void ConsoleStop(plat::DWORD /*signal*/) {
  for (int i = 0; i < 500; ++i) {
    if (plat::PostThreadMessageA(_Module.MainThreadId.load(), plat::kWM_QUIT, 0, 0)) return;
    plat::Sleep(10);
  }
}
}  // namespace

void CServiceModule::StartDispatch() {
  if (ServiceFlag == 1) {
    plat::SERVICE_TABLE_ENTRYA table[] = {{m_szServiceName, &CServiceModule::ServiceEntry},
                                          {nullptr, nullptr}};
    if (!plat::StartServiceCtrlDispatcherA(table)) ServiceFlag = 0;
  }
  if (ServiceFlag == 0) {
    plat::SetConsoleCtrlHandler(ConsoleStop);
    Run();
  }
}

void CServiceModule::ServiceEntry(plat::DWORD /*argc*/, char** /*argv*/) {
  _Module.m_status.dwCurrentState = plat::kSERVICE_START_PENDING;
  plat::SERVICE_STATUS_HANDLE handle =
      plat::RegisterServiceCtrlHandlerA(_Module.m_szServiceName, &CServiceModule::ControlHandler);
  {
    std::lock_guard<std::mutex> guard(_Module.m_StatusLock);
    _Module.m_hServiceStatus = handle;
  }
  if (handle == nullptr) {
    ReportToEventLog(&_Module, EVENT_KIND_ERROR, "Handler not installed");
    return;
  }
  _Module.SetStatus(plat::kSERVICE_START_PENDING);
  {
    std::lock_guard<std::mutex> guard(_Module.m_StatusLock);
    _Module.m_status.dwWin32ExitCode = 0;
    _Module.m_status.dwCheckPoint = 0;
    _Module.m_status.dwWaitHint = 0;
  }
  _Module.Run();
  _Module.SetStatus(plat::kSERVICE_STOPPED);
}

void CServiceModule::ControlHandler(plat::DWORD control) {
  switch (control) {
    case plat::kSERVICE_CONTROL_STOP:
      _Module.SetStatus(plat::kSERVICE_STOP_PENDING);
      plat::PostThreadMessageA(_Module.MainThreadId.load(), plat::kWM_QUIT, 0, 0);
      break;
    case plat::kSERVICE_CONTROL_PAUSE:
    case plat::kSERVICE_CONTROL_CONTINUE:
    case plat::kSERVICE_CONTROL_INTERROGATE:
    case plat::kSERVICE_CONTROL_SHUTDOWN: break;
    default: ReportToEventLog(&_Module, EVENT_KIND_ERROR, "Bad service request"); break;
  }
}

void CServiceModule::SetExitCode(plat::DWORD code) {
  std::lock_guard<std::mutex> guard(m_StatusLock);
  m_status.dwWin32ExitCode = code;
}

plat::BOOL CServiceModule::SetStatus(plat::DWORD state) {
  std::lock_guard<std::mutex> guard(m_StatusLock);
  m_status.dwCurrentState = state;
  return plat::SetServiceStatus(m_hServiceStatus, &m_status);
}

// ---------------------------------------------------------------- start-up and main loop
void CServiceModule::Run() {
  MainThreadId = plat::GetCurrentThreadId();
  ProcessId = plat::GetCurrentProcessId();
  // The thread's queue exists from here, so a stop request that comes during
  // start-up is kept for the message loop instead of being lost.
  plat::MSG msg;
  plat::PeekMessageA(&msg, nullptr, 0, 0, plat::kPM_NOREMOVE);
  KELD_TRACE_ENTER("CServiceModule::Run");
  if (ServiceFlag) SetStatus(plat::kSERVICE_RUNNING);

  if (AddEventSource() != 0) {
    g_log.WriteLog(ERR, "AddEventSource() error");
    SetExitCode(kFailedExitCode);
    KELD_TRACE_LEAVE("CServiceModule::Run");
    return;
  }

  // Lives until the memory figures are written at the end of the start.
  auto* startReg = new CKELD3Register;
  // A failed open leaves the agent's own key open: write nothing there.
  bool parameterOpen = startReg->OpenKey("Parameter") == 0;
  g_Config.PdhErrCount = 0;
  if (parameterOpen) startReg->SetKeyValue("PdhErrCount", 0u);
  g_Config.PdhCalculateSkipCount = 0;
  if (parameterOpen) startReg->SetKeyValue("PdhCalculateSkipCount", 0u);
  startReg->CloseKey();

  if (g_Config.LoadAllKeyValue() != 0) {
    g_log.WriteLog(ERR, "Read from register error");
    ReportToEventLog(this, EVENT_KIND_ERROR, "Read from register error");
    SetExitCode(kFailedExitCode);
    delete startReg;
    KELD_TRACE_LEAVE("CServiceModule::Run");
    return;
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
    SetExitCode(kFailedExitCode);
    delete startReg;
    KELD_TRACE_LEAVE("CServiceModule::Run");
    return;
  }
  if (g_Config.PortNumber > 0xFFFF) {
    g_log.WriteLog(ERR, "Too large port number : %d", static_cast<int>(g_Config.PortNumber));
    ReportToEventLog(this, EVENT_KIND_ERROR, "Too large port number");
    SetExitCode(kFailedExitCode);
    delete startReg;
    KELD_TRACE_LEAVE("CServiceModule::Run");
    return;
  }
  if (g_Config.GetCPUInfo() != 0) {
    g_log.WriteLog(ERR, "Get CPU Information error");
    ReportToEventLog(this, EVENT_KIND_ERROR, "Get CPU Information error");
    SetExitCode(kFailedExitCode);
    delete startReg;
    KELD_TRACE_LEAVE("CServiceModule::Run");
    return;
  }
  if (g_log.InitLog() != 0) {
    ReportToEventLog(this, EVENT_KIND_ERROR, "Can not initialization log correctly");
    SetExitCode(kFailedExitCode);
    delete startReg;
    KELD_TRACE_LEAVE("CServiceModule::Run");
    return;
  }

  MemoryCheckPeriod = g_Config.MemoryCheckInterval;
  AlivePeriod = 0;
  CpuSendPeriod = 0;
  plat::UINT_PTR timer = plat::SetTimer(nullptr, 0, 1000, OnTimerTick);
  if (timer == 0) {
    g_log.WriteLog(ERR, "Can not create timer. System error:%08x", plat::GetLastError());
    SetExitCode(kFailedExitCode);
    delete startReg;
    KELD_TRACE_LEAVE("CServiceModule::Run");
    return;
  }

  g_Master.CoordinatorAddr = g_Config.BroadcastAddr;
  g_Master.LocalAddr = plat::inet_addr(g_Config.LocalIPAddress);
  g_Master.CpuSendInterval = g_Config.CpuSendInterval.load();
  g_Master.StoredCpuSendInterval = g_Config.CpuSendInterval.load();
  g_log.WriteLog(DEBUG, "There are %d CPUs in the host.",
                 static_cast<int>(g_Config.m_CpuInfo.Count));
  g_Master.Sampler.m_dwCpuSpeed = g_Config.m_CpuInfo.TotalMHz;
  g_log.WriteLog(DEBUG, "Speed of CPU _Total is:%08x", g_Master.Sampler.m_dwCpuSpeed);

  if (g_Master.Sampler.init() != 0) {
    g_log.WriteLog(ERR, "CMaster init error, Service will be stopped");
    plat::Sleep(2000);
    plat::KillTimer(nullptr, timer);
    SetExitCode(kFailedExitCode);
    delete startReg;
    KELD_TRACE_LEAVE("CServiceModule::Run");
    return;
  }

  StopCounter = 0;
  if (InitializeBefore() != 0) {
    plat::KillTimer(nullptr, timer);
    // Workers that were already started are ended before Run returns, so
    // none of them outlives the objects it uses.
    ++StopCounter;
    m_WorkersEnded = EndWorkers();
    SetExitCode(kFailedExitCode);
    delete startReg;
    KELD_TRACE_LEAVE("CServiceModule::Run");
    return;
  }

  g_log.WriteLog(INFO, "KELD4 service started");
  ReportToEventLog(this, EVENT_KIND_INFORMATION, "KELD4 service started");

  // The memory baseline: retried until a measurement succeeds, unless the
  // registry already gave a nonzero figure to fall back on.
  do {
    uint32_t peak = 0;
    plat::DWORD error = 0;
    int stage = 0;
    if (ReadPeakWorkingSet(ProcessId, &peak, &error, &stage)) {
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

  startReg->OpenKey("Parameter");
  startReg->SetKeyValue("StartMemInfo", g_Config.StartMemInfo.load());
  startReg->SetKeyValue("MaxMemInfo", g_Config.MaxMemInfo.load());
  startReg->CloseKey();
  delete startReg;

  // Message loop with supervision of the workers.
  bool restartClosed = false;
  for (;;) {
    plat::BOOL got = plat::GetMessageA(&msg, nullptr, 0, 0);
    if (got == 0) break;
    if (got > 0) plat::DispatchMessageA(&msg);

    if (StopCounter == 0) {
      for (plat::HANDLE thread : {g_MasterThread, g_ReadThread, g_WriteThread}) {
        if (!IsRunning(thread)) ++StopCounter;
      }
      if (StopCounter == 0) continue;
    }
    if (!restartClosed) {
      ClosePipesAndSockets();
      restartClosed = true;
    }
    if (IsRunning(g_MasterThread)) {
      // The master looks at StopCounter only after a message; before the
      // first Coor_alive nothing else would ever come.
      plat::PostThreadMessageA(MasterThreadId.load(), WM_WAKE_MASTER, 0, 0);
    }
    if (IsRunning(g_MasterThread) || IsRunning(g_ReadThread) || IsRunning(g_WriteThread)) continue;

    CloseThreadHandles();
    plat::Sleep(500);
    StopCounter = 0;
    restartClosed = false;
    if (InitializeBefore() != 0) {
      g_log.WriteLog(ERR, "Restore the service error");
      SetExitCode(kFailedExitCode);
      break;
    }
  }

  // Shutdown.
  ++StopCounter;
  plat::KillTimer(nullptr, timer);
  bool workersEnded = EndWorkers();

  g_log.WriteLog(INFO, "KELD4 service stopped");
  ReportToEventLog(this, EVENT_KIND_INFORMATION, "KELD4 service stopped");
  m_WorkersEnded = workersEnded;
  KELD_TRACE_LEAVE("CServiceModule::Run");
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
  g_PipesOpen = true;
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
  g_MasterThread = plat::CreateThread(MasterThreadStart, nullptr, &id);
  if (g_MasterThread == nullptr) {
    g_log.WriteLog(ERR, "Can not create master thread. System error:%08x", plat::GetLastError());
    KELD_TRACE_LEAVE("CServiceModule::InitializeBefore");
    return -1;
  }
  MasterThreadId = id;
  g_ReadThread = plat::CreateThread(ReadThreadStart, nullptr, &g_ReadThreadId);
  if (g_ReadThread == nullptr) {
    g_log.WriteLog(ERR, "Can not create read thread. System error:%08x", plat::GetLastError());
    KELD_TRACE_LEAVE("CServiceModule::InitializeBefore");
    return -1;
  }
  g_WriteThread = plat::CreateThread(WriteThreadStart, nullptr, &g_WriteThreadId);
  if (g_WriteThread == nullptr) {
    g_log.WriteLog(ERR, "Can not create write thread. System error:%08x", plat::GetLastError());
    KELD_TRACE_LEAVE("CServiceModule::InitializeBefore");
    return -1;
  }
  KELD_TRACE_LEAVE("CServiceModule::InitializeBefore");
  return 0;
}

// ---------------------------------------------------------------- events
int AddEventSource() {
  char path[1024];
  plat::GetModuleFileNameA(nullptr, path, sizeof(path));
  plat::HKEY key = nullptr;
  plat::DWORD disposition = 0;
  if (plat::RegCreateKeyExA(plat::kHKEY_LOCAL_MACHINE,
                            "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\keld4", 0,
                            nullptr, plat::kREG_OPTION_NON_VOLATILE, plat::kKEY_ALL_ACCESS, nullptr,
                            &key, &disposition) != plat::kERROR_SUCCESS) {
    ReportToEventLog(&_Module, EVENT_KIND_ERROR, "RegCreateKey() error");
    return -1;
  }
  if (plat::RegSetValueExA(key, "EventMessageFile", 0, plat::kREG_EXPAND_SZ,
                           reinterpret_cast<const plat::BYTE*>(path),
                           static_cast<plat::DWORD>(std::strlen(path) + 1)) !=
      plat::kERROR_SUCCESS) {
    ReportToEventLog(&_Module, EVENT_KIND_ERROR, "RegSetValueEx() error");
    plat::RegCloseKey(key);
    return -1;
  }
  plat::DWORD types = 7;
  if (plat::RegSetValueExA(key, "TypesSupported", 0, plat::kREG_DWORD,
                           reinterpret_cast<const plat::BYTE*>(&types),
                           sizeof(types)) != plat::kERROR_SUCCESS) {
    ReportToEventLog(&_Module, EVENT_KIND_ERROR, "RegSetValueEx() error");
    plat::RegCloseKey(key);
    return -1;
  }
  plat::RegCloseKey(key);
  return 0;
}
