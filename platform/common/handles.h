// SPDX-License-Identifier: Apache-2.0
// Internal to the platform layer: the process-wide handle table, shared by
// every implementation.
#pragma once

#include <memory>
#include <mutex>

#include "platform/platform.h"

namespace plat::detail {

// Every object behind a handle. close() runs once, when the handle is closed,
// and must wake any thread blocked on the object; the object itself (and any
// descriptor it owns) lives on until the last thread inside a call drops its
// reference.
class Object {
 public:
  virtual ~Object() = default;
  virtual void close() {}
};

// An object that ReadFile / WriteFile serve (files and pipe ends).
class Stream : public Object {
 public:
  virtual BOOL read(void* buffer, DWORD toRead, DWORD* read) = 0;
  virtual BOOL write(const void* buffer, DWORD toWrite, DWORD* written) = 0;
};

// An object that WaitForSingleObject can wait for (threads, processes).
class Waitable : public Object {
 public:
  // true when signalled within the time (kINFINITE waits without end).
  virtual bool wait(DWORD milliseconds) = 0;
};

// Stores an object and answers its new handle value (never 0 or ~0).
uintptr_t Insert(std::shared_ptr<Object> object);
// The live object behind a handle value, or null (last error is then set to
// kERROR_INVALID_HANDLE).
std::shared_ptr<Object> Lookup(uintptr_t handle);
// Removes the handle and calls close() on its object; false if not live.
bool Remove(uintptr_t handle);

template <class T>
std::shared_ptr<T> LookupAs(uintptr_t handle) {
  auto object = std::dynamic_pointer_cast<T>(Lookup(handle));
  if (!object) plat::SetLastError(kERROR_INVALID_HANDLE);
  return object;
}
template <class T>
std::shared_ptr<T> LookupAs(HANDLE handle) {
  return LookupAs<T>(reinterpret_cast<uintptr_t>(handle));
}
inline HANDLE ToHandle(uintptr_t value) { return reinterpret_cast<HANDLE>(value); }

// Calls fn(arg) once when the calling thread ends, any thread (those the
// layer did not start too). The call may come after the thread's
// thread_local objects are gone, so fn must not use any of them. Each
// implementation provides it: a thread_local object with a destructor cannot
// serve, since MinGW's emulated TLS frees a thread's storage before it runs
// such destructors.
void AtThreadExit(void (*fn)(void* arg), void* arg);

// The implementation's local wall clock as FILETIME units (100 ns since
// 1601); LocalFileTimeNow answers it unless a test clock is set.
ULONGLONG SystemLocalFileTime();

}  // namespace plat::detail
