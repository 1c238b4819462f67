// SPDX-License-Identifier: Apache-2.0
#include "Protocol.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace coord {

void PutBE32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v >> 24);
  p[1] = static_cast<uint8_t>(v >> 16);
  p[2] = static_cast<uint8_t>(v >> 8);
  p[3] = static_cast<uint8_t>(v);
}

uint32_t GetBE32(const uint8_t* p) {
  return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
         (static_cast<uint32_t>(p[2]) << 8) | static_cast<uint32_t>(p[3]);
}

uint16_t GetBE16(const uint8_t* p) { return static_cast<uint16_t>((p[0] << 8) | p[1]); }

void FormatAddr(uint32_t addr, char* out) {
  std::snprintf(out, 16, "%u.%u.%u.%u", addr >> 24, (addr >> 16) & 0xFF, (addr >> 8) & 0xFF,
                addr & 0xFF);
}

// The 68 bytes of one Coor_alive from src to des. The three payload words
// the agent does not read stay zero.
void EncodeCoorAlive(uint32_t src, uint32_t des, const CoorAliveSettings& s,
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

namespace {

__attribute__((format(printf, 3, 4))) void Refuse(Decoded* d, const char* reason, const char* fmt,
                                                  ...) {
  d->kind = Kind::kMalformed;
  d->reason = reason;
  va_list ap;
  va_start(ap, fmt);
  std::vsnprintf(d->detail, sizeof(d->detail), fmt, ap);
  va_end(ap);
}

}  // namespace

// Checks one datagram strictly and decodes it. Every datagram that is not a
// well-formed agent message or our own Coor_alive comes back as kMalformed.
void DecodeDatagram(const uint8_t* p, size_t n, Decoded* d) {
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
