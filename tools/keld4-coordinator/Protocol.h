// Wire format of the coordinator protocol, written from the byte layout on
// purpose: the coordinator shares no code with the agent, so it checks the
// agent's encoding rather than repeating its mistakes.
//
// Addresses are held as 32-bit values with the first octet in the high byte
// (192.168.1.10 is 0xC0A8010A) and written to the wire octet by octet.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>

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

inline void PutBE32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v >> 24);
  p[1] = static_cast<uint8_t>(v >> 16);
  p[2] = static_cast<uint8_t>(v >> 8);
  p[3] = static_cast<uint8_t>(v);
}

inline uint32_t GetBE32(const uint8_t* p) {
  return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
         (static_cast<uint32_t>(p[2]) << 8) | static_cast<uint32_t>(p[3]);
}

inline uint16_t GetBE16(const uint8_t* p) { return static_cast<uint16_t>((p[0] << 8) | p[1]); }

// Dotted text of an address; out needs 16 bytes.
inline void FormatAddr(uint32_t addr, char* out) {
  std::snprintf(out, 16, "%u.%u.%u.%u", addr >> 24, (addr >> 16) & 0xFF, (addr >> 8) & 0xFF,
                addr & 0xFF);
}

// What a Coor_alive tells the agents.
struct CoorAliveSettings {
  uint32_t loglevel = 1;
  uint32_t log_refresh = 60;  // LogRefreshInterval
  uint32_t alive = 5;         // dwAlive
  uint32_t cpu_interval = 2;  // CpuSendInterval
};

// The 68 bytes of one Coor_alive from src to des. The three payload words
// the agent does not read stay zero.
inline void EncodeCoorAlive(uint32_t src, uint32_t des, const CoorAliveSettings& s,
                            uint8_t out[kCoorAliveSize]) {
  std::memset(out, 0, kCoorAliveSize);
  PutBE32(out + kOffDesId, kCoorAliveDesId);
  PutBE32(out + kOffType, kTypeAlive);
  PutBE32(out + kOffDataleng, kCoorAliveDataSize);
  PutBE32(out + kOffId, kIdCoordinator);
  PutBE32(out + kOffSrcAddr, src);
  PutBE32(out + kOffDesAddr, des);
  uint8_t* data = out + kHeaderSize;
  PutBE32(data + 8, s.loglevel);
  PutBE32(data + 12, s.log_refresh);
  PutBE32(data + 16, s.alive);
  PutBE32(data + 24, s.cpu_interval);
}

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

__attribute__((format(printf, 3, 4))) inline void Refuse(Decoded* d, const char* reason,
                                                         const char* fmt, ...) {
  d->kind = Kind::kMalformed;
  d->reason = reason;
  va_list ap;
  va_start(ap, fmt);
  std::vsnprintf(d->detail, sizeof(d->detail), fmt, ap);
  va_end(ap);
}

// Checks one datagram strictly and decodes it. Every datagram that is not a
// well-formed agent message or our own Coor_alive comes back as kMalformed.
inline void DecodeDatagram(const uint8_t* p, size_t n, Decoded* d) {
  *d = Decoded();
  if (n < kHeaderSize) {
    Refuse(d, "short", "datagram of %zu bytes is shorter than the %zu-byte header", n, kHeaderSize);
    return;
  }
  d->has_header = true;
  d->type = GetBE32(p + kOffType);
  d->status = GetBE32(p + kOffStatus);
  d->sequence = GetBE32(p + kOffSequence);
  d->dataleng = GetBE32(p + kOffDataleng);
  d->id = GetBE32(p + kOffId);
  d->src = GetBE32(p + kOffSrcAddr);
  d->des = GetBE32(p + kOffDesAddr);
  d->param = GetBE32(p + kOffParam);
  // Compare in 64 bits: a dataleng near 2^32 must not wrap to a match.
  if (static_cast<uint64_t>(n) != kHeaderSize + static_cast<uint64_t>(d->dataleng)) {
    Refuse(d, "length", "datagram of %zu bytes, its header announces 40 + %u", n, d->dataleng);
    return;
  }
  const uint8_t* data = p + kHeaderSize;
  if (d->type == kTypeAlive && d->id == kIdCoordinator) {
    d->kind = Kind::kEcho;
    return;
  }
  uint32_t want = 0;
  if (d->type == kTypeAlive && d->id == kIdAgent) {
    want = kAliveDataSize;
  } else if (d->type == kTypeCpuLoad && d->id == kIdAgent) {
    want = kCpuLoadDataSize;
  } else if (d->type == kTypeDown && d->id == kIdAgent) {
    want = 0;
  } else {
    Refuse(d, "type", "unknown type 0x%08x with id %u", d->type, d->id);
    return;
  }
  if (d->dataleng != want) {
    Refuse(d, "dataleng", "data length %u, this type carries %u", d->dataleng, want);
    return;
  }
  if (d->type == kTypeCpuLoad) {
    d->load = GetBE32(data);
    d->kind = Kind::kCpuLoad;
    return;
  }
  if (d->type == kTypeDown) {
    d->kind = Kind::kDown;
    return;
  }
  // Alive: the MAC text is at most 17 characters, then zero bytes up to 18.
  const uint8_t* mac = data + 2;
  size_t len = 0;
  while (len < kMacFieldSize && mac[len] != 0) ++len;
  if (len == kMacFieldSize) {
    Refuse(d, "mac_unterminated", "MAC text has no terminating zero within %zu bytes",
           kMacFieldSize);
    return;
  }
  for (size_t i = 0; i < len; ++i) {
    // Only printable ASCII: the text goes to terminals and JSON.
    if (mac[i] < 0x20 || mac[i] > 0x7E) {
      Refuse(d, "mac_text", "MAC text has byte 0x%02x at position %zu", mac[i], i);
      return;
    }
  }
  for (size_t i = len + 1; i < kMacFieldSize; ++i) {
    if (mac[i] != 0) {
      Refuse(d, "mac_padding", "MAC field has byte 0x%02x after the text, at position %zu", mac[i],
             i);
      return;
    }
  }
  d->ostype = GetBE16(data);
  std::memcpy(d->mac, mac, len);
  d->mac[len] = '\0';
  d->mhz = GetBE32(data + 20);
  d->kind = Kind::kAlive;
}

}  // namespace coord
