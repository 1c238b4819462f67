// SPDX-License-Identifier: Apache-2.0
#include "platform/common/adapters.h"

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstring>

namespace plat::detail {

namespace {

constexpr UINT kTypeEthernet = 6;    // MIB_IF_TYPE_ETHERNET
constexpr UINT kTypeLoopback = 24;   // MIB_IF_TYPE_LOOPBACK
constexpr WORD kAddressPrimary = 1;  // MIB_IPADDR_PRIMARY

// Dotted text of an address in network order (its bytes in memory order).
void Dotted(DWORD addr, char* out, size_t size) {
  BYTE b[4];
  std::memcpy(b, &addr, 4);
  std::snprintf(out, size, "%u.%u.%u.%u", b[0], b[1], b[2], b[3]);
}

void SetAddressText(IP_ADDR_STRING* s, DWORD addr, DWORD mask) {
  Dotted(addr, s->IpAddress, sizeof(s->IpAddress));
  Dotted(mask, s->IpMask, sizeof(s->IpMask));
}

}  // namespace

std::vector<Adapter> AdaptersFromEntries(const std::vector<InterfaceEntry>& entries) {
  std::vector<Adapter> out;
  for (const InterfaceEntry& e : entries) {
    Adapter a;
    a.index = e.index;
    a.name = e.description;
    a.description = e.description;
    a.loopback = e.loopback;
    a.addresses = e.addresses;
    out.push_back(std::move(a));
  }
  return out;
}

DWORD FillAdaptersInfo(const std::vector<Adapter>& adapters, IP_ADAPTER_INFO* info, ULONG* size) {
  if (size == nullptr) return kERROR_INVALID_PARAMETER;
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

DWORD FillIpAddrTable(const std::vector<Adapter>& adapters, MIB_IPADDRTABLE* table, ULONG* size,
                      BOOL order) {
  if (size == nullptr) return kERROR_INVALID_PARAMETER;
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

}  // namespace plat::detail
