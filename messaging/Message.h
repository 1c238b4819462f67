// SPDX-License-Identifier: Apache-2.0
// The coordinator message: a 40-byte header, then dataleng bytes of data.
#pragma once

#include <cstddef>
#include <cstdint>

// Inside the agent the eight numeric fields are in host byte order; srcAddr
// and desAddr stay in network byte order everywhere. On the wire every field
// is big-endian.
struct MsgHeader {
  uint32_t desId;
  uint32_t type;
  uint32_t status;
  uint32_t sequence;
  uint32_t dataleng;
  uint32_t id;
  uint32_t srcAddr;
  uint32_t desAddr;
  uint32_t param;
  uint32_t reserved;
};
static_assert(sizeof(MsgHeader) == 40, "MsgHeader must be 40 bytes without padding");
static_assert(offsetof(MsgHeader, dataleng) == 16 && offsetof(MsgHeader, srcAddr) == 24 &&
              offsetof(MsgHeader, reserved) == 36);

// A header block and a separately allocated data block of exactly dataleng
// bytes (null when dataleng is 0); whoever holds it releases both.
struct Message {
  MsgHeader* header = nullptr;
  uint8_t* data = nullptr;
};

constexpr uint32_t MSG_ALIVE = 0x00000001;
constexpr uint32_t MSG_CPU_LOAD = 0x01200001;
constexpr uint32_t MSG_DOWN = 0x00005001;

constexpr uint32_t AGENT_ID = 1;        // id of every message the agent sends
constexpr uint32_t COORDINATOR_ID = 4;  // id of the coordinator's messages

constexpr size_t MSG_HEADER_SIZE = sizeof(MsgHeader);
constexpr size_t MSG_BUFFER_SIZE = 102400;
constexpr uint32_t MSG_MAX_DATALENG = MSG_BUFFER_SIZE - MSG_HEADER_SIZE;  // 102,360

constexpr uint32_t ALIVE_DATA_SIZE = 24;
constexpr uint32_t CPU_LOAD_DATA_SIZE = 4;
constexpr uint32_t COOR_ALIVE_DATA_SIZE = 28;

#pragma pack(push, 1)
// Payload fields are big-endian in memory and on the wire.
struct AliveData {
  uint16_t Ostype;
  char Mac[18];
  uint32_t Freq;
};
struct CpuLoadData {
  uint32_t cpuLoad;
};
struct CoorAliveData {
  uint32_t unused0;
  uint32_t unused1;
  uint32_t loglevel;
  uint32_t LogRefreshInterval;
  uint32_t dwAlive;
  uint32_t unused5;
  uint32_t CpuSendInterval;
};
#pragma pack(pop)
static_assert(sizeof(AliveData) == ALIVE_DATA_SIZE);
static_assert(sizeof(CpuLoadData) == CPU_LOAD_DATA_SIZE);
static_assert(sizeof(CoorAliveData) == COOR_ALIVE_DATA_SIZE);
