// SPDX-License-Identifier: Apache-2.0
// The master thread: the agent's protocol logic.
#pragma once

#include <atomic>
#include <cstdint>

#include "cpuload/GetCpuLoad.h"
#include "messaging/Message.h"
#include "platform/platform.h"

class CMaster {
 public:
  CMaster();
  virtual ~CMaster();
  CMaster(const CMaster&) = delete;
  CMaster& operator=(const CMaster&) = delete;

  int master_thread();
  uint16_t find_OSID();
  int get_up_data();
  int send_cpu_load();
  int send_msg(Message& m);
  int read_msg(Message& m);
  int process_msg(Message& m);

  ::AliveData AliveData;
  uint32_t SysError;
  int32_t ErrNo;
  CGetCpuLoad Sampler;
  uint32_t LocalAddr;       // network byte order
  plat::HANDLE* WritePipe;  // write end of master_to_write
  plat::HANDLE* ReadPipe;   // read end of read_to_master
  std::atomic<uint32_t> CpuSendInterval;
  std::atomic<uint32_t> CoordinatorAddr;  // network byte order
  uint32_t Sequence;
  uint16_t OSID;
  // The CpuSendInterval the registry holds, as far as the master knows: set
  // with CpuSendInterval at start-up, then after each successful store.
  uint32_t StoredCpuSendInterval;
};

extern CMaster g_Master;

// The master thread's start routine.
plat::DWORD MasterThreadStart(void*);
