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

#include "platform/linux/errors.h"
#include "platform/platform.h"
#include "platform/testing.h"

namespace plat {

namespace {

constexpr char kLoopbackDescription[] = "MS TCP Loopback interface";
constexpr UINT kTypeEthernet = 6;    // MIB_IF_TYPE_ETHERNET
constexpr UINT kTypeLoopback = 24;   // MIB_IF_TYPE_LOOPBACK
constexpr WORD kAddressPrimary = 1;  // MIB_IPADDR_PRIMARY

struct Adapter {
  DWORD index = 0;
  std::string name;
  std::string description;
  bool loopback = false;
  BYTE mac[kMAX_ADAPTER_ADDRESS_LENGTH] = {};
  UINT macLength = 0;
  std::vector<std::pair<DWORD, DWORD>> addresses;  // (address, mask), network order
};

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
  out->clear();
  for (const InterfaceEntry& e : source()) {
    Adapter a;
    a.index = e.index;
    a.name = e.description;
    a.description = e.description;
    a.loopback = e.loopback;
    a.addresses = e.addresses;
    out->push_back(std::move(a));
  }
  return kERROR_SUCCESS;
}

void SetAddressText(IP_ADDR_STRING* s, DWORD addr, DWORD mask) {
  ::in_addr a{addr};
  ::in_addr m{mask};
  ::inet_ntop(AF_INET, &a, s->IpAddress, sizeof(s->IpAddress));
  ::inet_ntop(AF_INET, &m, s->IpMask, sizeof(s->IpMask));
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
  if (adapters.empty()) return kERROR_NO_DATA;
  // The records, then the address strings past each adapter's first.
  size_t extra = 0;
  for (const Adapter& a : adapters) extra += a.addresses.size() > 1 ? a.addresses.size() - 1 : 0;
  size_t needed = adapters.size() * sizeof(IP_ADAPTER_INFO) + extra * sizeof(IP_ADDR_STRING);
  if (info == nullptr || *size < needed) {
    *size = static_cast<ULONG>(needed);
    return kERROR_BUFFER_OVERFLOW;
  }
  std::memset(static_cast<void*>(info), 0, needed);
  auto* more = reinterpret_cast<IP_ADDR_STRING*>(reinterpret_cast<char*>(info) +
                                                 adapters.size() * sizeof(IP_ADAPTER_INFO));
  for (size_t i = 0; i < adapters.size(); ++i) {
    const Adapter& a = adapters[i];
    IP_ADAPTER_INFO* rec = info + i;
    rec->Next = i + 1 < adapters.size() ? rec + 1 : nullptr;
    rec->ComboIndex = a.index;
    std::snprintf(rec->AdapterName, sizeof(rec->AdapterName), "%s", a.name.c_str());
    std::snprintf(rec->Description, sizeof(rec->Description), "%s", a.description.c_str());
    rec->AddressLength = a.macLength;
    std::memcpy(rec->Address, a.mac, a.macLength);
    rec->Index = a.index;
    rec->Type = a.loopback ? kTypeLoopback : kTypeEthernet;
    if (a.addresses.empty()) {
      SetAddressText(&rec->IpAddressList, 0, 0);
      continue;
    }
    IP_ADDR_STRING* s = &rec->IpAddressList;
    for (size_t k = 0; k < a.addresses.size(); ++k) {
      if (k > 0) {
        s->Next = more++;
        s = s->Next;
      }
      SetAddressText(s, a.addresses[k].first, a.addresses[k].second);
    }
  }
  return kERROR_SUCCESS;
}

DWORD GetIpAddrTable(MIB_IPADDRTABLE* table, ULONG* size, BOOL order) {
  if (size == nullptr) return kERROR_INVALID_PARAMETER;
  std::vector<Adapter> adapters;
  DWORD rc = Adapters(&adapters);
  if (rc != kERROR_SUCCESS) return rc;
  std::vector<MIB_IPADDRROW> rows;
  for (const Adapter& a : adapters) {
    for (const auto& [addr, mask] : a.addresses) {
      rows.push_back(MIB_IPADDRROW{addr, a.index, mask, addr | ~mask, 65535, 0, kAddressPrimary});
    }
  }
  size_t needed = offsetof(MIB_IPADDRTABLE, table) + rows.size() * sizeof(MIB_IPADDRROW);
  if (table == nullptr || *size < needed) {
    *size = static_cast<ULONG>(needed);
    return kERROR_INSUFFICIENT_BUFFER;
  }
  if (order) {
    std::stable_sort(rows.begin(), rows.end(), [](const MIB_IPADDRROW& x, const MIB_IPADDRROW& y) {
      return ntohl(x.dwAddr) < ntohl(y.dwAddr);
    });
  }
  table->dwNumEntries = static_cast<DWORD>(rows.size());
  char* first = reinterpret_cast<char*>(table) + offsetof(MIB_IPADDRTABLE, table);
  if (!rows.empty()) std::memcpy(first, rows.data(), rows.size() * sizeof(MIB_IPADDRROW));
  return kERROR_SUCCESS;
}

}  // namespace plat
