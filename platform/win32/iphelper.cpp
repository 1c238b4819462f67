// The IP Helper calls on Windows: the system's own, into the caller's
// buffer. The contract's records have the system's layout, so the buffer is
// handed over as it is.

#include <cstddef>
#include <mutex>

#include "platform/common/adapters.h"
#include "platform/testing.h"
#include "platform/win32/win32.h"

namespace plat {

namespace {

std::mutex g_sourceLock;
std::function<std::vector<InterfaceEntry>()> g_source;

// The seam's adapters, or false when the system's own are to be used.
bool TestAdapters(std::vector<detail::Adapter>* out) {
  std::function<std::vector<InterfaceEntry>()> source;
  {
    std::lock_guard<std::mutex> guard(g_sourceLock);
    source = g_source;
  }
  if (!source) return false;
  *out = detail::AdaptersFromEntries(source());
  return true;
}

}  // namespace

void SetInterfaceSourceForTest(std::function<std::vector<InterfaceEntry>()> source) {
  std::lock_guard<std::mutex> guard(g_sourceLock);
  g_source = std::move(source);
}

static_assert(sizeof(plat::IP_ADAPTER_INFO) == sizeof(::IP_ADAPTER_INFO));
static_assert(sizeof(plat::IP_ADDR_STRING) == sizeof(::IP_ADDR_STRING));
static_assert(sizeof(plat::MIB_IPADDRROW) == sizeof(::MIB_IPADDRROW));
static_assert(offsetof(plat::IP_ADAPTER_INFO, IpAddressList) ==
              offsetof(::IP_ADAPTER_INFO, IpAddressList));

DWORD GetNumberOfInterfaces(DWORD* count) {
  std::vector<detail::Adapter> adapters;
  if (TestAdapters(&adapters)) {
    if (count == nullptr) return kERROR_INVALID_PARAMETER;
    *count = static_cast<DWORD>(adapters.size());
    return kERROR_SUCCESS;
  }
  ::DWORD n = 0;
  DWORD rc = ::GetNumberOfInterfaces(&n);
  if (count) *count = n;
  return rc;
}

DWORD GetAdaptersInfo(IP_ADAPTER_INFO* info, ULONG* size) {
  std::vector<detail::Adapter> adapters;
  if (TestAdapters(&adapters)) return detail::FillAdaptersInfo(adapters, info, size);
  ::ULONG s = *size;
  DWORD rc = ::GetAdaptersInfo(reinterpret_cast<::IP_ADAPTER_INFO*>(info), &s);
  *size = s;
  return rc;
}

DWORD GetIpAddrTable(MIB_IPADDRTABLE* table, ULONG* size, BOOL order) {
  std::vector<detail::Adapter> adapters;
  if (TestAdapters(&adapters)) return detail::FillIpAddrTable(adapters, table, size, order);
  ::ULONG s = *size;
  DWORD rc = ::GetIpAddrTable(reinterpret_cast<::MIB_IPADDRTABLE*>(table), &s, order);
  *size = s;
  return rc;
}

}  // namespace plat
