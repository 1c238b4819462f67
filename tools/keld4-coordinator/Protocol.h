// SPDX-License-Identifier: Apache-2.0
// Wire format of the coordinator protocol, written from the byte layout on
// purpose: the coordinator shares no code with the agent, so it checks the
// agent's encoding rather than repeating its mistakes.
//
// Addresses are held as 32-bit values with the first octet in the high byte
// (192.168.1.10 is 0xC0A8010A) and written to the wire octet by octet.
#pragma once

#include <cstddef>
#include <cstdint>

namespace coord {

constexpr size_t kHeaderSize = 40;
constexpr size_t kCoorAliveDataSize = 28;
constexpr size_t kCoorAliveSize = kHeaderSize + kCoorAliveDataSize;  // 68
constexpr size_t kAliveDataSize = 24;
constexpr size_t kCpuLoadDataSize = 4;
constexpr size_t kMacFieldSize = 18;

constexpr uint32_t kTypeAlive = 0x00000001;
constexpr uint32_t kTypeCpuLoad = 0x01200001;
constexpr uint32_t kTypeDown = 0x00005001;
constexpr uint32_t kIdAgent = 1;
constexpr uint32_t kIdCoordinator = 4;
// desId of our Coor_alive; the agent does not examine it.
constexpr uint32_t kCoorAliveDesId = 4;

// Header field offsets.
constexpr size_t kOffDesId = 0;
constexpr size_t kOffType = 4;
constexpr size_t kOffStatus = 8;
constexpr size_t kOffSequence = 12;
constexpr size_t kOffDataleng = 16;
constexpr size_t kOffId = 20;
constexpr size_t kOffSrcAddr = 24;
constexpr size_t kOffDesAddr = 28;
constexpr size_t kOffParam = 32;
constexpr size_t kOffReserved = 36;

void PutBE32(uint8_t* p, uint32_t v);
uint32_t GetBE32(const uint8_t* p);
uint16_t GetBE16(const uint8_t* p);

// Dotted text of an address; out needs 16 bytes.
void FormatAddr(uint32_t addr, char* out);

// What a Coor_alive tells the agents.
struct CoorAliveSettings {
  uint32_t loglevel = 1;
  uint32_t log_refresh = 60;  // LogRefreshInterval
  uint32_t alive = 5;         // dwAlive
  uint32_t cpu_interval = 2;  // CpuSendInterval
};

// The 68 bytes of one Coor_alive from src to des. The three payload words
// the agent does not read stay zero.
void EncodeCoorAlive(uint32_t src, uint32_t des, const CoorAliveSettings& s,
                     uint8_t out[kCoorAliveSize]);

enum class Kind { kAlive, kCpuLoad, kDown, kEcho, kMalformed };

// One received datagram, checked and taken apart.
struct Decoded {
  Kind kind = Kind::kMalformed;
  bool has_header = false;  // all 40 header bytes were there
  uint32_t type = 0;
  uint32_t status = 0;
  uint32_t sequence = 0;
  uint32_t dataleng = 0;
  uint32_t id = 0;
  uint32_t src = 0;
  uint32_t des = 0;
  uint32_t param = 0;
  // Alive payload.
  uint16_t ostype = 0;
  char mac[kMacFieldSize] = {};
  uint32_t mhz = 0;
  // CPU-load payload.
  uint32_t load = 0;
  // Why a malformed datagram was refused: a short stable code and a sentence.
  const char* reason = "";
  char detail[112] = {};
};

// Checks one datagram strictly and decodes it. Every datagram that is not a
// well-formed agent message or our own Coor_alive comes back as kMalformed.
void DecodeDatagram(const uint8_t* p, size_t n, Decoded* d);

}  // namespace coord
