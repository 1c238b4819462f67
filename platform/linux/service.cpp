// SPDX-License-Identifier: Apache-2.0
// Service supervision under systemd: the dispatcher, status reports and the
// service database as a unit file.
#include <fcntl.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "platform/common/handles.h"
#include "platform/linux/errors.h"
#include "platform/linux/regstore.h"
#include "platform/linux/sdsocket.h"

namespace plat {
namespace {

// ---------------------------------------------------------------- control
std::atomic<LPHANDLER_FUNCTION> g_handler{nullptr};
std::atomic<PHANDLER_ROUTINE> g_consoleHandler{nullptr};

// Signals that stand for control codes. SIGHUP asks for the status
// (interrogate, which changes nothing); SIGUSR2 is a code the service does not
// support, kept so the operator can check that such a request is reported.
DWORD ControlFor(int signal) {
  switch (signal) {
    case SIGTERM:
    case SIGINT: return kSERVICE_CONTROL_STOP;
    case SIGHUP: return kSERVICE_CONTROL_INTERROGATE;
    default: return 128;
  }
}

sigset_t ControlSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGHUP);
  sigaddset(&set, SIGUSR2);
  return set;
}

struct ServiceMain {
  LPSERVICE_MAIN_FUNCTIONA proc;
  std::string name;
  std::atomic<bool> done{false};
};

void* RunServiceMain(void* p) {
  auto* sm = static_cast<ServiceMain*>(p);
  char* argv[2] = {sm->name.data(), nullptr};
  sm->proc(1, argv);
  sm->done = true;
  // Wake the dispatcher at once rather than at its next poll.
  ::kill(::getpid(), SIGUSR1);
  return nullptr;
}

// ---------------------------------------------------------------- status
class StatusHandle : public detail::Object {};

}  // namespace

BOOL StartServiceCtrlDispatcherA(const SERVICE_TABLE_ENTRYA* table) {
  // Started by systemd means: it gave us a notification socket.
  const char* socket = std::getenv("NOTIFY_SOCKET");
  if (socket == nullptr || *socket == '\0' || table == nullptr ||
      table[0].lpServiceProc == nullptr) {
    SetLastError(kERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
    return kFALSE;
  }
  // Every thread made from here on inherits the blocked set, so the control
  // signals reach this thread alone, in sigtimedwait below.
  sigset_t set = ControlSignals();
  sigaddset(&set, SIGUSR1);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);

  ServiceMain sm;
  sm.proc = table[0].lpServiceProc;
  sm.name = table[0].lpServiceName ? table[0].lpServiceName : "";
  pthread_t thread;
  if (pthread_create(&thread, nullptr, RunServiceMain, &sm) != 0) {
    SetLastError(kERROR_NOT_ENOUGH_MEMORY);
    return kFALSE;
  }
  while (!sm.done) {
    timespec timeout{0, 200L * 1000 * 1000};
    int signal = sigtimedwait(&set, nullptr, &timeout);
    if (signal <= 0 || signal == SIGUSR1) continue;
    LPHANDLER_FUNCTION handler = g_handler.load();
    if (handler != nullptr) handler(ControlFor(signal));
  }
  pthread_join(thread, nullptr);
  return kTRUE;
}

SERVICE_STATUS_HANDLE RegisterServiceCtrlHandlerA(const char* name, LPHANDLER_FUNCTION handler) {
  if (name == nullptr || handler == nullptr) {
    SetLastError(kERROR_INVALID_PARAMETER);
    return nullptr;
  }
  g_handler = handler;
  return detail::ToHandle(detail::Insert(std::make_shared<StatusHandle>()));
}

BOOL SetServiceStatus(SERVICE_STATUS_HANDLE handle, const SERVICE_STATUS* status) {
  if (!detail::LookupAs<StatusHandle>(handle) || status == nullptr) {
    SetLastError(kERROR_INVALID_HANDLE);
    return kFALSE;
  }
  char text[128];
  switch (status->dwCurrentState) {
    case kSERVICE_START_PENDING: std::snprintf(text, sizeof(text), "STATUS=Starting"); break;
    case kSERVICE_RUNNING: std::snprintf(text, sizeof(text), "READY=1\nSTATUS=Running"); break;
    case kSERVICE_STOP_PENDING:
      std::snprintf(text, sizeof(text), "STOPPING=1\nSTATUS=Stopping");
      break;
    case kSERVICE_STOPPED:
      std::snprintf(text, sizeof(text), "STATUS=Stopped\nEXIT_STATUS=%u", status->dwWin32ExitCode);
      break;
    default: std::snprintf(text, sizeof(text), "STATUS=State %u", status->dwCurrentState); break;
  }
  if (!detail::NotifyServiceManager(text)) {
    SetLastError(kERROR_INVALID_HANDLE);
    return kFALSE;
  }
  return kTRUE;
}

namespace {
void* ConsoleSignalThread(void*) {
  sigset_t set = ControlSignals();
  for (;;) {
    int signal = 0;
    if (sigwait(&set, &signal) != 0) continue;
    if (signal != SIGINT && signal != SIGTERM) continue;
    auto handler = g_consoleHandler.load();
    if (handler != nullptr) handler(static_cast<DWORD>(signal));
  }
  return nullptr;
}
}  // namespace

BOOL SetConsoleCtrlHandler(PHANDLER_ROUTINE handler, BOOL add) {
  if (handler == nullptr) {
    SetLastError(kERROR_INVALID_PARAMETER);
    return kFALSE;
  }
  if (!add) {
    PHANDLER_ROUTINE expected = handler;
    if (g_consoleHandler.compare_exchange_strong(expected, nullptr)) return kTRUE;
    SetLastError(kERROR_INVALID_PARAMETER);
    return kFALSE;
  }
  static std::once_flag started;
  g_consoleHandler = handler;
  bool ok = true;
  std::call_once(started, [&] {
    sigset_t set = ControlSignals();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    pthread_t thread;
    ok = pthread_create(&thread, nullptr, ConsoleSignalThread, nullptr) == 0;
    if (ok) pthread_detach(thread);
  });
  return ok ? kTRUE : kFALSE;
}

int MessageBoxA(void* /*owner*/, const char* text, const char* caption, UINT /*type*/) {
  std::fprintf(stderr, "%s: %s\n", caption ? caption : "", text ? text : "");
  std::fflush(stderr);
  return 1;  // IDOK
}

int LoadStringA(void* /*instance*/, UINT /*id*/, char* buffer, int size) {
  if (buffer && size > 0) buffer[0] = '\0';
  SetLastError(kERROR_RESOURCE_TYPE_NOT_FOUND);
  return 0;
}

// ---------------------------------------------------------------- service database
namespace {

std::string UnitDir() {
  const char* dir = std::getenv("KELD4_UNIT_DIR");
  return dir && *dir ? dir : "/etc/systemd/system";
}

std::string UnitPath(const std::string& name) { return UnitDir() + "/" + name + ".service"; }

// Runs systemctl with the given words; answers its exit status.
int Systemctl(const std::vector<std::string>& words) {
  const char* program = std::getenv("KELD4_SYSTEMCTL");
  std::string exe = program && *program ? program : "systemctl";
  std::vector<std::string> args{exe};
  args.insert(args.end(), words.begin(), words.end());
  // Built before the fork: the child of a threaded process may not allocate.
  std::vector<char*> argv;
  argv.reserve(args.size() + 1);
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid = ::fork();
  if (pid < 0) return -1;
  if (pid == 0) {
    int null = ::open("/dev/null", O_WRONLY);
    if (null >= 0) {
      ::dup2(null, 1);
      ::dup2(null, 2);
    }
    ::execvp(argv[0], argv.data());
    _exit(127);
  }
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

class Manager : public detail::Object {};

class Service : public detail::Object {
 public:
  explicit Service(std::string name) : name(std::move(name)) {}
  const std::string name;
};

class DatabaseLock : public detail::Object {
 public:
  explicit DatabaseLock(int fd) : fd_(fd) {}
  ~DatabaseLock() override { ::close(fd_); }
  void close() override { ::flock(fd_, LOCK_UN); }

 private:
  int fd_;
};

bool WriteFileAtomically(const std::string& path, const std::string& text) {
  std::string temp = path + ".tmp";
  int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  bool ok = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size()) &&
            ::fsync(fd) == 0;
  int e = errno;
  ::close(fd);
  if (ok) ok = ::rename(temp.c_str(), path.c_str()) == 0;
  if (!ok) {
    e = errno;
    ::unlink(temp.c_str());
  }
  errno = e;
  return ok;
}

bool ReadText(const std::string& path, std::string* text) {
  std::ifstream in(path);
  if (!in) return false;
  std::ostringstream out;
  out << in.rdbuf();
  *text = out.str();
  return true;
}

// Sets "Key=value" in a section of the unit, adding the line if absent.
std::string SetUnitLine(const std::string& unit, const std::string& section, const std::string& key,
                        const std::string& value) {
  std::istringstream in(unit);
  std::ostringstream out;
  std::string line, current;
  bool done = false;
  std::vector<std::string> lines;
  while (std::getline(in, line)) lines.push_back(line);
  for (size_t i = 0; i < lines.size(); ++i) {
    const std::string& l = lines[i];
    if (!l.empty() && l[0] == '[') {
      if (current == section && !done) {
        out << key << "=" << value << "\n";
        done = true;
      }
      current = l;
    } else if (current == section && l.rfind(key + "=", 0) == 0) {
      if (!done) out << key << "=" << value << "\n";
      done = true;
      continue;
    }
    // Keep a blank line between sections after an appended key.
    out << l << "\n";
  }
  if (!done) {
    if (current != section) out << "\n" << section << "\n";
    out << key << "=" << value << "\n";
  }
  return out.str();
}

std::string DependencyUnits(const char* dependencies) {
  // A double-NUL-terminated list, as the service database takes it.
  std::string units;
  for (const char* p = dependencies; p != nullptr && *p != '\0'; p += std::strlen(p) + 1) {
    std::string unit =
        std::strcmp(p, "RPCSS") == 0 ? "network-online.target" : std::string(p) + ".service";
    units += (units.empty() ? "" : " ") + unit;
  }
  return units;
}

// ---------------------------------------------------------------- sandbox
// The unit confines the agent to what it does: UDP on one port, netlink for
// the interface table, /proc/stat, its registry file and its log folder.

// A word of a unit file: '%' is a specifier there, and blanks or quotes
// need the word quoted.
std::string UnitWord(const std::string& word) {
  std::string out;
  bool quote = word.empty();
  for (char c : word) {
    if (c == '%') {
      out += "%%";
      continue;
    }
    if (c == ' ' || c == '\t' || c == '"' || c == '\'' || c == '\\') quote = true;
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  return quote ? "\"" + out + "\"" : out;
}

std::string Folder(const std::string& path) {
  size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

// The folder of the registry file, through a symbolic link to its target,
// since the agent replaces the target.
std::string StoreFolder() {
  std::string path = regstore::StorePath();
  char resolved[PATH_MAX];
  if (::realpath(path.c_str(), resolved) != nullptr) path = resolved;
  return Folder(path);
}

bool ReadSetting(const char* subkey, const char* name, BYTE* data, DWORD size) {
  std::string path = std::string("SOFTWARE\\Ostrel\\KELD4\\") + subkey;
  HKEY key = nullptr;
  if (RegOpenKeyExA(kHKEY_LOCAL_MACHINE, path.c_str(), 0, kKEY_READ, &key) != kERROR_SUCCESS) {
    return false;
  }
  LONG rc = RegQueryValueExA(key, name, nullptr, nullptr, data, &size);
  RegCloseKey(key);
  return rc == kERROR_SUCCESS;
}

bool Under(const std::string& path, const std::string& folder) {
  return path == folder || path.rfind(folder + "/", 0) == 0;
}

std::string SandboxLines() {
  // A port below 1024 needs the one capability; a port that cannot be read
  // yet keeps it, so the service starts once the setting is there.
  DWORD port = 0;
  bool havePort = ReadSetting("Parameter", "PortNumber", reinterpret_cast<BYTE*>(&port), 4);
  bool lowPort = !havePort || (port > 0 && port < 1024);

  // Writable: the registry file's folder, the log folder used before the
  // settings are read, and the configured LogDirectory.
  std::vector<std::string> folders{StoreFolder()};
  char dir[260] = {};
  GetWindowsDirectoryA(dir, sizeof(dir));
  folders.emplace_back(dir);
  char logDir[256] = {};
  if (ReadSetting("Parameter\\Log", "LogDirectory", reinterpret_cast<BYTE*>(logDir),
                  sizeof(logDir) - 1) &&
      logDir[0] == '/') {
    std::string d = logDir;
    while (d.size() > 1 && d.back() == '/') d.pop_back();
    folders.push_back(d);
  }
  std::string writable;
  bool inTmp = false;
  bool inHome = false;
  std::vector<std::string> seen;
  for (size_t i = 0; i < folders.size(); ++i) {
    const std::string& f = folders[i];
    if (std::find(seen.begin(), seen.end(), f) != seen.end()) continue;
    seen.push_back(f);
    inTmp = inTmp || Under(f, "/tmp") || Under(f, "/var/tmp");
    inHome = inHome || Under(f, "/home") || Under(f, "/root") || Under(f, "/run/user");
    // The registry folder must exist; a log folder that does not is left
    // out rather than failing the start.
    if (!writable.empty()) writable += ' ';
    if (i != 0) writable += '-';
    writable += UnitWord(f);
  }

  std::ostringstream s;
  std::string store = regstore::StorePath();
  if (store != regstore::DefaultStorePath()) {
    s << "Environment=" << UnitWord("KELD4_REGISTRY=" + store) << "\n";
  }
  s << "UMask=0027\n"
    << "CapabilityBoundingSet=" << (lowPort ? "CAP_NET_BIND_SERVICE" : "") << "\n"
    << "NoNewPrivileges=yes\n"
    << "ProtectSystem=strict\n"
    << "ReadWritePaths=" << writable
    << "\n"
    // A registry or log folder in a home or temporary folder stays visible.
    << (inHome ? "" : "ProtectHome=yes\n") << (inTmp ? "" : "PrivateTmp=yes\n")
    << "PrivateDevices=yes\n"
    << "PrivateMounts=yes\n"
    << "ProtectKernelTunables=yes\n"
    << "ProtectKernelModules=yes\n"
    << "ProtectKernelLogs=yes\n"
    << "ProtectControlGroups=yes\n"
    << "ProtectClock=yes\n"
    << "ProtectHostname=yes\n"
    // Other processes hidden; /proc/stat stays (never ProcSubset=pid).
    << "ProtectProc=invisible\n"
    << "RestrictAddressFamilies=AF_INET AF_UNIX AF_NETLINK\n"
    << "RestrictNamespaces=yes\n"
    << "RestrictRealtime=yes\n"
    << "RestrictSUIDSGID=yes\n"
    << "LockPersonality=yes\n"
    << "MemoryDenyWriteExecute=yes\n"
    << "RemoveIPC=yes\n"
    << "SystemCallArchitectures=native\n"
    << "SystemCallFilter=@system-service\n"
    << "SystemCallFilter=~@privileged @resources\n"
    << "SystemCallErrorNumber=EPERM\n";
  return s.str();
}

}  // namespace

SC_HANDLE OpenSCManagerA(const char* /*machine*/, const char* /*database*/, DWORD /*access*/) {
  struct stat st {};
  std::string dir = UnitDir();
  if (::stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || ::access(dir.c_str(), W_OK) != 0) {
    SetLastError(kERROR_ACCESS_DENIED);
    return nullptr;
  }
  return detail::ToHandle(detail::Insert(std::make_shared<Manager>()));
}

SC_HANDLE CreateServiceA(SC_HANDLE manager, const char* name, const char* displayName,
                         DWORD /*access*/, DWORD /*serviceType*/, DWORD startType,
                         DWORD /*errorControl*/, const char* binaryPath,
                         const char* /*loadOrderGroup*/, DWORD* /*tagId*/, const char* dependencies,
                         const char* account, const char* /*password*/) {
  if (!detail::LookupAs<Manager>(manager) || name == nullptr || binaryPath == nullptr) {
    SetLastError(kERROR_INVALID_PARAMETER);
    return nullptr;
  }
  std::string path = UnitPath(name);
  struct stat st {};
  if (::stat(path.c_str(), &st) == 0) {
    SetLastError(kERROR_SERVICE_EXISTS);
    return nullptr;
  }
  std::ostringstream unit;
  std::string deps = DependencyUnits(dependencies);
  unit << "[Unit]\n"
       << "Description=" << (displayName ? displayName : name) << "\n";
  if (!deps.empty()) unit << "Wants=" << deps << "\nAfter=" << deps << "\n";
  unit << "\n[Service]\n"
       << "Type=notify\n"
       << "NotifyAccess=main\n"
       << "ExecStart=" << UnitWord(binaryPath) << "\n";
  // LocalSystem (no account) is root; any other account is named as it is.
  unit << "User=" << (account == nullptr ? "root" : account) << "\n";
  // Each report passes from thread to thread; batch threads woken on the way
  // wait for the waker to sleep instead of preempting it, so a report costs
  // each thread one wake-up and no forced switch.
  unit << "CPUSchedulingPolicy=batch\n";
  unit << SandboxLines();
  unit << "\n[Install]\n";
  if (startType == kSERVICE_AUTO_START) unit << "WantedBy=multi-user.target\n";
  if (!WriteFileAtomically(path, unit.str())) {
    SetLastError(Win32FromErrno(errno));
    return nullptr;
  }
  Systemctl({"daemon-reload"});
  if (startType == kSERVICE_AUTO_START) Systemctl({"enable", std::string(name) + ".service"});
  return detail::ToHandle(detail::Insert(std::make_shared<Service>(name)));
}

SC_HANDLE OpenServiceA(SC_HANDLE manager, const char* name, DWORD /*access*/) {
  if (!detail::LookupAs<Manager>(manager) || name == nullptr) {
    SetLastError(kERROR_INVALID_HANDLE);
    return nullptr;
  }
  struct stat st {};
  if (::stat(UnitPath(name).c_str(), &st) != 0) {
    SetLastError(kERROR_SERVICE_DOES_NOT_EXIST);
    return nullptr;
  }
  return detail::ToHandle(detail::Insert(std::make_shared<Service>(name)));
}

BOOL ChangeServiceConfig2A(SC_HANDLE service, DWORD infoLevel, void* info) {
  auto s = detail::LookupAs<Service>(service);
  if (!s || info == nullptr) {
    SetLastError(kERROR_INVALID_HANDLE);
    return kFALSE;
  }
  std::string path = UnitPath(s->name);
  std::string unit;
  if (!ReadText(path, &unit)) {
    SetLastError(kERROR_SERVICE_DOES_NOT_EXIST);
    return kFALSE;
  }
  if (infoLevel == kSERVICE_CONFIG_DESCRIPTION) {
    auto* d = static_cast<SERVICE_DESCRIPTIONA*>(info);
    unit = SetUnitLine(unit, "[Unit]", "Description", d->lpDescription ? d->lpDescription : "");
  } else if (infoLevel == kSERVICE_CONFIG_FAILURE_ACTIONS) {
    auto* f = static_cast<SERVICE_FAILURE_ACTIONSA*>(info);
    for (DWORD i = 0; i < f->cActions; ++i) {
      if (f->lpsaActions[i].Type == kSC_ACTION_RESTART) {
        unit = SetUnitLine(unit, "[Service]", "Restart", "on-failure");
        unit = SetUnitLine(unit, "[Service]", "RestartSec",
                           std::to_string((f->lpsaActions[i].Delay + 999) / 1000));
        break;
      }
    }
  } else {
    SetLastError(kERROR_INVALID_PARAMETER);
    return kFALSE;
  }
  if (!WriteFileAtomically(path, unit)) {
    SetLastError(Win32FromErrno(errno));
    return kFALSE;
  }
  Systemctl({"daemon-reload"});
  return kTRUE;
}

SC_LOCK LockServiceDatabase(SC_HANDLE manager) {
  if (!detail::LookupAs<Manager>(manager)) return nullptr;
  // The unit folder itself is the lock, so nothing is left behind in it.
  int fd = ::open(UnitDir().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0 || ::flock(fd, LOCK_EX) != 0) {
    SetLastError(Win32FromErrno(errno));
    if (fd >= 0) ::close(fd);
    return nullptr;
  }
  return detail::ToHandle(detail::Insert(std::make_shared<DatabaseLock>(fd)));
}

BOOL UnlockServiceDatabase(SC_LOCK lock) {
  if (!detail::LookupAs<DatabaseLock>(lock)) {
    SetLastError(kERROR_INVALID_SERVICE_LOCK);
    return kFALSE;
  }
  return CloseHandle(lock);
}

BOOL ControlService(SC_HANDLE service, DWORD control, SERVICE_STATUS* /*status*/) {
  auto s = detail::LookupAs<Service>(service);
  if (!s) return kFALSE;
  if (control == kSERVICE_CONTROL_STOP)
    return Systemctl({"stop", "--no-block", s->name + ".service"}) == 0;
  SetLastError(kERROR_INVALID_PARAMETER);
  return kFALSE;
}

BOOL DeleteService(SC_HANDLE service) {
  auto s = detail::LookupAs<Service>(service);
  if (!s) return kFALSE;
  Systemctl({"disable", s->name + ".service"});
  if (::unlink(UnitPath(s->name).c_str()) != 0) {
    SetLastError(Win32FromErrno(errno));
    return kFALSE;
  }
  Systemctl({"daemon-reload"});
  return kTRUE;
}

BOOL CloseServiceHandle(SC_HANDLE handle) { return CloseHandle(handle); }

}  // namespace plat
