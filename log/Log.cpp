// SPDX-License-Identifier: Apache-2.0
#include "log/Log.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace {

constexpr size_t kMessageChars = 1024;
constexpr const char* kLogKey = "SOFTWARE\\Ostrel\\KELD4\\Parameter\\Log";

// The system's text for an error number, without the line end Windows
// appends, so a report stays on one line.
void SystemText(uint32_t error, char* text, size_t size) {
  plat::FormatSystemMessage(error, text, static_cast<plat::DWORD>(size));
  size_t n = std::strlen(text);
  while (n > 0 && (text[n - 1] == '\r' || text[n - 1] == '\n' || text[n - 1] == ' '))
    text[--n] = '\0';
}

// Reads one text value into a field, keeping the field as it was on failure
// and never leaving it without a terminator.
plat::LONG ReadText(plat::HKEY key, const char* name, char* field, plat::DWORD capacity) {
  char value[256];
  plat::DWORD size = capacity;
  plat::DWORD type = 0;
  plat::LONG result = plat::RegQueryValueExA(key, name, nullptr, &type,
                                             reinterpret_cast<plat::BYTE*>(value), &size);
  if (result != plat::kERROR_SUCCESS) return result;
  if (size == 0) {
    field[0] = '\0';
    return plat::kERROR_SUCCESS;
  }
  if (std::memchr(value, '\0', size) == nullptr) {
    if (size >= capacity) return plat::kERROR_MORE_DATA;
    value[size] = '\0';
  }
  std::memcpy(field, value, std::strlen(value) + 1);
  return plat::kERROR_SUCCESS;
}

plat::LONG ReadNumber(plat::HKEY key, const char* name, uint32_t* out) {
  uint32_t value = 0;
  plat::DWORD size = sizeof(value);
  plat::DWORD type = 0;
  plat::LONG result = plat::RegQueryValueExA(key, name, nullptr, &type,
                                             reinterpret_cast<plat::BYTE*>(&value), &size);
  if (result == plat::kERROR_SUCCESS) *out = value;
  return result;
}

}  // namespace

CLog g_log;

CLog::CLog()
    : LogLevel(3), LogControl(3), LogRefreshInterval(2), LogMaxSpace(10),
      LastBackupTime(plat::TimeNow()), m_TimeString{} {
  std::memset(LogDirectory, 0, sizeof(LogDirectory));
  plat::GetWindowsDirectoryA(LogDirectory, sizeof(LogDirectory));
  std::snprintf(LogName, sizeof(LogName), "%s", "keld4.log");
}

CLog::~CLog() = default;

void CLog::ComposePath(char* path, size_t size) const {
  std::snprintf(path, size, "%s%c%s", LogDirectory, plat::kPathSeparator, LogName);
}

const char* CLog::GetTimeString() {
  plat::SYSTEMTIME st;
  plat::GetLocalTime(&st);
  std::snprintf(m_TimeString, sizeof(m_TimeString), "%04d.%02d.%02d-%02d:%02d:%02d", st.wYear,
                st.wMonth, st.wDay, st.wHour, st.wMinute, st.wSecond);
  return m_TimeString;
}

const char* CLog::GetLevelName(uint32_t level) {
  switch (level) {
    case INFO: return "INFO";
    case ERR: return "ERR";
    case WARN: return "WARN";
    case DEBUG: return "DEBUG";
    default: return "invalid level";
  }
}

void CLog::Trace(const char* what, const char* function, const char* file, int line) {
  char text[kMessageChars + 1];
  std::snprintf(text, sizeof(text), "%s: %s(), %s Line %d", what, function, file, line);
  WriteLog(DEBUG, "%s", text);
}

int CLog::WriteLog(uint32_t level, const char* format, ...) {
  if (!IsLevelOn(level)) return 0;

  char message[kMessageChars + 1];
  va_list args;
  va_start(args, format);
  std::vsnprintf(message, sizeof(message), format, args);
  va_end(args);

  char path[sizeof(LogDirectory) + sizeof(LogName) + 2];
  ComposePath(path, sizeof(path));

  // Timestamp, blank, level name, colon, blank, message, CR LF.
  char line[kMessageChars + 64];

  std::lock_guard<std::recursive_mutex> guard(Lock);
  plat::HANDLE file = OpenLogFile(path, plat::kOPEN_ALWAYS);
  int length = 0;
  if (file != plat::kINVALID_HANDLE_VALUE) {
    length = std::snprintf(line, sizeof(line), "%s %s: %s\r\n", GetTimeString(),
                           GetLevelName(level), message);
    if (!KeepWithinSizeCap(path, static_cast<uint64_t>(length), &file)) return -1;
  }
  if (file == plat::kINVALID_HANDLE_VALUE) {
    SysError = plat::GetLastError();
    ErrNo = 1004;
    char text[256];
    SystemText(SysError, text, sizeof(text));
    WriteEventLog(ERR, "Open log file error, syserror=%08x: %s,errno=%d, Msg= %s", SysError, text,
                  ErrNo, message);
    return -1;
  }

  if (plat::SetFilePointer(file, 0, nullptr, plat::kFILE_END) == plat::kINVALID_SET_FILE_POINTER) {
    SysError = plat::GetLastError();
    WriteEventLog(ERR, "Set log file pointer error, syserror=%08x, Msg= %s", SysError, line);
    plat::CloseHandle(file);
    return -1;
  }
  plat::DWORD written = 0;
  if (!plat::WriteFile(file, line, static_cast<plat::DWORD>(length), &written, nullptr)) {
    SysError = plat::GetLastError();
    ErrNo = 1006;
    char text[256];
    SystemText(SysError, text, sizeof(text));
    WriteEventLog(ERR, "Write log error, syserror=%08x: %s,errno=%d, Msg= %s", SysError, text,
                  ErrNo, line);
    plat::CloseHandle(file);
    return -1;
  }
  plat::CloseHandle(file);
  return 0;
}

plat::HANDLE CLog::OpenLogFile(const char* path, plat::DWORD disposition) {
  // Never through a symbolic link: in a folder others can write, a planted
  // link would make the agent append to any file. Reading is shared: where
  // share modes hold (Windows), someone viewing the log would otherwise make
  // every line fail and be lost for as long as the viewer has it open.
  return plat::CreateFileA(path, plat::kGENERIC_WRITE | plat::kSYNCHRONIZE,
                           plat::kFILE_SHARE_READ | plat::kFILE_SHARE_WRITE, nullptr, disposition,
                           plat::kFILE_ATTRIBUTE_NORMAL | plat::kFILE_FLAG_NO_LINK, nullptr);
}

bool CLog::MoveToBackup(const char* path) {
  char backup[sizeof(LogDirectory) + sizeof(LogName) + 8];
  std::snprintf(backup, sizeof(backup), "%s.bak", path);
  if (plat::MoveFileExA(path, backup,
                        plat::kMOVEFILE_REPLACE_EXISTING | plat::kMOVEFILE_WRITE_THROUGH |
                            plat::kMOVEFILE_NO_LINK)) {
    return true;
  }
  SysError = plat::GetLastError();
  ErrNo = 1011;
  return false;
}

void CLog::ReportBackupFailure() {
  char text[256];
  SystemText(SysError, text, sizeof(text));
  WriteEventLog(ERR, "Backup log error,syserror=%08x: %s,errno=%d", SysError, text, ErrNo);
}

bool CLog::KeepWithinSizeCap(const char* path, uint64_t length, plat::HANDLE* file) {
  // With the size rule on, the periodic check alone would let the file grow
  // without bound while the coordinator keeps that check off; past twice the
  // limit the file is backed up before the line is written.
  uint32_t control = LogControl.load();
  if (control != 2 && control != 3) return true;
  uint64_t cap = 2ull * LogMaxSpace.load() * 1000000ull;
  plat::DWORD high = 0;
  plat::DWORD low = plat::GetFileSize(*file, &high);
  if (low == plat::kINVALID_FILE_SIZE && high == 0) return true;  // size unknown
  uint64_t size = (static_cast<uint64_t>(high) << 32) | low;
  if (size == 0 || size + length <= cap) return true;
  plat::CloseHandle(*file);
  *file = plat::kINVALID_HANDLE_VALUE;
  if (!MoveToBackup(path)) {
    // Reported once while it keeps failing; the line is dropped, as growing
    // on would defeat the cap.
    if (!m_CapBackupFailing) ReportBackupFailure();
    m_CapBackupFailing = true;
    return false;
  }
  m_CapBackupFailing = false;
  LastBackupTime.store(plat::TimeNow());
  *file = OpenLogFile(path, plat::kOPEN_ALWAYS);
  return true;
}

int CLog::WriteEventLog(uint32_t level, const char* format, ...) {
  if (!IsLevelOn(level)) return 0;

  char message[500];
  va_list args;
  va_start(args, format);
  std::vsnprintf(message, sizeof(message), format, args);
  va_end(args);
  char text[1024];
  std::snprintf(text, sizeof(text), "keld4:%s:%s", GetLevelName(level), message);

  plat::HANDLE source = plat::RegisterEventSourceA(nullptr, "keld4");
  if (source == nullptr) {
    ErrNo = 1007;
    return -1;
  }
  plat::WORD type;
  plat::DWORD id;
  switch (level) {
    case INFO:
    case DEBUG:
      type = plat::kEVENTLOG_INFORMATION_TYPE;
      id = 0x40000003;
      break;
    case ERR:
      type = plat::kEVENTLOG_ERROR_TYPE;
      id = 0xC0020001;
      break;
    case WARN:
      type = plat::kEVENTLOG_WARNING_TYPE;
      id = 0x80040002;
      break;
    default: plat::DeregisterEventSource(source); return -1;
  }
  const char* strings[1] = {text};
  plat::ReportEventA(source, type, 0, id, nullptr, 1, 0, strings, nullptr);
  plat::DeregisterEventSource(source);
  return 0;
}

int CLog::InitLog() {
  char oldPath[sizeof(LogDirectory) + sizeof(LogName) + 2];
  ComposePath(oldPath, sizeof(oldPath));

  plat::HKEY key = nullptr;
  plat::LONG result =
      plat::RegOpenKeyExA(plat::kHKEY_LOCAL_MACHINE, kLogKey, 0, plat::kKEY_READ, &key);
  if (result != plat::kERROR_SUCCESS) {
    SysError = static_cast<uint32_t>(result);
    ErrNo = 1000;
    WriteEventLog(ERR, "Log init Open Register subkey Log error, syserrno=%08x,errno=%d", SysError,
                  ErrNo);
    return -1;
  }

  // In this order; the first failure stops the reading and keeps what was
  // read before it.
  const char* failed = nullptr;
  uint32_t number = 0;
  if ((result = ReadText(key, "LogDirectory", LogDirectory, sizeof(LogDirectory))) != 0) {
    failed = "LogDirectory";
  } else if ((result = ReadText(key, "LogName", LogName, sizeof(LogName))) != 0) {
    failed = "LogName";
  } else if ((result = ReadNumber(key, "LogLevel", &number)) != 0) {
    failed = "LogLevel";
  } else if (LogLevel.store(number), (result = ReadNumber(key, "LogControl", &number)) != 0) {
    failed = "LogControl";
  } else if (LogControl.store(number),
             (result = ReadNumber(key, "LogRefreshInterval", &number)) != 0) {
    failed = "LogRefreshInterval";
  } else if (LogRefreshInterval.store(static_cast<int32_t>(number)),
             (result = ReadNumber(key, "LogMaxSpace", &number)) != 0) {
    failed = "LogMaxSpace";
  } else {
    LogMaxSpace.store(number);
  }
  if (failed != nullptr) {
    SysError = static_cast<uint32_t>(result);
    ErrNo = 1001;
    WriteEventLog(ERR, "Log init get subkey-value:%s error,syserrno=%08x,errno=%d", failed,
                  SysError, ErrNo);
    plat::RegCloseKey(key);
    return -1;
  }
  plat::RegCloseKey(key);

  char newPath[sizeof(oldPath)];
  ComposePath(newPath, sizeof(newPath));
  if (plat::MoveFileExA(oldPath, newPath,
                        plat::kMOVEFILE_REPLACE_EXISTING | plat::kMOVEFILE_COPY_ALLOWED |
                            plat::kMOVEFILE_WRITE_THROUGH | plat::kMOVEFILE_NO_LINK)) {
    return 0;
  }
  SysError = plat::GetLastError();
  ErrNo = 1003;
  if (SysError == plat::kERROR_FILE_NOT_FOUND) return 0;  // nothing to move yet
  char text[256];
  SystemText(SysError, text, sizeof(text));
  WriteEventLog(ERR, "Log init move file error,system error=%08x: %s, errno=%d", SysError, text,
                ErrNo);
  return -1;
}

int CLog::GetLogStatus() {
  // 32-bit products, as the settings are 32-bit: LogMaxSpace above 4294
  // wraps the size limit.
  int32_t ageLimit =
      static_cast<int32_t>(static_cast<uint32_t>(LogRefreshInterval.load()) * 86400u);
  uint32_t sizeLimit = LogMaxSpace.load() * 1000000u;

  char path[sizeof(LogDirectory) + sizeof(LogName) + 2];
  ComposePath(path, sizeof(path));
  uint32_t size = 0;
  {
    std::lock_guard<std::recursive_mutex> guard(Lock);
    plat::HANDLE file = OpenLogFile(path, plat::kOPEN_EXISTING);
    if (file == plat::kINVALID_HANDLE_VALUE) {
      SysError = plat::GetLastError();
      if (SysError == plat::kERROR_FILE_NOT_FOUND) return 0;
      ErrNo = 1008;
      char text[256];
      SystemText(SysError, text, sizeof(text));
      WriteEventLog(ERR, "Get log status open log file error, syserror=%08x: %s,errno=%d", SysError,
                    text, ErrNo);
      return -1;
    }
    size = plat::GetFileSize(file, nullptr);
    plat::CloseHandle(file);
  }

  int64_t age = plat::TimeNow() - LastBackupTime.load();
  bool tooOld = age > static_cast<int64_t>(ageLimit);
  bool tooBig = size > sizeLimit;
  switch (LogControl.load()) {
    case 0: return 0;
    case 1: return tooOld ? 1 : 0;
    case 2: return tooBig ? 1 : 0;
    case 3: return (tooOld || tooBig) ? 1 : 0;
    default:
      ErrNo = 1010;
      WriteLog(WARN, "The log control value in register error,errno=%d", ErrNo);
      return -1;
  }
}

int CLog::BackupLogFile() {
  WriteLog(DEBUG, "Enter BackupLogFile function.");
  char path[sizeof(LogDirectory) + sizeof(LogName) + 2];
  ComposePath(path, sizeof(path));
  {
    std::lock_guard<std::recursive_mutex> guard(Lock);
    if (!MoveToBackup(path)) {
      ReportBackupFailure();
      return -1;
    }
  }
  LastBackupTime.store(plat::TimeNow());
  WriteLog(DEBUG, "Leave BackupLogFile function.");
  return 0;
}
