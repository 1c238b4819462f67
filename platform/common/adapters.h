// SPDX-License-Identifier: Apache-2.0
// Internal to the platform layer: an interface list laid out as the IP Helper
// records in the caller's buffer, shared by the Linux layer (its host's
// interfaces) and every layer's interface seam.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "platform/platform.h"
#include "platform/testing.h"

namespace plat::detail {

struct Adapter {
  DWORD index = 0;
  std::string name;
  std::string description;
  bool loopback = false;
  BYTE mac[kMAX_ADAPTER_ADDRESS_LENGTH] = {};
  UINT macLength = 0;
  std::vector<std::pair<DWORD, DWORD>> addresses;  // (address, mask), network order
};

// The seam's entries as adapters (named by their description).
std::vector<Adapter> AdaptersFromEntries(const std::vector<InterfaceEntry>& entries);

// GetAdaptersInfo and GetIpAddrTable over a list, with the calls' size rules.
DWORD FillAdaptersInfo(const std::vector<Adapter>& adapters, IP_ADAPTER_INFO* info, ULONG* size);
DWORD FillIpAddrTable(const std::vector<Adapter>& adapters, MIB_IPADDRTABLE* table, ULONG* size,
                      BOOL order);

}  // namespace plat::detail
