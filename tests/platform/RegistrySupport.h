// SPDX-License-Identifier: Apache-2.0
// The registry calls in the short forms the registry tests write them in.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "platform/platform.h"

namespace regtest {

// Creates (or opens) the key under kHKEY_LOCAL_MACHINE with all access.
inline plat::HKEY Create(const char* subKey, plat::DWORD* disposition = nullptr) {
  plat::HKEY key = nullptr;
  plat::DWORD d = 0;
  plat::LONG rc = plat::RegCreateKeyExA(plat::kHKEY_LOCAL_MACHINE, subKey, 0, nullptr,
                                        plat::kREG_OPTION_NON_VOLATILE, plat::kKEY_ALL_ACCESS,
                                        nullptr, &key, &d);
  EXPECT_EQ(rc, 0) << subKey;
  if (disposition != nullptr) *disposition = d;
  return key;
}

inline plat::LONG Set(plat::HKEY key, const char* name, plat::DWORD type, const std::string& data) {
  return plat::RegSetValueExA(key, name, 0, type, reinterpret_cast<const plat::BYTE*>(data.data()),
                              static_cast<plat::DWORD>(data.size()));
}

inline plat::LONG SetDword(plat::HKEY key, const char* name, plat::DWORD value) {
  return plat::RegSetValueExA(key, name, 0, plat::kREG_DWORD,
                              reinterpret_cast<const plat::BYTE*>(&value), 4);
}

// The data of a value, or "<error N>".
inline std::string Get(plat::HKEY key, const char* name, plat::DWORD* type = nullptr) {
  plat::BYTE buf[4096];
  plat::DWORD size = sizeof(buf);
  plat::LONG rc = plat::RegQueryValueExA(key, name, nullptr, type, buf, &size);
  if (rc != 0) return "<error " + std::to_string(rc) + ">";
  return std::string(reinterpret_cast<char*>(buf), size);
}

inline std::string Dword(plat::DWORD v) {
  return std::string(reinterpret_cast<const char*>(&v), 4);
}

}  // namespace regtest
