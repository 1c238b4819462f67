// SPDX-License-Identifier: Apache-2.0
// Wire encoding and strict decoding of the coordinator's datagrams.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "tools/keld4-coordinator/Protocol.h"

namespace coord {
namespace {

using Bytes = std::vector<uint8_t>;

// The alive message of agent 192.168.1.10 to coordinator 192.168.1.1: OS type 4,
// MAC 00-11-22-33-44-55, 2400 MHz.
const Bytes kAliveExample = {
    0x00, 0x00, 0x00, 0x04, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x00, 0x00, 0x00, 0x18, 0x00, 0x00, 0x00, 0x01, 0xC0, 0xA8, 0x01, 0x0A, 0xC0, 0xA8, 0x01, 0x01,
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x04, 0x30, 0x30, 0x2D, 0x31, 0x31, 0x2D,
    0x32, 0x32, 0x2D, 0x33, 0x33, 0x2D, 0x34, 0x34, 0x2D, 0x35, 0x35, 0x00, 0x00, 0x00, 0x09, 0x60,
};

Decoded Decode(const Bytes& b) {
  Decoded d;
  DecodeDatagram(b.data(), b.size(), &d);
  return d;
}

// A header with the given fields and data appended; dataleng is the data size
// unless given.
Bytes Datagram(uint32_t type, uint32_t id, const Bytes& data, int64_t dataleng = -1) {
  Bytes b(kHeaderSize, 0);
  PutBE32(&b[kOffDesId], 4);
  PutBE32(&b[kOffType], type);
  PutBE32(&b[kOffDataleng],
          dataleng < 0 ? static_cast<uint32_t>(data.size()) : static_cast<uint32_t>(dataleng));
  PutBE32(&b[kOffId], id);
  PutBE32(&b[kOffSrcAddr], 0x0A000005);  // 10.0.0.5
  PutBE32(&b[kOffDesAddr], 0x0A000001);
  b.insert(b.end(), data.begin(), data.end());
  return b;
}

TEST(CoorAliveEncoding, GivesTheExactSixtyEightBytes) {
  CoorAliveSettings s;
  s.loglevel = 2;
  s.log_refresh = 300;
  s.alive = 5;
  s.cpu_interval = 0x01020304;
  uint8_t out[kCoorAliveSize];
  std::memset(out, 0xEE, sizeof(out));
  EncodeCoorAlive(0xC0A80101, 0xC0A8010A, s, out);
  const Bytes expected = {
      // desId 4, type 1, status 0, sequence 0
      0x00, 0x00, 0x00, 0x04, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
      0x00,
      // dataleng 28, id 4, srcAddr 192.168.1.1, desAddr 192.168.1.10
      0x00, 0x00, 0x00, 0x1C, 0x00, 0x00, 0x00, 0x04, 0xC0, 0xA8, 0x01, 0x01, 0xC0, 0xA8, 0x01,
      0x0A,
      // param 0, reserved 0
      0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
      // two unread words, loglevel 2, LogRefreshInterval 300, dwAlive 5, unread,
      // CpuSendInterval
      0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x02, 0x00, 0x00, 0x01,
      0x2C, 0x00, 0x00, 0x00, 0x05, 0x00, 0x00, 0x00, 0x00, 0x01, 0x02, 0x03, 0x04};
  ASSERT_EQ(expected.size(), 68u);
  EXPECT_EQ(Bytes(out, out + sizeof(out)), expected);
}

TEST(CoorAliveEncoding, OwnMessageComesBackAsAnEcho) {
  uint8_t out[kCoorAliveSize];
  EncodeCoorAlive(0x7F000001, 0x7FFFFFFF, CoorAliveSettings(), out);
  Decoded d;
  DecodeDatagram(out, sizeof(out), &d);
  EXPECT_EQ(d.kind, Kind::kEcho);
  EXPECT_EQ(d.src, 0x7F000001u);
}

TEST(AgentDecoding, AliveExampleGivesItsFields) {
  ASSERT_EQ(kAliveExample.size(), 64u);
  Decoded d = Decode(kAliveExample);
  ASSERT_EQ(d.kind, Kind::kAlive) << d.detail;
  EXPECT_EQ(d.src, 0xC0A8010Au);
  EXPECT_EQ(d.des, 0xC0A80101u);
  EXPECT_EQ(d.ostype, 4u);
  EXPECT_STREQ(d.mac, "00-11-22-33-44-55");
  EXPECT_EQ(d.mhz, 2400u);
  EXPECT_EQ(d.dataleng, 24u);
  char text[16];
  FormatAddr(d.src, text);
  EXPECT_STREQ(text, "192.168.1.10");
}

TEST(AgentDecoding, CpuLoadAndDown) {
  Decoded cpu = Decode(Datagram(kTypeCpuLoad, 1, {0x00, 0x00, 0x01, 0x2A}));
  ASSERT_EQ(cpu.kind, Kind::kCpuLoad) << cpu.detail;
  EXPECT_EQ(cpu.load, 298u);
  EXPECT_EQ(cpu.src, 0x0A000005u);

  Bytes down = Datagram(kTypeDown, 1, {});
  ASSERT_EQ(down.size(), 40u);
  // The bytes the agent puts at offsets 4-7 and 12-15 of a down message.
  EXPECT_EQ(Bytes(down.begin() + 4, down.begin() + 8), (Bytes{0x00, 0x00, 0x50, 0x01}));
  PutBE32(&down[kOffSequence], 1);
  PutBE32(&down[kOffParam], 4);
  Decoded d = Decode(down);
  ASSERT_EQ(d.kind, Kind::kDown) << d.detail;
  EXPECT_EQ(d.sequence, 1u);
  EXPECT_EQ(d.param, 4u);
}

TEST(AgentDecoding, MacOfSeventeenCharactersIsAccepted) {
  Bytes b = kAliveExample;
  std::memcpy(&b[42], "ABCDEFGHIJKLMNOPQ", 17);  // b[59] stays the terminator
  Decoded d = Decode(b);
  ASSERT_EQ(d.kind, Kind::kAlive) << d.detail;
  EXPECT_STREQ(d.mac, "ABCDEFGHIJKLMNOPQ");
  // And an empty text is still a terminated text.
  std::memset(&b[42], 0, 18);
  d = Decode(b);
  ASSERT_EQ(d.kind, Kind::kAlive) << d.detail;
  EXPECT_STREQ(d.mac, "");
}

struct MalformedCase {
  const char* name;
  Bytes bytes;
  const char* reason;
  bool has_header;
};

Bytes With(Bytes b, size_t at, uint8_t v) {
  b[at] = v;
  return b;
}

Bytes Resized(Bytes b, size_t n) {
  b.resize(n, 0);
  return b;
}

Bytes WithDataleng(Bytes b, uint32_t v) {
  PutBE32(&b[kOffDataleng], v);
  return b;
}

TEST(AgentDecoding, MalformedDatagramsAreRefusedWithTheirReason) {
  Bytes unterminated = kAliveExample;
  std::memcpy(&unterminated[42], "00-11-22-33-44-55X", 18);
  Bytes huge = WithDataleng(Bytes(kHeaderSize, 0), 0xFFFFFFFF);
  const MalformedCase cases[] = {
      {"empty", {}, "short", false},
      {"39 bytes", Resized(kAliveExample, 39), "short", false},
      {"one byte short", Resized(kAliveExample, 63), "length", true},
      {"one byte long", Resized(kAliveExample, 65), "length", true},
      {"header only of an alive", Resized(kAliveExample, 40), "length", true},
      {"dataleng near 2^32", huge, "length", true},
      {"alive with 28 data bytes", Resized(WithDataleng(kAliveExample, 28), 68), "dataleng", true},
      {"cpu load with 8 data bytes", Datagram(kTypeCpuLoad, 1, Bytes(8, 0)), "dataleng", true},
      {"down with data", Datagram(kTypeDown, 1, Bytes(4, 0)), "dataleng", true},
      {"unknown type", Datagram(0x00001234, 1, {}), "type", true},
      {"alive with id 2", Datagram(kTypeAlive, 2, Bytes(24, 0)), "type", true},
      {"cpu load with id 4", Datagram(kTypeCpuLoad, 4, Bytes(4, 0)), "type", true},
      {"MAC without terminator", unterminated, "mac_unterminated", true},
      {"MAC with escape byte", With(kAliveExample, 44, 0x1B), "mac_text", true},
      {"MAC with high byte", With(kAliveExample, 42, 0xC3), "mac_text", true},
      {"junk after the MAC terminator", With(With(kAliveExample, 58, 0), 59, 0x41), "mac_padding",
       true},
  };
  for (const MalformedCase& c : cases) {
    Decoded d = Decode(c.bytes);
    EXPECT_EQ(d.kind, Kind::kMalformed) << c.name;
    EXPECT_STREQ(d.reason, c.reason) << c.name << ": " << d.detail;
    EXPECT_EQ(d.has_header, c.has_header) << c.name;
    EXPECT_NE(d.detail[0], '\0') << c.name;
  }
}

TEST(AgentDecoding, LengthRuleIsCheckedBeforeTheEcho) {
  uint8_t out[kCoorAliveSize];
  EncodeCoorAlive(0x7F000001, 0x7F000002, CoorAliveSettings(), out);
  Decoded d;
  DecodeDatagram(out, sizeof(out) - 1, &d);
  EXPECT_EQ(d.kind, Kind::kMalformed);
  EXPECT_STREQ(d.reason, "length");
}

}  // namespace
}  // namespace coord
