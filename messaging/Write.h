// SPDX-License-Identifier: Apache-2.0
// The send side: each message the master writes into master_to_write leaves
// as exactly one UDP datagram to its desAddr at the agent's port.
#pragma once

#include <atomic>
#include <cstdint>

#include "messaging/Message.h"
#include "platform/platform.h"

class CWrite {
 public:
  CWrite();
  virtual ~CWrite();
  CWrite(const CWrite&) = delete;
  CWrite& operator=(const CWrite&) = delete;

  int init();
  int read_from_master(Message& m);
  int msg_header_hton(MsgHeader* h);
  int write_socket(Message& m);
  int write_thread();
  void close_socket();

  uint32_t ErrNo;
  uint32_t SysError;
  plat::HANDLE* InPipe;
  uint16_t Port;  // network byte order
  std::atomic<plat::SOCKET> Socket;
  uint8_t* Buffer;
};

extern CWrite g_Write;

// The send thread's start routine.
plat::DWORD WriteThreadStart(void*);
