// SPDX-License-Identifier: Apache-2.0
// The operating-system layer of keld4.
//
// Every call the agent makes into the operating system goes through this
// header. The names, arguments and results follow the Win32 calls they stand
// for, so that a Windows build maps each one onto the real call and the agent's
// code reads the same on both platforms. Status codes are Win32 error numbers
// (2 file not found, 234 more data, ...), so messages and exit codes read alike
// everywhere. platform/linux/ and platform/win32/ implement it; platform/common/
// holds the parts both share (handle table, pipes, thread queues, clock).
//
// The header includes no system header and compiles beside <windows.h>: every
// name is in namespace plat, and constants carry a k before their Win32 name
// (kERROR_MORE_DATA, kINFINITE), since on Windows the bare names are macros.
// Types and records keep their Win32 names and layouts, but they are the
// contract's own: DWORD is 32 bits everywhere, HANDLE is an opaque token.
// Where the contract promises more than the Win32 call, the comment beside
// the call says so ("Contract:"); an implementation must give that behaviour.
// Test seams are declared in platform/testing.h, not here.
//
// Handles (pipes, files, threads, sockets, registry keys, process handles) are
// tokens into one process-wide table, never raw descriptors: a handle that was
// closed answers kERROR_INVALID_HANDLE instead of reaching whatever object got
// the same descriptor number next, and the underlying descriptor is released
// only when no thread is inside a call on it any more.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace plat {

using BYTE = uint8_t;
using WORD = uint16_t;
using DWORD = uint32_t;
using LONG = int32_t;
using ULONG = uint32_t;
using LONGLONG = int64_t;
using ULONGLONG = uint64_t;
using BOOL = int;
using UINT = unsigned int;
using UINT_PTR = uintptr_t;
using WPARAM = uintptr_t;
using LPARAM = intptr_t;

struct HandleTag;
using HANDLE = HandleTag*;
using HKEY = HANDLE;
using SOCKET = uintptr_t;

inline HANDLE const kINVALID_HANDLE_VALUE = reinterpret_cast<HANDLE>(~uintptr_t{0});
constexpr SOCKET kINVALID_SOCKET = ~SOCKET{0};
constexpr int kSOCKET_ERROR = -1;
constexpr BOOL kTRUE = 1;
constexpr BOOL kFALSE = 0;

// ---------------------------------------------------------------- error codes
constexpr DWORD kERROR_SUCCESS = 0;
constexpr DWORD kERROR_INVALID_FUNCTION = 1;
constexpr DWORD kERROR_FILE_NOT_FOUND = 2;
constexpr DWORD kERROR_PATH_NOT_FOUND = 3;
constexpr DWORD kERROR_TOO_MANY_OPEN_FILES = 4;
constexpr DWORD kERROR_ACCESS_DENIED = 5;
constexpr DWORD kERROR_INVALID_HANDLE = 6;
constexpr DWORD kERROR_NOT_ENOUGH_MEMORY = 8;
constexpr DWORD kERROR_INVALID_DATA = 13;
constexpr DWORD kERROR_OUTOFMEMORY = 14;
constexpr DWORD kERROR_NOT_SAME_DEVICE = 17;
constexpr DWORD kERROR_WRITE_FAULT = 29;
constexpr DWORD kERROR_SHARING_VIOLATION = 32;
constexpr DWORD kERROR_HANDLE_DISK_FULL = 39;
constexpr DWORD kERROR_NOT_SUPPORTED = 50;
constexpr DWORD kERROR_FILE_EXISTS = 80;
constexpr DWORD kERROR_INVALID_PARAMETER = 87;
constexpr DWORD kERROR_BROKEN_PIPE = 109;
constexpr DWORD kERROR_BUFFER_OVERFLOW = 111;
constexpr DWORD kERROR_DISK_FULL = 112;
constexpr DWORD kERROR_INSUFFICIENT_BUFFER = 122;
constexpr DWORD kERROR_INVALID_NAME = 123;
constexpr DWORD kERROR_DIR_NOT_EMPTY = 145;
constexpr DWORD kERROR_ALREADY_EXISTS = 183;
constexpr DWORD kERROR_FILENAME_EXCED_RANGE = 206;
constexpr DWORD kERROR_NO_DATA = 232;
constexpr DWORD kERROR_MORE_DATA = 234;
constexpr DWORD kWAIT_TIMEOUT_CODE = 258;
constexpr DWORD kERROR_NO_MORE_ITEMS = 259;
constexpr DWORD kERROR_SERVICE_DOES_NOT_EXIST = 1060;
constexpr DWORD kERROR_FAILED_SERVICE_CONTROLLER_CONNECT = 1063;
constexpr DWORD kERROR_BADDB = 1009;
constexpr DWORD kERROR_BADKEY = 1010;
constexpr DWORD kERROR_CANTOPEN = 1011;
constexpr DWORD kERROR_CANTREAD = 1012;
constexpr DWORD kERROR_CANTWRITE = 1013;
constexpr DWORD kERROR_REGISTRY_CORRUPT = 1015;
constexpr DWORD kERROR_KEY_DELETED = 1018;
constexpr DWORD kERROR_INVALID_THREAD_ID = 1444;
constexpr DWORD kERROR_NOT_ENOUGH_QUOTA = 1816;
constexpr DWORD kERROR_CANT_RESOLVE_FILENAME = 1921;

constexpr DWORD kWSAEINTR = 10004;
constexpr DWORD kWSAEBADF = 10009;
constexpr DWORD kWSAEACCES = 10013;
constexpr DWORD kWSAEFAULT = 10014;
constexpr DWORD kWSAEINVAL = 10022;
constexpr DWORD kWSAEMFILE = 10024;
constexpr DWORD kWSAEWOULDBLOCK = 10035;
constexpr DWORD kWSAENOTSOCK = 10038;
constexpr DWORD kWSAEMSGSIZE = 10040;
constexpr DWORD kWSAEPROTONOSUPPORT = 10043;
constexpr DWORD kWSAEAFNOSUPPORT = 10047;
constexpr DWORD kWSAEADDRINUSE = 10048;
constexpr DWORD kWSAEADDRNOTAVAIL = 10049;
constexpr DWORD kWSAENETDOWN = 10050;
constexpr DWORD kWSAENETUNREACH = 10051;
constexpr DWORD kWSAECONNRESET = 10054;
constexpr DWORD kWSAENOBUFS = 10055;
constexpr DWORD kWSAENOTCONN = 10057;
constexpr DWORD kWSAESHUTDOWN = 10058;
constexpr DWORD kWSAEHOSTUNREACH = 10065;
constexpr DWORD kWSANOTINITIALISED = 10093;

// The calling thread's last error (GetLastError / SetLastError; on Windows
// WSAGetLastError reads the same slot).
DWORD GetLastError();
void SetLastError(DWORD code);
inline DWORD WSAGetLastError() { return GetLastError(); }

// The system's message text for an error number (FormatMessageA with
// FORMAT_MESSAGE_FROM_SYSTEM, default language): the English text, ending in
// CR LF as Windows gives it. Returns the number of characters stored, 0 if the
// number is unknown (the buffer then holds an empty string).
DWORD FormatSystemMessage(DWORD code, char* buffer, DWORD size);

// ---------------------------------------------------------------- handles
BOOL CloseHandle(HANDLE h);
constexpr DWORD kINFINITE = 0xFFFFFFFF;
constexpr DWORD kWAIT_OBJECT_0 = 0;
constexpr DWORD kWAIT_TIMEOUT = 258;
constexpr DWORD kWAIT_FAILED = 0xFFFFFFFF;
void Sleep(DWORD milliseconds);
// End the process at once with the given exit code: no static destructors,
// no atexit handlers (an exit code of 0xFFFFFFFF reads 255 on Linux).
[[noreturn]] void ExitProcess(UINT code);

// ---------------------------------------------------------------- threads
using LPTHREAD_START_ROUTINE = DWORD (*)(void* parameter);
constexpr DWORD kSTILL_ACTIVE = 259;
// Starts a thread at once; stores its id in *threadId (may be null). Returns
// null on failure. Security attributes are ignored; the stack size is a hint
// (0: the default), an implementation may keep its own. Only creation flags
// 0 are supported: any other answers kERROR_INVALID_PARAMETER.
HANDLE CreateThread(void* threadAttributes, size_t stackSize, LPTHREAD_START_ROUTINE start,
                    void* parameter, DWORD creationFlags, DWORD* threadId);
BOOL GetExitCodeThread(HANDLE thread, DWORD* exitCode);
// Waits for a thread handle (or process handle) to be signalled.
DWORD WaitForSingleObject(HANDLE h, DWORD milliseconds);
DWORD GetCurrentThreadId();
DWORD GetCurrentProcessId();

// ---------------------------------------------------------------- thread messages
constexpr UINT kWM_NULL = 0x0000;
constexpr UINT kWM_QUIT = 0x0012;
constexpr UINT kWM_TIMER = 0x0113;
constexpr UINT kWM_USER = 0x0400;
using TIMERPROC = void (*)(void* hwnd, UINT message, UINT_PTR idEvent, DWORD time);
struct MSG {
  void* hwnd = nullptr;
  UINT message = 0;
  WPARAM wParam = 0;
  LPARAM lParam = 0;
  DWORD time = 0;
};
// A thread has a queue once it has called GetMessageA or PeekMessageA; until
// then (and after it ended) a post to it fails with kERROR_INVALID_THREAD_ID.
// A queue holds at most 10,000 posted messages (kERROR_NOT_ENOUGH_QUOTA beyond).
BOOL PostThreadMessageA(DWORD threadId, UINT message, WPARAM wParam, LPARAM lParam);
void PostQuitMessage(int exitCode);
// >0 a message, 0 kWM_QUIT, -1 failure. Creates the caller's queue if needed.
BOOL GetMessageA(MSG* msg, void* hwnd, UINT filterMin, UINT filterMax);
constexpr UINT kPM_NOREMOVE = 0;
constexpr UINT kPM_REMOVE = 1;
BOOL PeekMessageA(MSG* msg, void* hwnd, UINT filterMin, UINT filterMax, UINT remove);
// Runs the timer procedure of a kWM_TIMER message; does nothing for others.
LPARAM DispatchMessageA(const MSG* msg);
// A periodic timer on the calling thread's queue. Ticks that fall due while the
// thread is busy are merged: at most one kWM_TIMER is pending at any time.
// Returns the timer id, 0 on failure.
UINT_PTR SetTimer(void* hwnd, UINT_PTR idEvent, UINT elapse, TIMERPROC proc);
BOOL KillTimer(void* hwnd, UINT_PTR idEvent);

// ---------------------------------------------------------------- pipes
// An in-process byte stream with blocking ends. Contract: more than Win32's
// anonymous pipe, which returns what is there (a short read) and has a small
// default buffer; both implementations use the portable pipe of
// platform/common. WriteFile blocks until all
// bytes are in the pipe (a block no larger than the capacity goes in whole,
// never interleaved with another writer's); ReadFile blocks until the asked count is there, or
// returns fewer bytes (success, short count) when the write end has gone after
// some data, or fails with kERROR_BROKEN_PIPE when it has gone with none.
// Closing either end wakes a thread blocked in the other direction, and
// closing the very handle a thread is blocked on wakes it with a failure.
// size 0 takes the default capacity (64 KiB).
BOOL CreatePipe(HANDLE* readEnd, HANDLE* writeEnd, void* security, DWORD size);

// ---------------------------------------------------------------- files
constexpr DWORD kGENERIC_READ = 0x80000000;
constexpr DWORD kGENERIC_WRITE = 0x40000000;
constexpr DWORD kSYNCHRONIZE = 0x00100000;
constexpr DWORD kFILE_SHARE_READ = 1;
constexpr DWORD kFILE_SHARE_WRITE = 2;
constexpr DWORD kFILE_SHARE_DELETE = 4;
constexpr DWORD kCREATE_NEW = 1;
constexpr DWORD kCREATE_ALWAYS = 2;
constexpr DWORD kOPEN_EXISTING = 3;
constexpr DWORD kOPEN_ALWAYS = 4;
constexpr DWORD kFILE_ATTRIBUTE_NORMAL = 0x80;
constexpr DWORD kFILE_BEGIN = 0;
constexpr DWORD kFILE_CURRENT = 1;
constexpr DWORD kFILE_END = 2;
constexpr DWORD kINVALID_SET_FILE_POINTER = 0xFFFFFFFF;
constexpr DWORD kINVALID_FILE_SIZE = 0xFFFFFFFF;
// Platform addition (no Windows flag has this meaning): the open fails with
// kERROR_CANT_RESOLVE_FILENAME when the last component of the path is a
// symbolic link, instead of following it.
constexpr DWORD kFILE_FLAG_NO_LINK = 0x00200000;
// A path whose folder does not exist fails with kERROR_PATH_NOT_FOUND, a
// missing file in an existing folder with kERROR_FILE_NOT_FOUND.
HANDLE CreateFileA(const char* path, DWORD access, DWORD share, void* security, DWORD disposition,
                   DWORD flags, HANDLE templ);
// ReadFile / WriteFile serve files and pipes alike.
BOOL ReadFile(HANDLE h, void* buffer, DWORD toRead, DWORD* read, void* overlapped);
BOOL WriteFile(HANDLE h, const void* buffer, DWORD toWrite, DWORD* written, void* overlapped);
DWORD SetFilePointer(HANDLE h, LONG distance, LONG* distanceHigh, DWORD method);
DWORD GetFileSize(HANDLE h, DWORD* sizeHigh);
constexpr DWORD kMOVEFILE_REPLACE_EXISTING = 1;
constexpr DWORD kMOVEFILE_COPY_ALLOWED = 2;
constexpr DWORD kMOVEFILE_WRITE_THROUGH = 8;
// Platform addition: a source that is a symbolic link is not moved
// (kERROR_CANT_RESOLVE_FILENAME), and a copy across volumes neither reads nor
// writes through a link; a link at the target is replaced, never followed.
constexpr DWORD kMOVEFILE_NO_LINK = 0x00000100;
BOOL MoveFileExA(const char* from, const char* to, DWORD flags);
// The directory the log lives in by default ("Windows directory": /var/log).
UINT GetWindowsDirectoryA(char* buffer, UINT size);
// Path separator of composed file paths ('/' on Linux, '\\' on Windows).
extern const char kPathSeparator;
// Full path of the running program file.
DWORD GetModuleFileNameA(void* module, char* buffer, DWORD size);

// ---------------------------------------------------------------- time
struct FILETIME {
  DWORD dwLowDateTime = 0;
  DWORD dwHighDateTime = 0;
};
struct SYSTEMTIME {
  WORD wYear = 0, wMonth = 0, wDayOfWeek = 0, wDay = 0;
  WORD wHour = 0, wMinute = 0, wSecond = 0, wMilliseconds = 0;
};
void GetLocalTime(SYSTEMTIME* st);
BOOL SystemTimeToFileTime(const SYSTEMTIME* st, FILETIME* ft);
BOOL FileTimeToSystemTime(const FILETIME* ft, SYSTEMTIME* st);
LONG CompareFileTime(const FILETIME* a, const FILETIME* b);
// Seconds since 1970 (the C library's time()).
int64_t TimeNow();
// The local wall clock as FILETIME units (100 ns since 1601).
ULONGLONG LocalFileTimeNow();

// ---------------------------------------------------------------- event log
constexpr WORD kEVENTLOG_SUCCESS = 0;
constexpr WORD kEVENTLOG_ERROR_TYPE = 1;
constexpr WORD kEVENTLOG_WARNING_TYPE = 2;
constexpr WORD kEVENTLOG_INFORMATION_TYPE = 4;
// RegisterEventSourceA / ReportEventA / DeregisterEventSource. On Linux the
// report goes to the systemd journal in its native protocol
// (SYSLOG_IDENTIFIER = source, PRIORITY from the type, the event identifier as
// KELD4_EVENT_ID=0x........; the socket /run/systemd/journal/socket, or the
// one named by KELD4_JOURNAL_SOCKET), or to syslog where no journal listens.
HANDLE RegisterEventSourceA(const char* server, const char* source);
BOOL ReportEventA(HANDLE source, WORD type, WORD category, DWORD eventId, void* userSid,
                  WORD numStrings, DWORD dataSize, const char** strings, void* rawData);
BOOL DeregisterEventSource(HANDLE source);

// ---------------------------------------------------------------- registry
// A real store: on Linux the registry export text format in one file (default
// /var/lib/keld4/registry.reg, or the file named by the environment variable
// KELD4_REGISTRY). Key and value names compare without case; every write
// replaces the file atomically under an advisory lock; a change made to the
// file by another process is seen by the next call. The processor key
// HARDWARE\DESCRIPTION\System\CentralProcessor\N is provided from the host,
// read-only, and never stored.
inline HKEY const kHKEY_CLASSES_ROOT = reinterpret_cast<HKEY>(uintptr_t{0x80000000});
inline HKEY const kHKEY_LOCAL_MACHINE = reinterpret_cast<HKEY>(uintptr_t{0x80000002});
using REGSAM = DWORD;
constexpr REGSAM kKEY_QUERY_VALUE = 0x0001;
constexpr REGSAM kKEY_SET_VALUE = 0x0002;
constexpr REGSAM kKEY_CREATE_SUB_KEY = 0x0004;
constexpr REGSAM kKEY_READ = 0x20019;
constexpr REGSAM kKEY_WRITE = 0x20006;
constexpr REGSAM kKEY_ALL_ACCESS = 0xF003F;
constexpr DWORD kREG_NONE = 0;
constexpr DWORD kREG_SZ = 1;
constexpr DWORD kREG_EXPAND_SZ = 2;
constexpr DWORD kREG_BINARY = 3;
constexpr DWORD kREG_DWORD = 4;
constexpr DWORD kREG_MULTI_SZ = 7;
constexpr DWORD kREG_QWORD = 11;
constexpr DWORD kREG_OPTION_NON_VOLATILE = 0;
constexpr DWORD kREG_CREATED_NEW_KEY = 1;
constexpr DWORD kREG_OPENED_EXISTING_KEY = 2;
// All registry calls answer a Win32 error number (kERROR_SUCCESS on success).
LONG RegOpenKeyExA(HKEY key, const char* subKey, DWORD options, REGSAM access, HKEY* result);
LONG RegCreateKeyExA(HKEY key, const char* subKey, DWORD reserved, char* cls, DWORD options,
                     REGSAM access, void* security, HKEY* result, DWORD* disposition);
LONG RegCloseKey(HKEY key);
// Missing value: kERROR_FILE_NOT_FOUND. Data larger than *size: kERROR_MORE_DATA
// with *size set to the needed count. The stored type is returned, not checked.
LONG RegQueryValueExA(HKEY key, const char* name, DWORD* reserved, DWORD* type, BYTE* data,
                      DWORD* size);
LONG RegSetValueExA(HKEY key, const char* name, DWORD reserved, DWORD type, const BYTE* data,
                    DWORD size);
LONG RegDeleteValueA(HKEY key, const char* name);
// Deletes a key with all its subkeys and values.
LONG RegDeleteTreeA(HKEY key, const char* subKey);
// Any out parameter may be null. Where the store keeps no classes, security
// descriptors or write times, the class comes back empty and those figures 0.
LONG RegQueryInfoKeyA(HKEY key, char* keyClass, DWORD* classSize, DWORD* reserved, DWORD* subKeys,
                      DWORD* maxSubKeyLength, DWORD* maxClassLength, DWORD* values,
                      DWORD* maxValueNameLength, DWORD* maxValueLength,
                      DWORD* securityDescriptorSize, FILETIME* lastWriteTime);
// *nameSize: the buffer's size in, the name's length (no terminator) out.
LONG RegEnumKeyExA(HKEY key, DWORD index, char* name, DWORD* nameSize, DWORD* reserved,
                   char* keyClass, DWORD* classSize, FILETIME* lastWriteTime);
// Diagnostics for a store that cannot be read: the file in use where the
// store is a file (Linux), and the last parse error of that file naming file
// and line ("file:line: what", empty when the last parse succeeded). Where the
// store is the system's own registry (Windows) both are empty.
std::string RegistryStorePath();
std::string RegistryLastParseError();
LONG RegEnumValueA(HKEY key, DWORD index, char* name, DWORD* nameSize, DWORD* type, BYTE* data,
                   DWORD* dataSize);

// ---------------------------------------------------------------- IP helper
constexpr int kMAX_ADAPTER_DESCRIPTION_LENGTH = 128;
constexpr int kMAX_ADAPTER_NAME_LENGTH = 256;
constexpr int kMAX_ADAPTER_ADDRESS_LENGTH = 8;
struct IP_ADDR_STRING {
  IP_ADDR_STRING* Next;
  char IpAddress[16];
  char IpMask[16];
  DWORD Context;
};
// Laid out as Windows' record (704 bytes on 64-bit), so 12,800 bytes hold
// 18 of them as they do there.
struct IP_ADAPTER_INFO {
  IP_ADAPTER_INFO* Next;
  DWORD ComboIndex;
  char AdapterName[kMAX_ADAPTER_NAME_LENGTH + 4];
  char Description[kMAX_ADAPTER_DESCRIPTION_LENGTH + 4];
  UINT AddressLength;
  BYTE Address[kMAX_ADAPTER_ADDRESS_LENGTH];
  DWORD Index;
  UINT Type;
  UINT DhcpEnabled;
  IP_ADDR_STRING* CurrentIpAddress;
  IP_ADDR_STRING IpAddressList;
  IP_ADDR_STRING GatewayList;
  IP_ADDR_STRING DhcpServer;
  BOOL HaveWins;
  IP_ADDR_STRING PrimaryWinsServer;
  IP_ADDR_STRING SecondaryWinsServer;
  int64_t LeaseObtained;
  int64_t LeaseExpires;
};
struct MIB_IPADDRROW {
  DWORD dwAddr;  // network byte order
  DWORD dwIndex;
  DWORD dwMask;  // network byte order
  DWORD dwBCastAddr;
  DWORD dwReasmSize;
  WORD unused1;
  WORD wType;
};
struct MIB_IPADDRTABLE {
  DWORD dwNumEntries;
  MIB_IPADDRROW table[1];
};
static_assert(sizeof(MIB_IPADDRROW) == 24);
static_assert(sizeof(void*) != 8 || sizeof(IP_ADAPTER_INFO) == 704);
DWORD GetNumberOfInterfaces(DWORD* count);
// Both answer kERROR_BUFFER_OVERFLOW / kERROR_INSUFFICIENT_BUFFER with *size set
// to the bytes needed when the buffer is too small, so callers can size it.
// The adapter list holds each loopback interface, described "MS TCP Loopback
// interface", with its addresses; Windows' own list leaves the software
// loopback out, so that implementation adds it after the system's records.
// GetNumberOfInterfaces counts at least as many interfaces as the list holds.
DWORD GetAdaptersInfo(IP_ADAPTER_INFO* info, ULONG* size);
DWORD GetIpAddrTable(MIB_IPADDRTABLE* table, ULONG* size, BOOL order);

// ---------------------------------------------------------------- process
constexpr DWORD kPROCESS_QUERY_INFORMATION = 0x0400;
constexpr DWORD kPROCESS_VM_READ = 0x0010;
struct PROCESS_MEMORY_COUNTERS {
  DWORD cb;
  DWORD PageFaultCount;
  size_t PeakWorkingSetSize;  // Linux: peak resident set (VmHWM), bytes
  size_t WorkingSetSize;      // Linux: resident set (VmRSS), bytes
  size_t QuotaPeakPagedPoolUsage;
  size_t QuotaPagedPoolUsage;
  size_t QuotaPeakNonPagedPoolUsage;
  size_t QuotaNonPagedPoolUsage;
  size_t PagefileUsage;
  size_t PeakPagefileUsage;
};
HANDLE OpenProcess(DWORD access, BOOL inherit, DWORD processId);
BOOL GetProcessMemoryInfo(HANDLE process, PROCESS_MEMORY_COUNTERS* counters, DWORD cb);

struct OSVERSIONINFOEXA {
  DWORD dwOSVersionInfoSize;
  DWORD dwMajorVersion;
  DWORD dwMinorVersion;
  DWORD dwBuildNumber;
  DWORD dwPlatformId;
  char szCSDVersion[128];
  WORD wServicePackMajor;
  WORD wServicePackMinor;
  WORD wSuiteMask;
  BYTE wProductType;
  BYTE wReserved;
};
constexpr DWORD kVER_PLATFORM_WIN32_NT = 2;
// Linux: platform id 0 (not the NT family), the kernel's version numbers.
// dwOSVersionInfoSize must be 156 (extended record) or 148 (basic record).
BOOL GetVersionExA(OSVERSIONINFOEXA* info);

// ---------------------------------------------------------------- sockets
struct WSADATA {
  WORD wVersion;
  WORD wHighVersion;
};
inline constexpr WORD kMAKEWORD(BYTE low, BYTE high) { return WORD(low | (WORD(high) << 8)); }
struct in_addr {
  union {
    struct {
      BYTE s_b1, s_b2, s_b3, s_b4;
    } S_un_b;
    struct {
      WORD s_w1, s_w2;
    } S_un_w;
    ULONG S_addr;  // network byte order
  } S_un;
};
struct sockaddr {
  WORD sa_family;
  char sa_data[14];
};
struct sockaddr_in {
  WORD sin_family;
  WORD sin_port;  // network byte order
  in_addr sin_addr;
  char sin_zero[8];
};
static_assert(sizeof(sockaddr_in) == 16 && sizeof(sockaddr) == 16);
constexpr int kAF_INET = 2;
constexpr int kSOCK_DGRAM = 2;
constexpr int kSOL_SOCKET = 0xFFFF;
constexpr int kSO_BROADCAST = 0x0020;
constexpr ULONG kINADDR_ANY = 0;
constexpr ULONG kINADDR_LOOPBACK = 0x7F000001;
// Byte order: the names are in parentheses because C libraries may define
// them as function-like macros.
constexpr ULONG(htonl)(ULONG v) {
  return ((v & 0xFFu) << 24) | ((v & 0xFF00u) << 8) | ((v >> 8) & 0xFF00u) | (v >> 24);
}
constexpr ULONG(ntohl)(ULONG v) { return (htonl)(v); }
constexpr WORD(htons)(WORD v) { return static_cast<WORD>((v << 8) | (v >> 8)); }
constexpr WORD(ntohs)(WORD v) { return (htons)(v); }
// Dotted decimal addresses (kAF_INET only). inet_pton answers 1 when the
// text is exactly four decimal parts, 0 otherwise; inet_ntop answers null
// when the buffer is too small; inet_addr answers the address or
// 0xFFFFFFFF (kINADDR_NONE).
constexpr ULONG kINADDR_NONE = 0xFFFFFFFF;
constexpr int kINET_ADDRSTRLEN = 16;
int inet_pton(int af, const char* text, void* address);
const char* inet_ntop(int af, const void* address, char* text, ULONG size);
ULONG inet_addr(const char* text);
int WSAStartup(WORD version, WSADATA* data);
int WSACleanup();
// Contract: closesocket from another thread wakes a thread blocked in
// recvfrom on it, which then fails with kWSAEINTR (Windows answers so; Wine
// answers kWSAEINVAL). A datagram larger than the buffer fails with
// kWSAEMSGSIZE. sendto never raises a signal. An ICMP port-unreachable
// answering an earlier sendto never fails recvfrom (on Windows the socket
// has SIO_UDP_CONNRESET turned off). Only kSOL_SOCKET / kSO_BROADCAST is
// taken by setsockopt.
SOCKET socket(int af, int type, int protocol);
int bind(SOCKET s, const sockaddr* addr, int len);
int setsockopt(SOCKET s, int level, int name, const void* value, int len);
int recvfrom(SOCKET s, char* buffer, int len, int flags, sockaddr* from, int* fromLen);
// The address a bound socket has (the port chosen for port 0).
int getsockname(SOCKET s, sockaddr* name, int* nameLen);
int sendto(SOCKET s, const char* buffer, int len, int flags, const sockaddr* to, int toLen);
int closesocket(SOCKET s);

// ---------------------------------------------------------------- performance data
// A small PDH over /proc/stat. The only counter is
// "\Processor(_Total)\% Processor Time"; its raw sample holds
//   FirstValue  idle and iowait time of all processors since boot, 100 ns units,
//   SecondValue total time of all processors since boot, 100 ns units,
//   MultiCount  number of processors,
//   TimeStamp   local time of the collection (FILETIME),
// and the calculation gives 100 * (1 - dIdle / dTotal) between two samples,
// capped at 0..100, as a long.
using PDH_STATUS = LONG;
using PDH_HQUERY = HANDLE;
using PDH_HCOUNTER = HANDLE;
constexpr PDH_STATUS kPDH_CSTATUS_VALID_DATA = 0;
constexpr PDH_STATUS kPDH_CSTATUS_NEW_DATA = 1;
constexpr PDH_STATUS kPDH_NO_DATA = static_cast<PDH_STATUS>(0x800007D5);
constexpr PDH_STATUS kPDH_CALC_NEGATIVE_DENOMINATOR = static_cast<PDH_STATUS>(0x800007D6);
constexpr PDH_STATUS kPDH_CALC_NEGATIVE_TIMEBASE = static_cast<PDH_STATUS>(0x800007D7);
constexpr PDH_STATUS kPDH_CALC_NEGATIVE_VALUE = static_cast<PDH_STATUS>(0x800007D8);
constexpr PDH_STATUS kPDH_CSTATUS_NO_OBJECT = static_cast<PDH_STATUS>(0xC0000BB8);
constexpr PDH_STATUS kPDH_CSTATUS_NO_COUNTER = static_cast<PDH_STATUS>(0xC0000BB9);
constexpr PDH_STATUS kPDH_INVALID_HANDLE = static_cast<PDH_STATUS>(0xC0000BBC);
constexpr PDH_STATUS kPDH_INVALID_ARGUMENT = static_cast<PDH_STATUS>(0xC0000BBD);
constexpr PDH_STATUS kPDH_CSTATUS_BAD_COUNTERNAME = static_cast<PDH_STATUS>(0xC0000BC0);
constexpr PDH_STATUS kPDH_INVALID_DATA = static_cast<PDH_STATUS>(0xC0000BC6);
constexpr PDH_STATUS kPDH_MEMORY_ALLOCATION_FAILURE = static_cast<PDH_STATUS>(0xC0000BBB);
constexpr DWORD kPDH_FMT_LONG = 0x00000100;
constexpr DWORD kPDH_FMT_DOUBLE = 0x00000200;
constexpr DWORD kPDH_FMT_LARGE = 0x00000400;
constexpr DWORD kPDH_FMT_NOCAP100 = 0x00008000;
struct PDH_RAW_COUNTER {
  DWORD CStatus;
  FILETIME TimeStamp;
  LONGLONG FirstValue;
  LONGLONG SecondValue;
  DWORD MultiCount;
};
struct PDH_FMT_COUNTERVALUE {
  DWORD CStatus;
  union {
    LONG longValue;
    double doubleValue;
    LONGLONG largeValue;
  };
};
PDH_STATUS PdhOpenQueryA(const char* dataSource, uintptr_t userData, PDH_HQUERY* query);
PDH_STATUS PdhAddCounterA(PDH_HQUERY query, const char* path, uintptr_t userData,
                          PDH_HCOUNTER* counter);
PDH_STATUS PdhCollectQueryData(PDH_HQUERY query);
PDH_STATUS PdhGetRawCounterValue(PDH_HCOUNTER counter, DWORD* type, PDH_RAW_COUNTER* value);
PDH_STATUS PdhCalculateCounterFromRawValue(PDH_HCOUNTER counter, DWORD format,
                                           PDH_RAW_COUNTER* raw1, PDH_RAW_COUNTER* raw2,
                                           PDH_FMT_COUNTERVALUE* value);
PDH_STATUS PdhRemoveCounter(PDH_HCOUNTER counter);
PDH_STATUS PdhCloseQuery(PDH_HQUERY query);

// ---------------------------------------------------------------- service manager
// Under systemd (state reports as datagrams on the notification socket taken
// from NOTIFY_SOCKET, a path or an '@' abstract name, so a test can set its
// own socket there).
constexpr DWORD kSERVICE_WIN32_OWN_PROCESS = 0x10;
constexpr DWORD kSERVICE_STOPPED = 1;
constexpr DWORD kSERVICE_START_PENDING = 2;
constexpr DWORD kSERVICE_STOP_PENDING = 3;
constexpr DWORD kSERVICE_RUNNING = 4;
constexpr DWORD kSERVICE_ACCEPT_STOP = 1;
constexpr DWORD kSERVICE_CONTROL_STOP = 1;
constexpr DWORD kSERVICE_CONTROL_PAUSE = 2;
constexpr DWORD kSERVICE_CONTROL_CONTINUE = 3;
constexpr DWORD kSERVICE_CONTROL_INTERROGATE = 4;
constexpr DWORD kSERVICE_CONTROL_SHUTDOWN = 5;
struct SERVICE_STATUS {
  DWORD dwServiceType;
  DWORD dwCurrentState;
  DWORD dwControlsAccepted;
  DWORD dwWin32ExitCode;
  DWORD dwServiceSpecificExitCode;
  DWORD dwCheckPoint;
  DWORD dwWaitHint;
};
using SERVICE_STATUS_HANDLE = HANDLE;
using LPSERVICE_MAIN_FUNCTIONA = void (*)(DWORD argc, char** argv);
using LPHANDLER_FUNCTION = void (*)(DWORD control);
struct SERVICE_TABLE_ENTRYA {
  const char* lpServiceName;
  LPSERVICE_MAIN_FUNCTIONA lpServiceProc;
};
// Fails with kERROR_FAILED_SERVICE_CONTROLLER_CONNECT when the process was not
// started by the service manager. Otherwise the calling (first) thread becomes
// the dispatcher: it runs the service main function on a thread of its own,
// turns SIGTERM/SIGINT into the stop control, SIGHUP into interrogate and
// SIGUSR2 into an unsupported control (128), and returns when the service
// main function has returned.
BOOL StartServiceCtrlDispatcherA(const SERVICE_TABLE_ENTRYA* table);
SERVICE_STATUS_HANDLE RegisterServiceCtrlHandlerA(const char* name, LPHANDLER_FUNCTION handler);
BOOL SetServiceStatus(SERVICE_STATUS_HANDLE handle, const SERVICE_STATUS* status);
// As a plain process: SIGINT/SIGTERM call the handler (on a thread of the
// layer's own), so that Ctrl-C stops the agent in order.
// The handler answers whether it handled the event. One handler at a time:
// add kTRUE sets it, add kFALSE removes it again; a null handler (Win32's
// "ignore Ctrl-C") is not supported and answers kERROR_INVALID_PARAMETER.
using PHANDLER_ROUTINE = BOOL (*)(DWORD ctrlType);
BOOL SetConsoleCtrlHandler(PHANDLER_ROUTINE handler, BOOL add);

// ---------------------------------------------------------------- service database
// On Linux the service entry is the systemd unit "<name>.service" in the unit
// folder (default /etc/systemd/system, or KELD4_UNIT_DIR), and the manager is
// driven with systemctl (or the program named by KELD4_SYSTEMCTL). The
// dependency "RPCSS" maps onto network-online.target, the account LocalSystem
// onto root, automatic start onto WantedBy=multi-user.target with the unit
// enabled, and a restart failure action onto Restart=on-failure with its delay.
using SC_HANDLE = HANDLE;
using SC_LOCK = HANDLE;
constexpr DWORD kSC_MANAGER_ALL_ACCESS = 0xF003F;
constexpr DWORD kSERVICE_ALL_ACCESS = 0xF01FF;
constexpr DWORD kSERVICE_QUERY_CONFIG = 0x0001;
constexpr DWORD kSERVICE_STOP = 0x0020;
constexpr DWORD kDELETE = 0x00010000;
constexpr DWORD kSERVICE_AUTO_START = 2;
constexpr DWORD kSERVICE_DEMAND_START = 3;
constexpr DWORD kSERVICE_ERROR_NORMAL = 1;
constexpr DWORD kSERVICE_CONFIG_DESCRIPTION = 1;
constexpr DWORD kSERVICE_CONFIG_FAILURE_ACTIONS = 2;
constexpr DWORD kERROR_SERVICE_EXISTS = 1073;
constexpr DWORD kERROR_SERVICE_MARKED_FOR_DELETE = 1072;
constexpr DWORD kERROR_INVALID_SERVICE_LOCK = 1071;
enum SC_ACTION_TYPE {
  kSC_ACTION_NONE = 0,
  kSC_ACTION_RESTART = 1,
  kSC_ACTION_REBOOT = 2,
  kSC_ACTION_RUN_COMMAND = 3
};
struct SC_ACTION {
  SC_ACTION_TYPE Type;
  DWORD Delay;  // milliseconds
};
// The description is UTF-8 text. Windows keeps it in the Japanese ANSI code
// page: the layer passes it to the system in code page 932 (a text without a
// form there fails with kERROR_INVALID_PARAMETER).
struct SERVICE_DESCRIPTIONA {
  const char* lpDescription;
};
struct SERVICE_FAILURE_ACTIONSA {
  DWORD dwResetPeriod;
  const char* lpRebootMsg;
  const char* lpCommand;
  DWORD cActions;
  SC_ACTION* lpsaActions;
};
SC_HANDLE OpenSCManagerA(const char* machine, const char* database, DWORD access);
SC_HANDLE CreateServiceA(SC_HANDLE manager, const char* name, const char* displayName, DWORD access,
                         DWORD serviceType, DWORD startType, DWORD errorControl,
                         const char* binaryPath, const char* loadOrderGroup, DWORD* tagId,
                         const char* dependencies, const char* account, const char* password);
SC_HANDLE OpenServiceA(SC_HANDLE manager, const char* name, DWORD access);
BOOL ChangeServiceConfig2A(SC_HANDLE service, DWORD infoLevel, void* info);
SC_LOCK LockServiceDatabase(SC_HANDLE manager);
BOOL UnlockServiceDatabase(SC_LOCK lock);
BOOL ControlService(SC_HANDLE service, DWORD control, SERVICE_STATUS* status);
BOOL DeleteService(SC_HANDLE service);
BOOL CloseServiceHandle(SC_HANDLE handle);

// ---------------------------------------------------------------- resources
constexpr DWORD kERROR_RESOURCE_TYPE_NOT_FOUND = 1813;
// A text of the program file's string table (LoadStringA): at most size - 1
// characters and a terminator; answers the count, 0 when there is no such
// text. A null instance is the program file itself. Linux program files
// carry no resources: always 0 with kERROR_RESOURCE_TYPE_NOT_FOUND.
int LoadStringA(void* instance, UINT id, char* buffer, int size);

// A message box with one OK button. On Linux: one line on standard error,
// "<caption>: <text>".
constexpr UINT kMB_OK = 0;
int MessageBoxA(void* owner, const char* text, const char* caption, UINT type);

}  // namespace plat
