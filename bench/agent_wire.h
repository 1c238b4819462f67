// SPDX-License-Identifier: Apache-2.0
// An agent's two reports in the wire format, for the benchmarks that stand in
// for agents; the byte layout comes from the coordinator's Protocol.h.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "tools/keld4-coordinator/Protocol.h"

namespace bench {

constexpr size_t kAliveSize = coord::kHeaderSize + coord::kAliveDataSize;      // 64
constexpr size_t kCpuLoadSize = coord::kHeaderSize + coord::kCpuLoadDataSize;  // 44

inline void PutAgentHeader(uint8_t* b, uint32_t type, uint32_t dataleng, uint32_t src,
                           uint32_t des) {
  std::memset(b, 0, coord::kHeaderSize);
  coord::PutBE32(b + coord::kOffDesId, coord::kIdCoordinator);
  coord::PutBE32(b + coord::kOffType, type);
  coord::PutBE32(b + coord::kOffDataleng, dataleng);
  coord::PutBE32(b + coord::kOffId, coord::kIdAgent);
  coord::PutBE32(b + coord::kOffSrcAddr, src);
  coord::PutBE32(b + coord::kOffDesAddr, des);
}

// An alive from src to des, with a MAC made from src; out holds kAliveSize.
inline size_t EncodeAlive(uint32_t src, uint32_t des, uint32_t mhz, uint8_t* out) {
  PutAgentHeader(out, coord::kTypeAlive, coord::kAliveDataSize, src, des);
  uint8_t* d = out + coord::kHeaderSize;
  std::memset(d, 0, coord::kAliveDataSize);
  d[1] = 4;  // ostype
  std::snprintf(reinterpret_cast<char*>(d + 2), coord::kMacFieldSize, "02-00-%02X-%02X-%02X-%02X",
                src >> 24 & 255, src >> 16 & 255, src >> 8 & 255, src & 255);
  coord::PutBE32(d + 20, mhz);
  return kAliveSize;
}

// A CPU-load report of load percent; out holds kCpuLoadSize.
inline size_t EncodeCpuLoad(uint32_t src, uint32_t des, uint32_t load, uint8_t* out) {
  PutAgentHeader(out, coord::kTypeCpuLoad, coord::kCpuLoadDataSize, src, des);
  coord::PutBE32(out + coord::kHeaderSize, load);
  return kCpuLoadSize;
}

// A Coor_alive's periods: alive and CPU-load seconds; false if buf is not one.
inline bool DecodeCoorAlivePeriods(const uint8_t* buf, size_t n, uint32_t* alive_s,
                                   uint32_t* cpu_s) {
  if (n < coord::kCoorAliveSize || coord::GetBE32(buf + coord::kOffType) != coord::kTypeAlive ||
      coord::GetBE32(buf + coord::kOffId) != coord::kIdCoordinator) {
    return false;
  }
  *alive_s = coord::GetBE32(buf + coord::kHeaderSize + 16);
  *cpu_s = coord::GetBE32(buf + coord::kHeaderSize + 24);
  return true;
}

}  // namespace bench
