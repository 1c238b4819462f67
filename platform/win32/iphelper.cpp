// The IP Helper calls on Windows: the system's own, into the caller's
// buffer. The contract's records have the system's layout, so the buffer is
// handed over as it is.

#include <cstddef>

#include "platform/win32/win32.h"

namespace plat {

static_assert(sizeof(plat::IP_ADAPTER_INFO) == sizeof(::IP_ADAPTER_INFO));
static_assert(sizeof(plat::IP_ADDR_STRING) == sizeof(::IP_ADDR_STRING));
static_assert(sizeof(plat::MIB_IPADDRROW) == sizeof(::MIB_IPADDRROW));
static_assert(offsetof(plat::IP_ADAPTER_INFO, IpAddressList) ==
              offsetof(::IP_ADAPTER_INFO, IpAddressList));

DWORD GetNumberOfInterfaces(DWORD* count) {
  ::DWORD n = 0;
  DWORD rc = ::GetNumberOfInterfaces(&n);
  if (count) *count = n;
  return rc;
}

DWORD GetAdaptersInfo(IP_ADAPTER_INFO* info, ULONG* size) {
  ::ULONG s = *size;
  DWORD rc = ::GetAdaptersInfo(reinterpret_cast<::IP_ADAPTER_INFO*>(info), &s);
  *size = s;
  return rc;
}

DWORD GetIpAddrTable(MIB_IPADDRTABLE* table, ULONG* size, BOOL order) {
  ::ULONG s = *size;
  DWORD rc = ::GetIpAddrTable(reinterpret_cast<::MIB_IPADDRTABLE*>(table), &s, order);
  *size = s;
  return rc;
}

}  // namespace plat
