// SPDX-License-Identifier: Apache-2.0
// The service host: process entry, the link to the service manager and the
// event log, start-up, main loop, scheduler, self-monitoring, installation.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>

#include "platform/platform.h"

class CKELD3Register;

// Event kinds of ReportToEventLog (the same numbers as the log levels).
constexpr int EVENT_KIND_INFORMATION = 1;
constexpr int EVENT_KIND_ERROR = 2;
constexpr int EVENT_KIND_WARNING = 4;

// The program's AppID registration: written by -RegServer and -Service, and
// required at entry before the agent starts.
constexpr const char* APP_ID = "{5B2E9A41-7C3D-4F18-A6E2-0D9C4B71E35A}";

// Event identifiers of the agent's message table.
constexpr plat::DWORD EVENT_ID_INFORMATION = 0x40000003;
constexpr plat::DWORD EVENT_ID_ERROR = 0xC0020001;
constexpr plat::DWORD EVENT_ID_WARNING = 0x80040002;

// The service host's own state shared by start-up, the message loop, the
// scheduler and shutdown (main thread only).
struct ServiceHostState {
  // The worker threads of the current generation.
  plat::HANDLE MasterThread = nullptr;
  plat::HANDLE ReadThread = nullptr;
  plat::HANDLE WriteThread = nullptr;
  plat::DWORD ReadThreadId = 0;
  plat::DWORD WriteThreadId = 0;
  // Whether this generation's pipes are still open.
  bool PipesOpen = false;
  // The one-second timer, from start-up to shutdown.
  plat::UINT_PTR Timer = 0;
  // The scheduler's tick counters; never reset by a restart.
  uint32_t CpuSendTicks = 0;
  uint32_t LogCheckTicks = 0;
  uint32_t AliveTicks = 0;
  uint32_t MemoryCheckTicks = 0;
};

class CServiceModule {
 public:
  CServiceModule();
  virtual ~CServiceModule();

  void Prepare(void* instance, unsigned stringId, const char* typeLibId);
  void StartDispatch();
  static void ServiceEntry(plat::DWORD argc, char** argv);
  static void ControlHandler(plat::DWORD control);
  plat::BOOL SetStatus(plat::DWORD state);
  // The exit code reported with kSERVICE_STOPPED and returned by the process.
  void SetExitCode(plat::DWORD code);
  void Run();
  int InitializeBefore();
  int RegisterModule(int registerTypeLib, int installService);
  int UnregisterModule();
  int InstallService();
  int RemoveService();
  int IsServiceInstalled();
  // The peak working set of the own process in bytes. false with the system
  // error code when it cannot be read; `stage` tells which call failed.
  bool ReadPeakWorkingSet(uint32_t* peak, plat::DWORD* error, int* stage);

  char m_szServiceName[256];
  plat::SERVICE_STATUS_HANDLE m_hServiceStatus;
  plat::SERVICE_STATUS m_status;
  // Read by the control handler's thread while the main thread runs.
  std::atomic<plat::DWORD> MainThreadId;
  plat::DWORD ProcessId;
  int ServiceFlag;
  char m_szTypeLibId[64];
  // Whether every worker thread had ended when Run returned, so the process
  // may run its static destructors safely.
  bool m_WorkersEnded = true;
  // The status block is reported from the service thread and from the
  // control handler's thread.
  std::mutex m_StatusLock;
  ServiceHostState m_Host;

 private:
  // The three stages of Run. StartUp answers -1 when the agent cannot start,
  // having ended whatever it had started.
  int StartUp();
  int LoadSettings();
  void MeasureStartMemory(CKELD3Register& startReg);
  void MessageLoop();
  void ShutDown();
};

extern CServiceModule _Module;

[[gnu::format(printf, 3, 4)]] void ReportToEventLog(CServiceModule* module, int kind,
                                                    const char* format, ...);
int AddEventSource();

// Position just after the first character of text that is one of the
// separators, or null.
const char* FindOneOf(const char* text, const char* separators);

// The one-second timer procedure, and the memory check it runs.
void OnTimerTick(void* hwnd, plat::UINT message, plat::UINT_PTR id, plat::DWORD time);
void ChkMemoryleak();

// The process entry with the full command line, program path included.
int KeldMain(const char* commandLine);

// Ends the process at once after a drop-out condition: the event error
// "Pdh_Error KELD4 service DropOut." and exit code 0xFFFFFFFF.
[[noreturn]] void DropOut();
