// SPDX-License-Identifier: Apache-2.0
#include "messaging/Write.h"

#include <cstdlib>
#include <cstring>

#include "log/Log.h"
#include "messaging/Udp.h"
#include "messaging/Workers.h"

CWrite g_Write;

CWrite::CWrite()
    : ErrNo(0), SysError(0), InPipe(nullptr), Port(plat::htons(45002)),
      Socket(plat::kINVALID_SOCKET), Buffer(nullptr) {}

CWrite::~CWrite() {
  close_socket();
  std::free(Buffer);
}

void CWrite::close_socket() { CloseUdpSocket(Socket); }

int CWrite::init() {
  KELD_TRACE_ENTER("CWrite::init");
  plat::WSADATA wsaData;
  int result = plat::WSAStartup(plat::kMAKEWORD(2, 2), &wsaData);
  if (result != 0) {
    ErrNo = 4010;
    SysError = static_cast<uint32_t>(result);
    g_log.WriteLog(ERR, "In Write init call WSAStartup. Local error:%d, system error:%08x", ErrNo,
                   SysError);
    KELD_TRACE_LEAVE("CWrite::init");
    return -1;
  }

  // Never leak the socket of an earlier generation.
  close_socket();
  plat::SOCKET s = plat::socket(plat::kAF_INET, plat::kSOCK_DGRAM, 0);
  if (s == plat::kINVALID_SOCKET) {
    SysError = plat::WSAGetLastError();
    ErrNo = 4020;
    g_log.WriteLog(ERR, "In Write init call socket(). Local error:%d, system error:%08x", ErrNo,
                   SysError);
    KELD_TRACE_LEAVE("CWrite::init");
    return -1;
  }
  Socket = s;

  // Until the first Coor_alive, alive messages go to the subnet's broadcast
  // address.
  int on = 1;
  if (plat::setsockopt(s, plat::kSOL_SOCKET, plat::kSO_BROADCAST, &on, sizeof(on)) != 0) {
    SysError = plat::WSAGetLastError();
    ErrNo = 4030;
    g_log.WriteLog(ERR, "In Write init call setsockopt(). Local error:%d, system error:%08x", ErrNo,
                   SysError);
    close_socket();
    KELD_TRACE_LEAVE("CWrite::init");
    return -1;
  }

  std::free(Buffer);
  Buffer = static_cast<uint8_t*>(std::malloc(MSG_BUFFER_SIZE));
  if (Buffer == nullptr) {
    ErrNo = 4035;
    g_log.WriteLog(ERR, "In Write init call malloc(). Local error:%d", ErrNo);
    close_socket();
    KELD_TRACE_LEAVE("CWrite::init");
    return -1;
  }
  KELD_TRACE_LEAVE("CWrite::init");
  return 0;
}

int CWrite::read_from_master(Message& m) {
  KELD_TRACE_ENTER("CWrite::read_from_master");
  plat::HANDLE pipe = InPipe != nullptr ? *InPipe : nullptr;
  plat::DWORD read = 0;
  if (!plat::ReadFile(pipe, m.header, MSG_HEADER_SIZE, &read, nullptr)) {
    ErrNo = 4040;
    SysError = plat::GetLastError();
    g_log.WriteLog(ERR, "In CWrite read pipe. Local error:%d, system error:%08x", ErrNo, SysError);
    KELD_TRACE_LEAVE("CWrite::read_from_master");
    return -1;
  }
  if (read != MSG_HEADER_SIZE) {
    ErrNo = 4045;
    SysError = plat::GetLastError();
    g_log.WriteLog(ERR, "In CWrite read pipe. Local error:%d, system error:%08x", ErrNo, SysError);
    g_log.WriteLog(DEBUG, "In CWrite read pipe. Should read:%d, but read:%d",
                   static_cast<int>(MSG_HEADER_SIZE), static_cast<int>(read));
    KELD_TRACE_LEAVE("CWrite::read_from_master");
    return -1;
  }
  uint32_t dataleng = m.header != nullptr ? m.header->dataleng : 0;
  if (dataleng == 0) {
    KELD_TRACE_LEAVE("CWrite::read_from_master");
    return 0;
  }
  // The data must fit behind the header in Buffer; a longer block is a
  // broken stream, not something to read.
  if (dataleng > MSG_MAX_DATALENG) {
    ErrNo = 4050;
    SysError = plat::kERROR_INVALID_DATA;
    g_log.WriteLog(ERR,
                   "In CWrite read pipe, data length %u exceeds %u bytes. Local error:%d, system "
                   "error:%08x",
                   dataleng, MSG_MAX_DATALENG, ErrNo, SysError);
    KELD_TRACE_LEAVE("CWrite::read_from_master");
    return -1;
  }
  read = 0;
  if (!plat::ReadFile(pipe, m.data, dataleng, &read, nullptr)) {
    ErrNo = 4050;
    SysError = plat::GetLastError();
    g_log.WriteLog(ERR, "In CWrite read pipe. Local error:%d, system error:%08x", ErrNo, SysError);
    KELD_TRACE_LEAVE("CWrite::read_from_master");
    return -1;
  }
  if (read != dataleng) {
    ErrNo = 4055;
    SysError = plat::GetLastError();
    g_log.WriteLog(ERR, "In CWrite read pipe. Local error:%d, system error:%08x", ErrNo, SysError);
    g_log.WriteLog(DEBUG, "In CWrite read pipe. Should read:%d, but read:%d",
                   static_cast<int>(dataleng), static_cast<int>(read));
    KELD_TRACE_LEAVE("CWrite::read_from_master");
    return -1;
  }
  KELD_TRACE_LEAVE("CWrite::read_from_master");
  return 0;
}

int CWrite::msg_header_hton(MsgHeader* h) {
  KELD_TRACE_ENTER("CWrite::msg_header_hton");
  // srcAddr and desAddr are already in network order.
  h->desId = plat::htonl(h->desId);
  h->type = plat::htonl(h->type);
  h->status = plat::htonl(h->status);
  h->sequence = plat::htonl(h->sequence);
  h->dataleng = plat::htonl(h->dataleng);
  h->id = plat::htonl(h->id);
  h->param = plat::htonl(h->param);
  h->reserved = plat::htonl(h->reserved);
  KELD_TRACE_LEAVE("CWrite::msg_header_hton");
  return 0;
}

int CWrite::write_socket(Message& m) {
  KELD_TRACE_ENTER("CWrite::write_socket");
  const MsgHeader* h = m.header;
  plat::sockaddr_in to{};
  to.sin_family = plat::kAF_INET;
  to.sin_port = Port;
  to.sin_addr.S_un.S_addr = h->desAddr;
  // The header is in network order by now.
  uint32_t dataleng = plat::ntohl(h->dataleng);
  if (dataleng > MSG_MAX_DATALENG) {
    // Never send bytes from beyond Buffer.
    SysError = plat::kWSAEMSGSIZE;
    ErrNo = 4060;
    g_log.WriteLog(ERR, "In CWrite write socket. Local error:%d, system error:%08x", ErrNo,
                   SysError);
    KELD_TRACE_LEAVE("CWrite::write_socket");
    return -1;
  }
  int length = static_cast<int>(MSG_HEADER_SIZE + dataleng);
  int sent = plat::sendto(Socket.load(), reinterpret_cast<const char*>(Buffer), length, 0,
                          reinterpret_cast<const plat::sockaddr*>(&to), sizeof(to));
  if (sent < 0) {
    SysError = plat::WSAGetLastError();
    ErrNo = 4060;
    g_log.WriteLog(ERR, "In CWrite write socket. Local error:%d, system error:%08x", ErrNo,
                   SysError);
    KELD_TRACE_LEAVE("CWrite::write_socket");
    return -1;
  }
  if (sent != length) {
    SysError = plat::WSAGetLastError();
    ErrNo = 4065;
    g_log.WriteLog(ERR, "In CWrite write socket. Local error:%d, system error:%08x", ErrNo,
                   SysError);
    g_log.WriteLog(DEBUG, "In CWrite write socket. Should send:%d, but send:%d", length, sent);
    KELD_TRACE_LEAVE("CWrite::write_socket");
    return -1;
  }
  g_log.WriteLog(DEBUG, "Write thread write %d bit msg header to socket. Msg type %x", sent,
                 plat::ntohl(h->type));
  KELD_TRACE_LEAVE("CWrite::write_socket");
  return 0;
}

int CWrite::write_thread() {
  KELD_TRACE_ENTER("CWrite::write_thread");
  Message m;
  m.header = reinterpret_cast<MsgHeader*>(Buffer);
  m.data = Buffer != nullptr ? Buffer + MSG_HEADER_SIZE : nullptr;
  bool down = false;

  // Without its buffer (no successful init) the thread makes no pass.
  while (m.header != nullptr && StopCounter.load() == 0) {
    if (read_from_master(m) != 0) {
      g_log.WriteLog(ERR, "Write thread error in fuction read_from_master()");
      break;
    }
    MsgHeader* h = m.header;
    if (h->type == MSG_DOWN) down = true;

    if (g_log.IsLevelOn(DEBUG)) {
      char srcText[plat::kINET_ADDRSTRLEN];
      char desText[plat::kINET_ADDRSTRLEN];
      AddressText(h->srcAddr, srcText, sizeof(srcText));
      AddressText(h->desAddr, desText, sizeof(desText));
      g_log.WriteLog(DEBUG, "write message type:%x", h->type);
      g_log.WriteLog(DEBUG, "write message dataleng:%d", static_cast<int>(h->dataleng));
      g_log.WriteLog(DEBUG, "write message status:%x", h->status);
      g_log.WriteLog(DEBUG, "write message srcAddr:%s", srcText);
      g_log.WriteLog(DEBUG, "write message desAddr:%s", desText);
      g_log.WriteLog(DEBUG, "write message sequence:%d", static_cast<int>(h->sequence));
      g_log.WriteLog(DEBUG, "write message id:%x", h->id);
    }

    msg_header_hton(h);
    if (write_socket(m) != 0) {
      g_log.WriteLog(ERR, "Write thread error in fuction write_socket()");
      break;
    }
    // The down message is the last one of a run.
    if (down) break;
  }

  close_socket();
  StopCounter.fetch_add(1);
  KELD_TRACE_LEAVE("CWrite::write_thread");
  return 0;
}

plat::DWORD WriteThreadStart(void*) {
  g_Write.write_thread();
  return 0;
}
