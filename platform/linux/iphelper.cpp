// SPDX-License-Identifier: Apache-2.0
// The IP Helper calls on Linux: the host's interfaces from getifaddrs, laid
// out as Windows' records in the caller's buffer.
#include <arpa/inet.h>
#include <ifaddrs.h>
#include <linux/if_packet.h>
#include <net/if.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>

#include "platform/common/adapters.h"
#include "platform/linux/errors.h"
#include "platform/platform.h"
#include "platform/testing.h"

namespace plat {

namespace {

constexpr char kLoopbackDescription[] = "MS TCP Loopback interface";
using detail::Adapter;

std::mutex g_sourceLock;
std::function<std::vector<InterfaceEntry>()> g_source;

DWORD HostAdapters(std::vector<Adapter>* out) {
  ifaddrs* list = nullptr;
  if (::getifaddrs(&list) != 0) return Win32FromErrno(errno);
  std::map<std::string, Adapter> byName;
  for (ifaddrs* ifa = list; ifa != nullptr; ifa = ifa->ifa_next) {
    if (ifa->ifa_name == nullptr) continue;
    // Addresses with a label ("eth0:1") belong to the interface before it.
    std::string name(ifa->ifa_name);
    name = name.substr(0, name.find(':'));
    Adapter& a = byName[name];
    a.name = name;
    if ((ifa->ifa_flags & IFF_LOOPBACK) != 0) a.loopback = true;
    if (ifa->ifa_addr == nullptr) continue;
    if (ifa->ifa_addr->sa_family == AF_PACKET) {
      const auto* ll = reinterpret_cast<const sockaddr_ll*>(ifa->ifa_addr);
      a.index = static_cast<DWORD>(ll->sll_ifindex);
      a.macLength = std::min<UINT>(ll->sll_halen, kMAX_ADAPTER_ADDRESS_LENGTH);
      std::memcpy(a.mac, ll->sll_addr, a.macLength);
    } else if (ifa->ifa_addr->sa_family == AF_INET && ifa->ifa_netmask != nullptr) {
      DWORD addr = reinterpret_cast<const ::sockaddr_in*>(ifa->ifa_addr)->sin_addr.s_addr;
      DWORD mask = reinterpret_cast<const ::sockaddr_in*>(ifa->ifa_netmask)->sin_addr.s_addr;
      a.addresses.emplace_back(addr, mask);
    }
  }
  ::freeifaddrs(list);
  out->clear();
  for (auto& entry : byName) {
    Adapter& a = entry.second;
    if (a.index == 0) a.index = ::if_nametoindex(a.name.c_str());
    if (a.index == 0) continue;  // gone meanwhile
    a.description = a.loopback ? kLoopbackDescription : a.name;
    out->push_back(std::move(a));
  }
  std::sort(out->begin(), out->end(),
            [](const Adapter& x, const Adapter& y) { return x.index < y.index; });
  return kERROR_SUCCESS;
}

DWORD Adapters(std::vector<Adapter>* out) {
  std::function<std::vector<InterfaceEntry>()> source;
  {
    std::lock_guard<std::mutex> guard(g_sourceLock);
    source = g_source;
  }
  if (!source) return HostAdapters(out);
  *out = detail::AdaptersFromEntries(source());
  return kERROR_SUCCESS;
}

}  // namespace

void SetInterfaceSourceForTest(std::function<std::vector<InterfaceEntry>()> source) {
  std::lock_guard<std::mutex> guard(g_sourceLock);
  g_source = std::move(source);
}

DWORD GetNumberOfInterfaces(DWORD* count) {
  if (count == nullptr) return kERROR_INVALID_PARAMETER;
  std::vector<Adapter> adapters;
  DWORD rc = Adapters(&adapters);
  if (rc != kERROR_SUCCESS) return rc;
  *count = static_cast<DWORD>(adapters.size());
  return kERROR_SUCCESS;
}

DWORD GetAdaptersInfo(IP_ADAPTER_INFO* info, ULONG* size) {
  if (size == nullptr) return kERROR_INVALID_PARAMETER;
  std::vector<Adapter> adapters;
  DWORD rc = Adapters(&adapters);
  if (rc != kERROR_SUCCESS) return rc;
  return detail::FillAdaptersInfo(adapters, info, size);
}

DWORD GetIpAddrTable(MIB_IPADDRTABLE* table, ULONG* size, BOOL order) {
  if (size == nullptr) return kERROR_INVALID_PARAMETER;
  std::vector<Adapter> adapters;
  DWORD rc = Adapters(&adapters);
  if (rc != kERROR_SUCCESS) return rc;
  return detail::FillIpAddrTable(adapters, table, size, order);
}

}  // namespace plat
