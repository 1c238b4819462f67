// SPDX-License-Identifier: Apache-2.0
// The registry on Windows: the system's own, its keys behind the handle table
// so that a closed key answers kERROR_INVALID_HANDLE.
#include <cstdio>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "platform/testing.h"
#include "platform/win32/win32.h"

namespace plat {
namespace {

class Key : public detail::Object {
 public:
  explicit Key(::HKEY k) : k_(k) {}
  ~Key() override { ::RegCloseKey(k_); }
  ::HKEY get() const { return k_; }

 private:
  ::HKEY k_;
};

// A test's store: HKEY_LOCAL_MACHINE stands for a key of the user's own, one
// per store path, so tests never write the machine's registry (and need no
// administrator). Only the layer's own calls see it, unlike a process-wide
// RegOverridePredefKey that the system's libraries would see as well.
std::mutex g_testRootLock;
::HKEY g_testRoot = nullptr;
std::string g_testRootName;  // empty: no test store

// Null when a test store is set but its key could not be made: never the
// machine's key then.
::HKEY LocalMachine() {
  std::lock_guard<std::mutex> lock(g_testRootLock);
  if (g_testRootName.empty()) return kSystemLocalMachine;
  return g_testRoot;
}

// The processor seam: its entries are written as a processor key under a
// key of the user's own (one per process, as test programs run side by side),
// and opens of the system's processor key go there.
constexpr char kProcessorPath[] = "HARDWARE\\DESCRIPTION\\System\\CentralProcessor";
std::function<std::vector<int64_t>()> g_processorSource;
::HKEY g_processorRoot = nullptr;

std::string ProcessorRootName() {
  return "Software\\keld4-tests\\processors-" + std::to_string(::GetCurrentProcessId());
}

// 1: the path is the processor key itself; 2: below it; 0: elsewhere.
int ProcessorPathKind(const char* subKey) {
  size_t n = sizeof(kProcessorPath) - 1;
  if (subKey == nullptr || ::_strnicmp(subKey, kProcessorPath, n) != 0) return 0;
  if (subKey[n] == '\0') return 1;
  return subKey[n] == '\\' ? 2 : 0;
}

// Rewrites the processor key from the seam (on each open of the key itself,
// so a changed source shows on the next read).
void WriteProcessors(const std::vector<int64_t>& speeds) {
  ::RegDeleteTreeA(g_processorRoot, "HARDWARE");
  for (size_t i = 0; i < speeds.size(); ++i) {
    std::string path = std::string(kProcessorPath) + "\\" + std::to_string(i);
    ::HKEY k = nullptr;
    if (::RegCreateKeyExA(g_processorRoot, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k,
                          nullptr) != ERROR_SUCCESS) {
      continue;
    }
    if (speeds[i] >= 0) {
      ::DWORD mhz = static_cast<::DWORD>(speeds[i]);
      ::RegSetValueExA(k, "~MHz", 0, REG_DWORD, reinterpret_cast<const ::BYTE*>(&mhz), sizeof(mhz));
    }
    ::RegCloseKey(k);
  }
  ::HKEY k = nullptr;
  if (::RegCreateKeyExA(g_processorRoot, kProcessorPath, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k,
                        nullptr) == ERROR_SUCCESS) {
    ::RegCloseKey(k);
  }
}

// The key a processor path opens under while the seam is set, else null.
::HKEY ProcessorParent(const char* subKey) {
  int kind = ProcessorPathKind(subKey);
  if (kind == 0) return nullptr;
  std::function<std::vector<int64_t>()> source;
  {
    std::lock_guard<std::mutex> lock(g_testRootLock);
    source = g_processorSource;
  }
  if (!source) return nullptr;
  std::vector<int64_t> speeds = kind == 1 ? source() : std::vector<int64_t>{};
  std::lock_guard<std::mutex> lock(g_testRootLock);
  if (!g_processorRoot) return nullptr;
  if (kind == 1) WriteProcessors(speeds);
  return g_processorRoot;
}

// The predefined keys are the same numbers as the system's; opened keys are
// looked up in the table. Answers null (with the status in *rc) when the
// handle is not live.
::HKEY Native(HKEY key, LONG* rc) {
  if (key == kHKEY_LOCAL_MACHINE) {
    ::HKEY k = LocalMachine();
    if (!k) *rc = static_cast<LONG>(kERROR_ACCESS_DENIED);
    return k;
  }
  if (key == kHKEY_CLASSES_ROOT) return kSystemClassesRoot;
  auto k = detail::LookupAs<Key>(key);
  if (!k) {
    *rc = static_cast<LONG>(kERROR_INVALID_HANDLE);
    return nullptr;
  }
  return k->get();
}

HKEY Keep(::HKEY k) { return detail::ToHandle(detail::Insert(std::make_shared<Key>(k))); }

// Sizes pass through as the system's DWORD (unsigned long).
class Size {
 public:
  explicit Size(DWORD* p) : p_(p), v_(p ? *p : 0) {}
  ~Size() {
    if (p_) *p_ = static_cast<DWORD>(v_);
  }
  Size(const Size&) = delete;
  Size& operator=(const Size&) = delete;
  ::DWORD* get() { return p_ ? &v_ : nullptr; }

 private:
  DWORD* p_;
  ::DWORD v_;
};

}  // namespace

// The store is the system's registry: no file, nothing to parse.
std::string RegistryStorePath() { return {}; }
std::string RegistryLastParseError() { return {}; }
void SetRegistryStorePathForTest(const std::string& path) {
  std::lock_guard<std::mutex> lock(g_testRootLock);
  if (g_testRoot) {
    // The test's values go with it, so the next test starts empty.
    ::RegCloseKey(g_testRoot);
    g_testRoot = nullptr;
  }
  if (!g_testRootName.empty()) ::RegDeleteTreeA(kSystemCurrentUser, g_testRootName.c_str());
  g_testRootName.clear();
  if (path.empty()) return;
  char name[64];
  std::snprintf(name, sizeof(name), "Software\\keld4-tests\\%016llx",
                static_cast<unsigned long long>(std::hash<std::string>{}(path)));
  g_testRootName = name;
  // A key already there is the store of the same path (another process of the
  // same test, such as a death test's child): it is kept, as a file would be.
  ::HKEY root = nullptr;
  if (::RegCreateKeyExA(kSystemCurrentUser, name, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &root,
                        nullptr) == ERROR_SUCCESS) {
    g_testRoot = root;
  }
}

void SetProcessorSourceForTest(std::function<std::vector<int64_t>()> source) {
  std::lock_guard<std::mutex> lock(g_testRootLock);
  g_processorSource = std::move(source);
  std::string name = ProcessorRootName();
  if (g_processorRoot) {
    ::RegCloseKey(g_processorRoot);
    g_processorRoot = nullptr;
    ::RegDeleteTreeA(kSystemCurrentUser, name.c_str());
  }
  if (!g_processorSource) return;
  ::HKEY root = nullptr;
  if (::RegCreateKeyExA(kSystemCurrentUser, name.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                        &root, nullptr) == ERROR_SUCCESS) {
    g_processorRoot = root;
  }
}

LONG RegOpenKeyExA(HKEY key, const char* subKey, DWORD options, REGSAM access, HKEY* result) {
  LONG rc = 0;
  ::HKEY parent = key == kHKEY_LOCAL_MACHINE ? ProcessorParent(subKey) : nullptr;
  if (!parent) parent = Native(key, &rc);
  if (!parent) return rc;
  ::HKEY k = nullptr;
  rc = ::RegOpenKeyExA(parent, subKey, options, access, &k);
  if (rc == ERROR_SUCCESS) *result = Keep(k);
  return rc;
}

LONG RegCreateKeyExA(HKEY key, const char* subKey, DWORD reserved, char* cls, DWORD options,
                     REGSAM access, void* /*security*/, HKEY* result, DWORD* disposition) {
  LONG rc = 0;
  ::HKEY parent = Native(key, &rc);
  if (!parent) return rc;
  ::HKEY k = nullptr;
  Size d(disposition);
  rc = ::RegCreateKeyExA(parent, subKey, reserved, cls, options, access, nullptr, &k, d.get());
  if (rc == ERROR_SUCCESS) *result = Keep(k);
  return rc;
}

LONG RegCloseKey(HKEY key) {
  if (key == kHKEY_LOCAL_MACHINE || key == kHKEY_CLASSES_ROOT) return kERROR_SUCCESS;
  return detail::Remove(reinterpret_cast<uintptr_t>(key))
             ? kERROR_SUCCESS
             : static_cast<LONG>(kERROR_INVALID_HANDLE);
}

LONG RegQueryValueExA(HKEY key, const char* name, DWORD* reserved, DWORD* type, BYTE* data,
                      DWORD* size) {
  LONG rc = 0;
  ::HKEY k = Native(key, &rc);
  if (!k) return rc;
  Size t(type), s(size);
  return ::RegQueryValueExA(k, name, reinterpret_cast<::DWORD*>(reserved), t.get(), data, s.get());
}

LONG RegSetValueExA(HKEY key, const char* name, DWORD reserved, DWORD type, const BYTE* data,
                    DWORD size) {
  LONG rc = 0;
  ::HKEY k = Native(key, &rc);
  if (!k) return rc;
  return ::RegSetValueExA(k, name, reserved, type, data, size);
}

LONG RegDeleteValueA(HKEY key, const char* name) {
  LONG rc = 0;
  ::HKEY k = Native(key, &rc);
  if (!k) return rc;
  return ::RegDeleteValueA(k, name);
}

LONG RegDeleteTreeA(HKEY key, const char* subKey) {
  LONG rc = 0;
  ::HKEY k = Native(key, &rc);
  if (!k) return rc;
  return ::RegDeleteTreeA(k, subKey);
}

LONG RegQueryInfoKeyA(HKEY key, char* keyClass, DWORD* classSize, DWORD* reserved, DWORD* subKeys,
                      DWORD* maxSubKeyLength, DWORD* maxClassLength, DWORD* values,
                      DWORD* maxValueNameLength, DWORD* maxValueLength,
                      DWORD* securityDescriptorSize, FILETIME* lastWriteTime) {
  LONG rc = 0;
  ::HKEY k = Native(key, &rc);
  if (!k) return rc;
  Size cs(classSize), r(reserved), sk(subKeys), msk(maxSubKeyLength), mc(maxClassLength), v(values),
      mvn(maxValueNameLength), mv(maxValueLength), sd(securityDescriptorSize);
  ::FILETIME written{};
  rc = ::RegQueryInfoKeyA(k, keyClass, cs.get(), r.get(), sk.get(), msk.get(), mc.get(), v.get(),
                          mvn.get(), mv.get(), sd.get(), lastWriteTime ? &written : nullptr);
  if (lastWriteTime) *lastWriteTime = FILETIME{written.dwLowDateTime, written.dwHighDateTime};
  return rc;
}

LONG RegEnumKeyExA(HKEY key, DWORD index, char* name, DWORD* nameSize, DWORD* reserved,
                   char* keyClass, DWORD* classSize, FILETIME* lastWriteTime) {
  LONG rc = 0;
  ::HKEY k = Native(key, &rc);
  if (!k) return rc;
  Size n(nameSize), r(reserved), cs(classSize);
  ::FILETIME written{};
  rc = ::RegEnumKeyExA(k, index, name, n.get(), r.get(), keyClass, cs.get(),
                       lastWriteTime ? &written : nullptr);
  if (lastWriteTime) *lastWriteTime = FILETIME{written.dwLowDateTime, written.dwHighDateTime};
  return rc;
}

LONG RegEnumValueA(HKEY key, DWORD index, char* name, DWORD* nameSize, DWORD* type, BYTE* data,
                   DWORD* dataSize) {
  LONG rc = 0;
  ::HKEY k = Native(key, &rc);
  if (!k) return rc;
  Size n(nameSize), t(type), d(dataSize);
  return ::RegEnumValueA(k, index, name, n.get(), nullptr, t.get(), data, d.get());
}

}  // namespace plat
