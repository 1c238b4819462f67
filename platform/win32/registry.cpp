// The registry on Windows: the system's own, its keys behind the handle table
// so that a closed key answers kERROR_INVALID_HANDLE.
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

// The predefined keys are the same numbers as the system's; opened keys are
// looked up in the table. Answers null (with the status in *rc) when the
// handle is not live.
::HKEY Native(HKEY key, LONG* rc) {
  if (key == kHKEY_LOCAL_MACHINE) return kSystemLocalMachine;
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
void SetRegistryStorePathForTest(const std::string& /*path*/) {}

LONG RegOpenKeyExA(HKEY key, const char* subKey, DWORD options, REGSAM access, HKEY* result) {
  LONG rc = 0;
  ::HKEY parent = Native(key, &rc);
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
