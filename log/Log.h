// SPDX-License-Identifier: Apache-2.0
// The levelled log file: one line per call, appended by opening, writing and
// closing the file under a recursive lock, so lines of different threads never
// mix and a crash loses at most the line being written.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>

#include "platform/platform.h"

// Levels are single bits; LogLevel is the mask of the enabled ones.
constexpr uint32_t INFO = 1;
constexpr uint32_t ERR = 2;
constexpr uint32_t WARN = 4;
constexpr uint32_t DEBUG = 8;

class CLog {
 public:
  CLog();
  virtual ~CLog();
  CLog(const CLog&) = delete;
  CLog& operator=(const CLog&) = delete;

  [[gnu::format(printf, 3, 4)]] int WriteLog(uint32_t level, const char* format, ...);
  [[gnu::format(printf, 3, 4)]] int WriteEventLog(uint32_t level, const char* format, ...);
  // The Enter/Leave trace records: "Enter: %s(), %s Line %d".
  void Trace(const char* what, const char* function, const char* file, int line);
  const char* GetTimeString();
  static const char* GetLevelName(uint32_t level);
  bool IsLevelOn(uint32_t level) const {
    return (level & LogLevel.load(std::memory_order_relaxed)) != 0;
  }

  int InitLog();
  int GetLogStatus();
  int BackupLogFile();

  // Settings: plain fields that the configuration store loads and the master
  // thread changes at run time (whole 32-bit values, no lock).
  char LogDirectory[256];
  char LogName[32];
  std::atomic<uint32_t> LogLevel;
  std::atomic<uint32_t> LogControl;
  std::atomic<int32_t> LogRefreshInterval;
  std::atomic<uint32_t> LogMaxSpace;
  uint32_t SysError = 0;
  uint32_t ErrNo = 0;
  std::recursive_mutex Lock;
  std::atomic<int64_t> LastBackupTime;

 private:
  void ComposePath(char* path, size_t size) const;
  int ReportSystemFailure(const char* format, uint32_t error, uint32_t errNo, const char* tail);
  plat::HANDLE OpenLogFile(const char* path, plat::DWORD disposition);
  // Renames the file to its backup; false with SysError and ErrNo (1011) set.
  bool MoveToBackup(const char* path);
  void ReportBackupFailure();
  // Called under Lock with the open file before a line of length bytes is
  // written: backs the file up first when the line would take it past twice
  // LogMaxSpace (size rule on), and reopens it. false: the line is dropped.
  bool KeepWithinSizeCap(const char* path, uint64_t length, plat::HANDLE* file);
  char m_TimeString[64];
  bool m_CapBackupFailing = false;
};

extern CLog g_log;

// Trace records of the calling operation: its qualified name, this source
// file and the line of the statement. Disabled DEBUG costs one bit test.
#define KELD_TRACE_ENTER(name)                                                  \
  do {                                                                          \
    if (g_log.IsLevelOn(DEBUG)) g_log.Trace("Enter", name, __FILE__, __LINE__); \
  } while (0)
#define KELD_TRACE_LEAVE(name)                                                  \
  do {                                                                          \
    if (g_log.IsLevelOn(DEBUG)) g_log.Trace("Leave", name, __FILE__, __LINE__); \
  } while (0)
