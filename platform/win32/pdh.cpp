// Performance data on Windows: pdh.dll itself. Queries and counters are the
// system's handles, carried in the contract's handle type.

#include "platform/win32/win32.h"

namespace plat {
namespace {

template <class T>
T Native(HANDLE h) {
  return reinterpret_cast<T>(h);
}

void FromNative(const ::PDH_RAW_COUNTER& n, PDH_RAW_COUNTER* c) {
  c->CStatus = n.CStatus;
  c->TimeStamp.dwLowDateTime = n.TimeStamp.dwLowDateTime;
  c->TimeStamp.dwHighDateTime = n.TimeStamp.dwHighDateTime;
  c->FirstValue = n.FirstValue;
  c->SecondValue = n.SecondValue;
  c->MultiCount = n.MultiCount;
}

::PDH_RAW_COUNTER ToNative(const PDH_RAW_COUNTER& c) {
  ::PDH_RAW_COUNTER n{};
  n.CStatus = c.CStatus;
  n.TimeStamp.dwLowDateTime = c.TimeStamp.dwLowDateTime;
  n.TimeStamp.dwHighDateTime = c.TimeStamp.dwHighDateTime;
  n.FirstValue = c.FirstValue;
  n.SecondValue = c.SecondValue;
  n.MultiCount = c.MultiCount;
  return n;
}

}  // namespace

PDH_STATUS PdhOpenQueryA(const char* dataSource, uintptr_t userData, PDH_HQUERY* query) {
  ::PDH_HQUERY q = nullptr;
  PDH_STATUS rc = ::PdhOpenQueryA(dataSource, userData, &q);
  if (rc == ERROR_SUCCESS) *query = reinterpret_cast<PDH_HQUERY>(q);
  return rc;
}

PDH_STATUS PdhAddCounterA(PDH_HQUERY query, const char* path, uintptr_t userData,
                          PDH_HCOUNTER* counter) {
  ::PDH_HCOUNTER c = nullptr;
  PDH_STATUS rc = ::PdhAddCounterA(Native<::PDH_HQUERY>(query), path, userData, &c);
  if (rc == ERROR_SUCCESS) *counter = reinterpret_cast<PDH_HCOUNTER>(c);
  return rc;
}

PDH_STATUS PdhCollectQueryData(PDH_HQUERY query) {
  return ::PdhCollectQueryData(Native<::PDH_HQUERY>(query));
}

PDH_STATUS PdhGetRawCounterValue(PDH_HCOUNTER counter, DWORD* type, PDH_RAW_COUNTER* value) {
  ::DWORD t = 0;
  ::PDH_RAW_COUNTER raw{};
  PDH_STATUS rc = ::PdhGetRawCounterValue(Native<::PDH_HCOUNTER>(counter), &t, &raw);
  if (type) *type = t;
  if (value) FromNative(raw, value);
  return rc;
}

PDH_STATUS PdhCalculateCounterFromRawValue(PDH_HCOUNTER counter, DWORD format,
                                           PDH_RAW_COUNTER* raw1, PDH_RAW_COUNTER* raw2,
                                           PDH_FMT_COUNTERVALUE* value) {
  ::PDH_RAW_COUNTER a = ToNative(*raw1);
  ::PDH_RAW_COUNTER b{};
  if (raw2) b = ToNative(*raw2);
  ::PDH_FMT_COUNTERVALUE v{};
  PDH_STATUS rc = ::PdhCalculateCounterFromRawValue(Native<::PDH_HCOUNTER>(counter), format, &a,
                                                    raw2 ? &b : nullptr, &v);
  value->CStatus = v.CStatus;
  if ((format & kPDH_FMT_DOUBLE) != 0) {
    value->doubleValue = v.doubleValue;
  } else if ((format & kPDH_FMT_LARGE) != 0) {
    value->largeValue = v.largeValue;
  } else {
    value->longValue = v.longValue;
  }
  return rc;
}

PDH_STATUS PdhRemoveCounter(PDH_HCOUNTER counter) {
  return ::PdhRemoveCounter(Native<::PDH_HCOUNTER>(counter));
}

PDH_STATUS PdhCloseQuery(PDH_HQUERY query) { return ::PdhCloseQuery(Native<::PDH_HQUERY>(query)); }

}  // namespace plat
