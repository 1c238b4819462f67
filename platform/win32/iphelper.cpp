// SPDX-License-Identifier: Apache-2.0
// The IP Helper calls on Windows: the system's own, into the caller's
// buffer. The contract's records have the system's layout, so the system's
// records are handed over as they are; the adapter list gains the software
// loopback interface that the system's own list leaves out.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

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

constexpr char kLoopbackDescription[] = "MS TCP Loopback interface";
constexpr int kSizingAttempts = 4;

// Answers of the system's sized calls in a buffer of their own, grown to what
// the call asks for: the call's answer, with *bytes the buffer's size.
template <class Call>
DWORD CallSized(std::vector<uint64_t>* buffer, ::ULONG* bytes, ::DWORD tooSmall, Call call) {
  ::ULONG s = 0;
  ::DWORD rc = tooSmall;
  for (int attempt = 0; attempt < kSizingAttempts && rc == tooSmall; ++attempt) {
    buffer->assign((s + sizeof(uint64_t) - 1) / sizeof(uint64_t), 0);
    *bytes = s;
    rc = call(s == 0 ? nullptr : buffer->data(), &s);
  }
  return static_cast<DWORD>(rc);
}

bool Inside(const void* p, const void* block, size_t bytes) {
  auto at = reinterpret_cast<uintptr_t>(p);
  auto begin = reinterpret_cast<uintptr_t>(block);
  return at >= begin && at < begin + bytes;
}

// The interface indexes of the system's records.
std::vector<DWORD> ListedIndexes(const std::vector<uint64_t>& block, size_t bytes) {
  std::vector<DWORD> out;
  if (bytes < sizeof(::IP_ADAPTER_INFO)) return out;
  const size_t limit = bytes / sizeof(::IP_ADAPTER_INFO);
  for (auto* a = reinterpret_cast<const ::IP_ADAPTER_INFO*>(block.data());
       a != nullptr && out.size() < limit;
       a = Inside(a->Next, block.data(), bytes) ? a->Next : nullptr) {
    out.push_back(static_cast<DWORD>(a->Index));
  }
  return out;
}

// Copies the system's records to `to`, moving the pointers that lead inside
// them along; answers the last record there.
::IP_ADAPTER_INFO* MoveRecords(const std::vector<uint64_t>& block, size_t bytes, void* to) {
  const void* from = block.data();
  std::memcpy(to, from, bytes);
  auto moved = [&]<class T>(T* p) {
    if (!Inside(p, from, bytes)) return p;
    return reinterpret_cast<T*>(static_cast<char*>(to) + (reinterpret_cast<const char*>(p) -
                                                          static_cast<const char*>(from)));
  };
  const size_t limit = bytes / sizeof(::IP_ADDR_STRING);  // bounds every walk
  ::IP_ADAPTER_INFO* last = nullptr;
  ::IP_ADAPTER_INFO* a = static_cast<::IP_ADAPTER_INFO*>(to);
  for (size_t n = 0; a != nullptr && n < limit; ++n) {
    bool follow = Inside(a->Next, from, bytes);
    a->Next = moved(a->Next);
    a->CurrentIpAddress = moved(a->CurrentIpAddress);
    for (::IP_ADDR_STRING* s : {&a->IpAddressList, &a->GatewayList, &a->DhcpServer,
                                &a->PrimaryWinsServer, &a->SecondaryWinsServer}) {
      for (size_t k = 0; s != nullptr && k < limit; ++k) {
        bool next = Inside(s->Next, from, bytes);
        s->Next = moved(s->Next);
        s = next ? s->Next : nullptr;
      }
    }
    last = a;
    a = follow ? a->Next : nullptr;
  }
  return last;
}

// The interface's GUID in the text the system's records name adapters by.
std::string GuidText(const ::GUID& g) {
  char text[40];
  std::snprintf(text, sizeof(text), "{%08lX-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                static_cast<unsigned long>(g.Data1), g.Data2, g.Data3, g.Data4[0], g.Data4[1],
                g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
  return text;
}

// The software loopback interfaces that are not among `listed`, with their
// IPv4 addresses. The system's adapter list leaves the loopback out while its
// address table holds 127.0.0.1 on it; listed, it is known for what it is.
std::vector<detail::Adapter> UnlistedLoopbacks(const std::vector<DWORD>& listed) {
  std::vector<detail::Adapter> out;
  ::MIB_IF_TABLE2* table = nullptr;
  if (::GetIfTable2(&table) != NO_ERROR || table == nullptr) return out;
  for (::ULONG i = 0; i < table->NumEntries; ++i) {
    const ::MIB_IF_ROW2& row = table->Table[i];
    if (row.Type != IF_TYPE_SOFTWARE_LOOPBACK) continue;
    DWORD index = static_cast<DWORD>(row.InterfaceIndex);
    auto same = [index](DWORD x) { return x == index; };
    if (std::any_of(listed.begin(), listed.end(), same)) continue;
    if (std::any_of(out.begin(), out.end(),
                    [&](const detail::Adapter& a) { return same(a.index); }))
      continue;
    detail::Adapter a;
    a.index = index;
    a.name = GuidText(row.InterfaceGuid);
    a.description = kLoopbackDescription;
    a.loopback = true;
    out.push_back(std::move(a));
  }
  ::FreeMibTable(table);
  if (out.empty()) return out;

  std::vector<uint64_t> block;
  ::ULONG bytes = 0;
  DWORD rc = CallSized(&block, &bytes, ERROR_INSUFFICIENT_BUFFER, [](void* b, ::ULONG* s) {
    return ::GetIpAddrTable(static_cast<::MIB_IPADDRTABLE*>(b), s, FALSE);
  });
  if (rc != kERROR_SUCCESS || bytes < sizeof(::DWORD)) return out;
  const auto* rows = reinterpret_cast<const ::MIB_IPADDRTABLE*>(block.data());
  const size_t fit = (bytes - offsetof(::MIB_IPADDRTABLE, table)) / sizeof(::MIB_IPADDRROW);
  for (size_t i = 0; i < rows->dwNumEntries && i < fit; ++i) {
    const ::MIB_IPADDRROW& row = rows->table[i];
    for (detail::Adapter& a : out) {
      if (a.index == row.dwIndex) a.addresses.emplace_back(row.dwAddr, row.dwMask);
    }
  }
  return out;
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

// The system's count takes in the loopback interface (one more than its own
// adapter list), so it covers the record GetAdaptersInfo adds for it.
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
  if (size == nullptr) return kERROR_INVALID_PARAMETER;
  // One snapshot of the system's records, copied to the caller's buffer with
  // the unlisted loopbacks after them.
  std::vector<uint64_t> system;
  ::ULONG systemBytes = 0;
  DWORD rc = CallSized(&system, &systemBytes, ERROR_BUFFER_OVERFLOW, [](void* b, ::ULONG* s) {
    return ::GetAdaptersInfo(static_cast<::IP_ADAPTER_INFO*>(b), s);
  });
  if (rc == kERROR_NO_DATA || rc == kERROR_NOT_SUPPORTED) {
    systemBytes = 0;
  } else if (rc != kERROR_SUCCESS) {
    return rc;
  }
  std::vector<detail::Adapter> loopbacks = UnlistedLoopbacks(ListedIndexes(system, systemBytes));
  if (loopbacks.empty() && systemBytes == 0) return rc == kERROR_SUCCESS ? kERROR_NO_DATA : rc;
  ULONG added = 0;
  if (!loopbacks.empty()) detail::FillAdaptersInfo(loopbacks, nullptr, &added);
  const size_t offset = (systemBytes + alignof(IP_ADAPTER_INFO) - 1) / alignof(IP_ADAPTER_INFO) *
                        alignof(IP_ADAPTER_INFO);
  const size_t needed = offset + added;
  if (info == nullptr || *size < needed) {
    *size = static_cast<ULONG>(needed);
    return kERROR_BUFFER_OVERFLOW;
  }
  ::IP_ADAPTER_INFO* last = systemBytes == 0 ? nullptr : MoveRecords(system, systemBytes, info);
  if (loopbacks.empty()) return kERROR_SUCCESS;
  auto* first = reinterpret_cast<IP_ADAPTER_INFO*>(reinterpret_cast<char*>(info) + offset);
  rc = detail::FillAdaptersInfo(loopbacks, first, &added);
  if (last != nullptr) last->Next = reinterpret_cast<::IP_ADAPTER_INFO*>(first);
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
