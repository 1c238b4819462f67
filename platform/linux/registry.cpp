// SPDX-License-Identifier: Apache-2.0
// The registry on Linux: one text file in the registry export format holds
// kHKEY_LOCAL_MACHINE and kHKEY_CLASSES_ROOT. Readers parse the file as it is on
// disk (a parse is reused while the bytes are the same), so a change made by
// another process is seen at once. Every change rereads the file under an
// exclusive flock on a lock file beside it, applies the one change and
// replaces the file by rename after an fsync, so no update is lost between
// writers and no reader ever sees half a file. kHKEY_LOCAL_MACHINE\HARDWARE is
// made from the host's processors on demand and never stored.
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "platform/common/handles.h"
#include "platform/common/regfile.h"
#include "platform/linux/cpuinfo.h"
#include "platform/linux/errors.h"
#include "platform/linux/regstore.h"
#include "platform/testing.h"

namespace plat {

namespace {

constexpr char kDefaultStorePath[] = "/var/lib/keld4/registry.reg";
constexpr const char* kProcessorPath[] = {"HARDWARE", "DESCRIPTION", "System", "CentralProcessor"};

struct Store {
  std::mutex lock;
  std::string testPath;
  std::string lastParseError;
  // The last parse, reused while the file holds the same bytes.
  std::string cachedPath;
  std::string cachedBytes;
  bool cachedMissing = false;
  std::shared_ptr<const reg::RegKey> cachedTree;
  std::function<std::vector<int64_t>()> processorSource;
  std::shared_ptr<const reg::RegKey> hardwareTree;
  std::chrono::steady_clock::time_point hardwareTime;
};

Store& store() {
  static Store* s = new Store;  // never destroyed: threads may outlive exit
  return *s;
}

std::string ConfiguredPath() {
  {
    std::lock_guard<std::mutex> guard(store().lock);
    if (!store().testPath.empty()) return store().testPath;
  }
  const char* env = std::getenv("KELD4_REGISTRY");
  if (env != nullptr && env[0] != '\0') return env;
  return kDefaultStorePath;
}

class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

// Reads a whole regular file, at most limit + 1 bytes. kERROR_FILE_NOT_FOUND
// when it is not there.
DWORD ReadWholeFile(const std::string& path, size_t limit, std::string* out, struct stat* st) {
  out->clear();
  Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) {
    return (errno == ENOENT || errno == ENOTDIR) ? kERROR_FILE_NOT_FOUND : Win32FromErrno(errno);
  }
  struct stat local {};
  if (st == nullptr) st = &local;
  if (::fstat(fd.get(), st) != 0) return Win32FromErrno(errno);
  if (!S_ISREG(st->st_mode)) return kERROR_ACCESS_DENIED;
  char buf[65536];
  while (out->size() <= limit) {
    ssize_t n = ::read(fd.get(), buf, sizeof(buf));
    if (n < 0) {
      if (errno == EINTR) continue;
      return Win32FromErrno(errno);
    }
    if (n == 0) break;
    out->append(buf, static_cast<size_t>(n));
  }
  return kERROR_SUCCESS;
}

// The tree of a store file's bytes; a text naming file and line on failure.
bool ParseStore(const std::string& path, const std::string& bytes, bool missing,
                std::unique_ptr<reg::RegKey>* root, std::string* error) {
  *root = reg::NewRoot();
  if (missing) return true;
  if (bytes.size() > regstore::kMaxStoreBytes) {
    *error = path + ":1: the file is larger than the store allows (64 MiB)";
    return false;
  }
  std::vector<reg::RegOp> ops;
  reg::ParseError why;
  if (!reg::ParseRegText(bytes, &ops, &why)) {
    *error = path + ":" + std::to_string(why.line) + ": " + why.what;
    return false;
  }
  reg::ApplyRegOps(ops, root->get());
  return true;
}

// Caches a parse; answers the tree it replaces, for the caller to let go of
// outside the locks.
std::shared_ptr<const reg::RegKey> Remember(const std::string& path, std::string bytes,
                                            bool missing, std::shared_ptr<const reg::RegKey> tree) {
  Store& s = store();
  std::lock_guard<std::mutex> guard(s.lock);
  s.lastParseError.clear();
  s.cachedPath = path;
  s.cachedBytes = std::move(bytes);
  s.cachedMissing = missing;
  std::swap(s.cachedTree, tree);
  return tree;
}

// A copy of the cached tree when it is the parse of these very bytes.
std::unique_ptr<reg::RegKey> CachedCopy(const std::string& path, const std::string& bytes,
                                        bool missing) {
  std::shared_ptr<const reg::RegKey> tree;
  {
    Store& s = store();
    std::lock_guard<std::mutex> guard(s.lock);
    if (!s.cachedTree || s.cachedPath != path || s.cachedMissing != missing ||
        s.cachedBytes != bytes)
      return nullptr;
    tree = s.cachedTree;
  }
  return tree->Clone();
}

DWORD FailParse(const std::string& error) {
  std::lock_guard<std::mutex> guard(store().lock);
  store().lastParseError = error;
  return kERROR_REGISTRY_CORRUPT;
}

// The tree the store file holds now.
DWORD LoadTree(std::shared_ptr<const reg::RegKey>* tree) {
  std::string path = ConfiguredPath();
  std::string bytes;
  DWORD rc = ReadWholeFile(path, regstore::kMaxStoreBytes, &bytes, nullptr);
  bool missing = rc == kERROR_FILE_NOT_FOUND;
  if (rc != kERROR_SUCCESS && !missing) return rc;
  Store& s = store();
  {
    std::lock_guard<std::mutex> guard(s.lock);
    if (s.cachedTree && s.cachedPath == path && s.cachedMissing == missing &&
        s.cachedBytes == bytes) {
      s.lastParseError.clear();
      *tree = s.cachedTree;
      return kERROR_SUCCESS;
    }
  }
  std::unique_ptr<reg::RegKey> root;
  std::string error;
  if (!ParseStore(path, bytes, missing, &root, &error)) return FailParse(error);
  std::shared_ptr<const reg::RegKey> shared(std::move(root));
  auto old = Remember(path, std::move(bytes), missing, shared);
  *tree = std::move(shared);
  return kERROR_SUCCESS;
}

// ---------------------------------------------------------------- writing
std::string DirName(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

void MakeDirectories(const std::string& dir) {
  for (size_t pos = 1; pos <= dir.size(); ++pos) {
    if (pos == dir.size() || dir[pos] == '/') ::mkdir(dir.substr(0, pos).c_str(), 0755);
  }
}

// Temporary files of writers that were killed; only called under the lock,
// when no other writer can be at work.
void RemoveStaleTemporaries(const std::string& dir, const std::string& base) {
  DIR* d = ::opendir(dir.c_str());
  if (d == nullptr) return;
  std::string prefix = base + ".tmp.";
  while (dirent* e = ::readdir(d)) {
    if (std::strncmp(e->d_name, prefix.c_str(), prefix.size()) == 0)
      ::unlinkat(::dirfd(d), e->d_name, 0);
  }
  ::closedir(d);
}

DWORD WriteReplacing(const std::string& target, const std::string& text, const struct stat* old) {
  std::string dir = DirName(target);
  std::string name = target + ".tmp.XXXXXX";
  std::vector<char> temp(name.begin(), name.end());
  temp.push_back('\0');
  int raw = ::mkostemp(temp.data(), O_CLOEXEC);
  if (raw < 0) return Win32FromErrno(errno);
  DWORD rc = kERROR_SUCCESS;
  {
    Fd fd(raw);
    ::fchmod(fd.get(), old != nullptr ? (old->st_mode & 07777) : regstore::kStoreFileMode);
    if (old != nullptr && ::geteuid() == 0 && (old->st_uid != 0 || old->st_gid != 0)) {
      if (::fchown(fd.get(), old->st_uid, old->st_gid) != 0) {
        // The file stays root's; the content matters more than the owner.
      }
    }
    size_t done = 0;
    while (done < text.size() && rc == kERROR_SUCCESS) {
      ssize_t n = ::write(fd.get(), text.data() + done, text.size() - done);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0)
        rc = Win32FromErrno(errno);
      else
        done += static_cast<size_t>(n);
    }
    if (rc == kERROR_SUCCESS && ::fsync(fd.get()) != 0) rc = Win32FromErrno(errno);
  }
  if (rc == kERROR_SUCCESS && ::rename(temp.data(), target.c_str()) != 0)
    rc = Win32FromErrno(errno);
  if (rc != kERROR_SUCCESS) {
    ::unlink(temp.data());
    return rc;
  }
  // The rename itself must reach the disk too.
  Fd dirFd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dirFd.get() >= 0) ::fsync(dirFd.get());
  return kERROR_SUCCESS;
}

// ---------------------------------------------------------------- the host's processors
bool ReadSmallFile(const char* path, std::string* out) {
  return ReadWholeFile(path, 16u << 20, out, nullptr) == kERROR_SUCCESS;
}

std::vector<int64_t> HostProcessors() {
  std::string text;
  std::vector<unsigned> cpus;
  if (!ReadSmallFile("/sys/devices/system/cpu/online", &text) ||
      !cpuinfo::ParseCpuList(text, &cpus)) {
    cpus.clear();
  }
  std::map<unsigned, int64_t> fromCpuinfo;
  bool haveCpuinfo = false;
  auto cpuinfoMHz = [&]() -> const std::map<unsigned, int64_t>& {
    if (!haveCpuinfo) {
      std::string info;
      if (ReadSmallFile("/proc/cpuinfo", &info)) fromCpuinfo = cpuinfo::ParseCpuinfoMHz(info);
      haveCpuinfo = true;
    }
    return fromCpuinfo;
  };
  if (cpus.empty()) {
    for (const auto& entry : cpuinfoMHz()) cpus.push_back(entry.first);
  }
  std::vector<int64_t> result;
  for (unsigned cpu : cpus) {
    char path[96];
    std::snprintf(path, sizeof(path), "/sys/devices/system/cpu/cpu%u/cpufreq/cpuinfo_max_freq",
                  cpu);
    int64_t mhz = -1;
    if (!ReadSmallFile(path, &text) || !cpuinfo::ParseMaxFreqKHz(text, &mhz)) {
      auto it = cpuinfoMHz().find(cpu);
      mhz = it != cpuinfoMHz().end() ? it->second : -1;
    }
    result.push_back(mhz);
  }
  return result;
}

// kHKEY_LOCAL_MACHINE\HARDWARE\DESCRIPTION\System\CentralProcessor\0..n-1,
// one subkey per online processor numbered without gaps (as Windows counts
// them), so that the subkey count names every subkey.
std::shared_ptr<const reg::RegKey> HardwareTree() {
  Store& s = store();
  std::function<std::vector<int64_t>()> source;
  {
    std::lock_guard<std::mutex> guard(s.lock);
    source = s.processorSource;
    // The host's facts are read at most once a second: a processor count
    // of hundreds would otherwise mean reading them once per subkey opened.
    if (!source && s.hardwareTree &&
        std::chrono::steady_clock::now() - s.hardwareTime < std::chrono::seconds(1)) {
      return s.hardwareTree;
    }
  }
  std::vector<int64_t> speeds = source ? source() : HostProcessors();
  std::shared_ptr<reg::RegKey> root = reg::NewRoot();
  reg::RegKey* k = root->FindSubkey(reg::kLocalMachine);
  for (const char* name : kProcessorPath) k = k->AddSubkey(name);
  for (size_t i = 0; i < speeds.size(); ++i) {
    reg::RegKey* cpu = k->AddSubkey(std::to_string(i));
    if (speeds[i] < 0) continue;
    DWORD mhz = speeds[i] > 0xFFFFFFFFLL ? 0xFFFFFFFFu : static_cast<DWORD>(speeds[i]);
    cpu->SetValue("~MHz", kREG_DWORD, std::string(reinterpret_cast<const char*>(&mhz), 4));
  }
  if (!source) {
    std::lock_guard<std::mutex> guard(s.lock);
    s.hardwareTree = root;
    s.hardwareTime = std::chrono::steady_clock::now();
  }
  return root;
}

// ---------------------------------------------------------------- handles
class RegKeyHandle : public detail::Object {
 public:
  RegKeyHandle(std::vector<std::string> p, REGSAM a) : path(std::move(p)), access(a) {}
  std::vector<std::string> path;  // hive first
  REGSAM access;
};

bool IsPredefined(HKEY key) { return key == kHKEY_LOCAL_MACHINE || key == kHKEY_CLASSES_ROOT; }

// The path behind a key handle, and what it was opened for.
DWORD BasePath(HKEY key, std::vector<std::string>* path, REGSAM* access, bool* predefined) {
  *predefined = IsPredefined(key);
  if (key == kHKEY_LOCAL_MACHINE || key == kHKEY_CLASSES_ROOT) {
    *path = {key == kHKEY_LOCAL_MACHINE ? reg::kLocalMachine : reg::kClassesRoot};
    *access = kKEY_ALL_ACCESS;
    return kERROR_SUCCESS;
  }
  if (key == nullptr) return kERROR_INVALID_HANDLE;
  auto handle = detail::LookupAs<RegKeyHandle>(key);
  if (!handle) return kERROR_INVALID_HANDLE;
  *path = handle->path;
  *access = handle->access;
  return kERROR_SUCCESS;
}

// Appends the names of a relative key path; null and "" name the key itself.
DWORD AppendSubKey(const char* subKey, bool forCreate, std::vector<std::string>* path) {
  if (subKey == nullptr || subKey[0] == '\0') return kERROR_SUCCESS;
  std::string_view rest(subKey);
  if (rest.back() == '\\') rest.remove_suffix(1);
  while (true) {
    size_t end = rest.find('\\');
    std::string_view name = rest.substr(0, end);
    if (name.empty()) return kERROR_INVALID_PARAMETER;
    if (forCreate && !reg::IsValidKeyName(name)) return kERROR_INVALID_PARAMETER;
    path->emplace_back(name);
    if (end == std::string_view::npos) return kERROR_SUCCESS;
    rest.remove_prefix(end + 1);
  }
}

// The key a handle stands for, as it is now. A handle whose key has been
// deleted answers kERROR_KEY_DELETED. Without found, only that the key still
// exists is checked (a hive always does).
DWORD CurrentKey(HKEY key, REGSAM need, std::vector<std::string>* path,
                 std::shared_ptr<const reg::RegKey>* holder, const reg::RegKey** found) {
  REGSAM access;
  bool predefined;
  DWORD rc = BasePath(key, path, &access, &predefined);
  if (rc != kERROR_SUCCESS) return rc;
  if ((access & need) != need) return kERROR_ACCESS_DENIED;
  if (found == nullptr && predefined) return kERROR_SUCCESS;
  const reg::RegKey* ignored;
  rc = regstore::FindKey(*path, holder, found != nullptr ? found : &ignored);
  if (rc == kERROR_FILE_NOT_FOUND) return kERROR_KEY_DELETED;
  return rc;
}

HKEY NewHandle(std::vector<std::string> path, REGSAM access) {
  return detail::ToHandle(detail::Insert(std::make_shared<RegKeyHandle>(std::move(path), access)));
}

std::vector<std::string> Parent(const std::vector<std::string>& path) {
  return std::vector<std::string>(path.begin(), path.end() - 1);
}

// A key path that exists in the store tree, except that a hive always does.
DWORD MustExist(reg::RegKey* root, const std::vector<std::string>& path, reg::RegKey** key) {
  *key = reg::FindPath(*root, path);
  return *key != nullptr ? kERROR_SUCCESS : kERROR_KEY_DELETED;
}

// Shared part of reading a value's data into a caller's buffer.
LONG CopyData(const std::string& data, BYTE* out, DWORD* size) {
  DWORD needed = static_cast<DWORD>(data.size());
  if (out == nullptr) {
    if (size != nullptr) *size = needed;
    return kERROR_SUCCESS;
  }
  if (needed > *size) {
    *size = needed;
    return kERROR_MORE_DATA;
  }
  // Registry data are bytes; a text value carries its own terminator.
  if (needed > 0)
    std::memcpy(out, data.data(), needed);  // NOLINT(bugprone-not-null-terminated-result)
  *size = needed;
  return kERROR_SUCCESS;
}

}  // namespace

// ---------------------------------------------------------------- internal store API
namespace regstore {

bool IsHostProvided(const std::vector<std::string>& path) {
  return path.size() >= 2 && reg::SameName(path[0], reg::kLocalMachine) &&
         reg::SameName(path[1], kProcessorPath[0]);
}

DWORD FindKey(const std::vector<std::string>& path, std::shared_ptr<const reg::RegKey>* holder,
              const reg::RegKey** key) {
  if (IsHostProvided(path)) {
    *holder = HardwareTree();
  } else {
    DWORD rc = LoadTree(holder);
    if (rc != kERROR_SUCCESS) return rc;
    if (path.size() == 1 && reg::SameName(path[0], reg::kLocalMachine)) {
      // kHKEY_LOCAL_MACHINE itself: the stored keys with the host's beside them.
      auto view = reg::NewRoot();
      reg::RegKey* hklm = view->FindSubkey(reg::kLocalMachine);
      auto hardware = HardwareTree();
      hklm->AdoptSubkey(reg::FindPath(*hardware, {reg::kLocalMachine, kProcessorPath[0]})->Clone());
      const reg::RegKey* stored = (*holder)->FindSubkey(reg::kLocalMachine);
      for (const reg::RegValue& v : stored->values) hklm->SetValue(v.name, v.type, v.data);
      for (const auto& sub : stored->subkeys) {
        if (!reg::SameName(sub->name, kProcessorPath[0])) hklm->AdoptSubkey(sub->Clone());
      }
      *holder = std::shared_ptr<const reg::RegKey>(std::move(view));
    }
  }
  *key = reg::FindPath(**holder, path);
  return *key != nullptr ? kERROR_SUCCESS : kERROR_FILE_NOT_FOUND;
}

std::string StorePath() { return ConfiguredPath(); }

std::string DefaultStorePath() { return kDefaultStorePath; }

DWORD Update(const std::function<DWORD(reg::RegKey* root)>& change) {
  std::string path = ConfiguredPath();
  // Writers through a symbolic link and through its target share one lock
  // and replace the target, not the link.
  std::string target = path;
  char resolved[PATH_MAX];
  if (::realpath(path.c_str(), resolved) != nullptr) target = resolved;
  std::string dir = DirName(target);
  MakeDirectories(dir);
  // The replaced parse goes after the file lock is released.
  std::shared_ptr<const reg::RegKey> replaced;
  Fd lock(
      ::open((target + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, regstore::kStoreFileMode));
  // A directory that could not be made is no missing key.
  if (lock.get() < 0) return errno == ENOENT ? kERROR_PATH_NOT_FOUND : Win32FromErrno(errno);
  while (::flock(lock.get(), LOCK_EX) != 0) {
    if (errno != EINTR) return Win32FromErrno(errno);
  }
  std::string bytes;
  struct stat old {};
  DWORD rc = ReadWholeFile(target, kMaxStoreBytes, &bytes, &old);
  bool missing = rc == kERROR_FILE_NOT_FOUND;
  if (rc != kERROR_SUCCESS && !missing) return rc;
  // Parsed once: the bytes this process wrote or read last are already a
  // tree. A file that cannot be parsed is left as it is: replacing it would
  // lose whatever it holds.
  std::unique_ptr<reg::RegKey> root = CachedCopy(path, bytes, missing);
  std::string error;
  if (!root && !ParseStore(target, bytes, missing, &root, &error)) return FailParse(error);
  rc = change(root.get());
  if (rc != kERROR_SUCCESS) return rc;
  std::string text = reg::WriteRegText(*root);
  bool unchanged = missing ? text == reg::WriteRegText(*reg::NewRoot()) : text == bytes;
  if (!unchanged) {
    if (text.size() > kMaxStoreBytes) return kERROR_NOT_ENOUGH_QUOTA;
    RemoveStaleTemporaries(dir, target.substr(dir.size() + (dir == "/" ? 0 : 1)));
    rc = WriteReplacing(target, text, missing ? nullptr : &old);
    if (rc != kERROR_SUCCESS) return rc;
    missing = false;
    bytes = std::move(text);
  }
  replaced = Remember(path, std::move(bytes), missing,
                      std::shared_ptr<const reg::RegKey>(std::move(root)));
  return kERROR_SUCCESS;
}

}  // namespace regstore

// ---------------------------------------------------------------- the calls
std::string RegistryStorePath() { return ConfiguredPath(); }

void SetRegistryStorePathForTest(const std::string& path) {
  std::lock_guard<std::mutex> guard(store().lock);
  store().testPath = path;
}

std::string RegistryLastParseError() {
  std::lock_guard<std::mutex> guard(store().lock);
  return store().lastParseError;
}

void SetProcessorSourceForTest(std::function<std::vector<int64_t>()> source) {
  std::lock_guard<std::mutex> guard(store().lock);
  store().processorSource = std::move(source);
  store().hardwareTree.reset();
}

LONG RegOpenKeyExA(HKEY key, const char* subKey, DWORD /*options*/, REGSAM access, HKEY* result) {
  if (result == nullptr) return kERROR_INVALID_PARAMETER;
  *result = nullptr;
  std::vector<std::string> path;
  std::shared_ptr<const reg::RegKey> holder;
  const reg::RegKey* found;
  DWORD rc = CurrentKey(key, 0, &path, &holder, nullptr);
  if (rc != kERROR_SUCCESS) return static_cast<LONG>(rc);
  rc = AppendSubKey(subKey, false, &path);
  if (rc != kERROR_SUCCESS) return static_cast<LONG>(rc);
  rc = regstore::FindKey(path, &holder, &found);
  if (rc != kERROR_SUCCESS) return static_cast<LONG>(rc);
  *result = NewHandle(std::move(path), access);
  return kERROR_SUCCESS;
}

LONG RegCreateKeyExA(HKEY key, const char* subKey, DWORD /*reserved*/, char* /*cls*/,
                     DWORD /*options*/, REGSAM access, void* /*security*/, HKEY* result,
                     DWORD* disposition) {
  if (result == nullptr) return kERROR_INVALID_PARAMETER;
  *result = nullptr;
  std::vector<std::string> base;
  std::shared_ptr<const reg::RegKey> holder;
  const reg::RegKey* found;
  DWORD rc = CurrentKey(key, 0, &base, &holder, nullptr);
  if (rc != kERROR_SUCCESS) return static_cast<LONG>(rc);
  std::vector<std::string> path = base;
  rc = AppendSubKey(subKey, true, &path);
  if (rc != kERROR_SUCCESS) return static_cast<LONG>(rc);
  rc = regstore::FindKey(path, &holder, &found);
  if (rc == kERROR_SUCCESS) {
    if (disposition != nullptr) *disposition = kREG_OPENED_EXISTING_KEY;
    *result = NewHandle(std::move(path), access);
    return kERROR_SUCCESS;
  }
  if (rc != kERROR_FILE_NOT_FOUND) return static_cast<LONG>(rc);
  if (regstore::IsHostProvided(path)) return kERROR_ACCESS_DENIED;
  REGSAM baseAccess;
  bool predefined;
  BasePath(key, &base, &baseAccess, &predefined);
  if ((baseAccess & kKEY_CREATE_SUB_KEY) == 0) return kERROR_ACCESS_DENIED;
  bool created = false;
  rc = regstore::Update([&](reg::RegKey* root) -> DWORD {
    reg::RegKey* k;
    DWORD r = MustExist(root, base, &k);
    if (r != kERROR_SUCCESS) return r;
    for (size_t i = base.size(); i < path.size(); ++i) {
      reg::RegKey* next = k->FindSubkey(path[i]);
      if (next == nullptr) {
        next = k->AddSubkey(path[i]);
        created = true;
      }
      k = next;
    }
    return kERROR_SUCCESS;
  });
  if (rc != kERROR_SUCCESS) return static_cast<LONG>(rc);
  if (disposition != nullptr)
    *disposition = created ? kREG_CREATED_NEW_KEY : kREG_OPENED_EXISTING_KEY;
  *result = NewHandle(std::move(path), access);
  return kERROR_SUCCESS;
}

LONG RegCloseKey(HKEY key) {
  if (IsPredefined(key)) return kERROR_SUCCESS;
  if (key == nullptr || key == kINVALID_HANDLE_VALUE) return kERROR_INVALID_HANDLE;
  if (!detail::LookupAs<RegKeyHandle>(key)) return kERROR_INVALID_HANDLE;
  return static_cast<LONG>(
      detail::Remove(reinterpret_cast<uintptr_t>(key)) ? kERROR_SUCCESS : kERROR_INVALID_HANDLE);
}

LONG RegQueryValueExA(HKEY key, const char* name, DWORD* /*reserved*/, DWORD* type, BYTE* data,
                      DWORD* size) {
  if (data != nullptr && size == nullptr) return kERROR_INVALID_PARAMETER;
  std::vector<std::string> path;
  std::shared_ptr<const reg::RegKey> holder;
  const reg::RegKey* found;
  DWORD rc = CurrentKey(key, kKEY_QUERY_VALUE, &path, &holder, &found);
  if (rc != kERROR_SUCCESS) return static_cast<LONG>(rc);
  const reg::RegValue* value = found->FindValue(name != nullptr ? name : "");
  if (value == nullptr) return kERROR_FILE_NOT_FOUND;
  if (type != nullptr) *type = value->type;
  return CopyData(value->data, data, size);
}

LONG RegSetValueExA(HKEY key, const char* name, DWORD /*reserved*/, DWORD type, const BYTE* data,
                    DWORD size) {
  if ((data == nullptr && size > 0) || size > regstore::kMaxStoreBytes)
    return kERROR_INVALID_PARAMETER;
  std::string valueName = name != nullptr ? name : "";
  if (!reg::IsValidValueName(valueName)) return kERROR_INVALID_PARAMETER;
  std::vector<std::string> path;
  std::shared_ptr<const reg::RegKey> holder;
  DWORD rc = CurrentKey(key, kKEY_SET_VALUE, &path, &holder, nullptr);
  if (rc != kERROR_SUCCESS) return static_cast<LONG>(rc);
  if (regstore::IsHostProvided(path)) return kERROR_ACCESS_DENIED;
  std::string bytes(reinterpret_cast<const char*>(data), size);
  return static_cast<LONG>(regstore::Update([&](reg::RegKey* root) -> DWORD {
    reg::RegKey* k;
    DWORD r = MustExist(root, path, &k);
    if (r == kERROR_SUCCESS) k->SetValue(valueName, type, bytes);
    return r;
  }));
}

LONG RegDeleteValueA(HKEY key, const char* name) {
  std::string valueName = name != nullptr ? name : "";
  std::vector<std::string> path;
  std::shared_ptr<const reg::RegKey> holder;
  const reg::RegKey* found;
  DWORD rc = CurrentKey(key, kKEY_SET_VALUE, &path, &holder, &found);
  if (rc != kERROR_SUCCESS) return static_cast<LONG>(rc);
  if (regstore::IsHostProvided(path)) return kERROR_ACCESS_DENIED;
  if (found->FindValue(valueName) == nullptr) return kERROR_FILE_NOT_FOUND;
  return static_cast<LONG>(regstore::Update([&](reg::RegKey* root) -> DWORD {
    reg::RegKey* k;
    DWORD r = MustExist(root, path, &k);
    if (r != kERROR_SUCCESS) return r;
    return k->RemoveValue(valueName) ? kERROR_SUCCESS : kERROR_FILE_NOT_FOUND;
  }));
}

LONG RegDeleteTreeA(HKEY key, const char* subKey) {
  std::vector<std::string> base;
  std::shared_ptr<const reg::RegKey> holder;
  DWORD rc = CurrentKey(key, 0, &base, &holder, nullptr);
  if (rc != kERROR_SUCCESS) return static_cast<LONG>(rc);
  std::vector<std::string> path = base;
  rc = AppendSubKey(subKey, false, &path);
  if (rc != kERROR_SUCCESS) return static_cast<LONG>(rc);
  // A hive is never emptied through a call, nor is the host's part.
  if (path.size() < 2 || regstore::IsHostProvided(path)) return kERROR_ACCESS_DENIED;
  bool whole = path.size() > base.size();
  return static_cast<LONG>(regstore::Update([&](reg::RegKey* root) -> DWORD {
    reg::RegKey* k;
    DWORD r = MustExist(root, base, &k);
    if (r != kERROR_SUCCESS) return r;
    if (!whole) {
      k->Clear();
      return kERROR_SUCCESS;
    }
    reg::RegKey* parent = reg::FindPath(*root, Parent(path));
    if (parent == nullptr || !parent->RemoveSubkey(path.back())) return kERROR_FILE_NOT_FOUND;
    return kERROR_SUCCESS;
  }));
}

LONG RegQueryInfoKeyA(HKEY key, char* keyClass, DWORD* classSize, DWORD* reserved, DWORD* subKeys,
                      DWORD* maxSubKeyLength, DWORD* maxClassLength, DWORD* values,
                      DWORD* maxValueNameLength, DWORD* maxValueLength,
                      DWORD* securityDescriptorSize, FILETIME* lastWriteTime) {
  if (reserved != nullptr || (keyClass != nullptr && classSize == nullptr)) {
    return kERROR_INVALID_PARAMETER;
  }
  std::vector<std::string> path;
  std::shared_ptr<const reg::RegKey> holder;
  const reg::RegKey* found;
  DWORD rc = CurrentKey(key, 0, &path, &holder, &found);
  if (rc != kERROR_SUCCESS) return static_cast<LONG>(rc);
  // The store file keeps no classes, security descriptors or write times.
  if (keyClass != nullptr && *classSize > 0) keyClass[0] = '\0';
  if (classSize != nullptr) *classSize = 0;
  if (maxClassLength != nullptr) *maxClassLength = 0;
  if (securityDescriptorSize != nullptr) *securityDescriptorSize = 0;
  if (lastWriteTime != nullptr) *lastWriteTime = FILETIME{};
  if (subKeys != nullptr) *subKeys = static_cast<DWORD>(found->subkeys.size());
  if (values != nullptr) *values = static_cast<DWORD>(found->values.size());
  size_t longestSubKey = 0, longestName = 0, longestData = 0;
  for (const auto& sub : found->subkeys) longestSubKey = std::max(longestSubKey, sub->name.size());
  for (const auto& value : found->values) {
    longestName = std::max(longestName, value.name.size());
    longestData = std::max(longestData, value.data.size());
  }
  if (maxSubKeyLength != nullptr) *maxSubKeyLength = static_cast<DWORD>(longestSubKey);
  if (maxValueNameLength != nullptr) *maxValueNameLength = static_cast<DWORD>(longestName);
  if (maxValueLength != nullptr) *maxValueLength = static_cast<DWORD>(longestData);
  return kERROR_SUCCESS;
}

LONG RegEnumKeyExA(HKEY key, DWORD index, char* name, DWORD* nameSize, DWORD* reserved,
                   char* keyClass, DWORD* classSize, FILETIME* lastWriteTime) {
  if (name == nullptr || nameSize == nullptr || reserved != nullptr ||
      (keyClass != nullptr && classSize == nullptr)) {
    return kERROR_INVALID_PARAMETER;
  }
  std::vector<std::string> path;
  std::shared_ptr<const reg::RegKey> holder;
  const reg::RegKey* found;
  DWORD rc = CurrentKey(key, 0, &path, &holder, &found);
  if (rc != kERROR_SUCCESS) return static_cast<LONG>(rc);
  const auto& subs = found->subkeys;
  if (index >= subs.size()) return kERROR_NO_MORE_ITEMS;
  const std::string& sub = subs[index]->name;
  if (sub.size() + 1 > *nameSize) return kERROR_MORE_DATA;
  std::memcpy(name, sub.c_str(), sub.size() + 1);
  *nameSize = static_cast<DWORD>(sub.size());
  if (keyClass != nullptr && *classSize > 0) keyClass[0] = '\0';
  if (classSize != nullptr) *classSize = 0;
  if (lastWriteTime != nullptr) *lastWriteTime = FILETIME{};
  return kERROR_SUCCESS;
}

LONG RegEnumValueA(HKEY key, DWORD index, char* name, DWORD* nameSize, DWORD* type, BYTE* data,
                   DWORD* dataSize) {
  if (name == nullptr || nameSize == nullptr || (data != nullptr && dataSize == nullptr)) {
    return kERROR_INVALID_PARAMETER;
  }
  std::vector<std::string> path;
  std::shared_ptr<const reg::RegKey> holder;
  const reg::RegKey* found;
  DWORD rc = CurrentKey(key, kKEY_QUERY_VALUE, &path, &holder, &found);
  if (rc != kERROR_SUCCESS) return static_cast<LONG>(rc);
  if (index >= found->values.size()) return kERROR_NO_MORE_ITEMS;
  const reg::RegValue& value = found->values[index];
  if (value.name.size() + 1 > *nameSize) return kERROR_MORE_DATA;
  std::memcpy(name, value.name.c_str(), value.name.size() + 1);
  *nameSize = static_cast<DWORD>(value.name.size());
  if (type != nullptr) *type = value.type;
  return CopyData(value.data, data, dataSize);
}

}  // namespace plat
