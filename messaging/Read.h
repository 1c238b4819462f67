// SPDX-License-Identifier: Apache-2.0
// The receive side: one UDP socket bound to the agent's port, checked and
// de-duplicated datagrams forwarded to the master through read_to_master.
#pragma once

#include <atomic>
#include <cstdint>

#include "messaging/Message.h"
#include "platform/platform.h"

struct RecentEntry {
  uint32_t type;
  uint32_t sequence;
  uint32_t srcAddr;
};

class CRead {
 public:
  CRead();
  virtual ~CRead();
  CRead(const CRead&) = delete;
  CRead& operator=(const CRead&) = delete;

  int init();
  int read_socket(Message& m);
  int msg_header_ntoh(MsgHeader* h);
  int write_to_master(Message& m);
  int read_thread();
  // Closes the socket once, from whichever thread comes first (the main
  // thread at a restart wakes the receive thread this way).
  void close_socket();
  // Whether the last read_socket failure was a datagram that did not fit its
  // header or the buffer (or was empty), rather than a failure of the socket.
  bool IsMalformedDatagram() const;

  uint32_t RecentPos;
  uint32_t ErrNo;
  uint32_t SysError;
  plat::HANDLE* OutPipe;
  std::atomic<plat::DWORD>* MasterThreadId;
  uint16_t Port;  // network byte order
  std::atomic<plat::SOCKET> Socket;
  uint8_t* Buffer;
  RecentEntry RecentMsg[5];
  // The UDP source address of the last datagram received, network order.
  uint32_t SourceAddr;
};

extern CRead g_Read;

// The receive thread's start routine.
plat::DWORD ReadThreadStart(void*);
