// SPDX-License-Identifier: Apache-2.0
#include "messaging/Read.h"

#include <cinttypes>
#include <cstdlib>
#include <cstring>

#include "config/KELD3Register.h"
#include "log/Log.h"
#include "messaging/Udp.h"
#include "messaging/Workers.h"

namespace {

// A header field of the datagram just received, still in network order; 0
// when the datagram ended before the field, so bytes of an earlier datagram
// are never reported as this one's.
uint32_t ReceivedField(const uint8_t* buffer, int count, size_t offset) {
  if (buffer == nullptr || count < 0 || static_cast<size_t>(count) < offset + 4) return 0;
  uint32_t value;
  std::memcpy(&value, buffer + offset, sizeof(value));
  return plat::ntohl(value);
}

}  // namespace

CRead g_Read;

CRead::CRead()
    : RecentPos(0), ErrNo(0), SysError(0), OutPipe(nullptr), MasterThreadId(nullptr),
      Port(plat::htons(45002)), Socket(plat::kINVALID_SOCKET), Buffer(nullptr), RecentMsg{},
      SourceAddr(0) {}

CRead::~CRead() {
  std::free(Buffer);
  close_socket();
}

void CRead::close_socket() { CloseUdpSocket(Socket); }

int CRead::init() {
  KELD_TRACE_ENTER("CRead::init");
  plat::WSADATA wsaData;
  int result = plat::WSAStartup(plat::kMAKEWORD(2, 0), &wsaData);
  if (result != 0) {
    SysError = static_cast<uint32_t>(result);
    ErrNo = 3510;
    g_log.WriteLog(ERR, "In Read init call WSAStartup. Local error:%d, system error:%08x", ErrNo,
                   SysError);
    KELD_TRACE_LEAVE("CRead::init");
    return -1;
  }

  // A socket left from an earlier generation would hold the port.
  close_socket();
  plat::SOCKET s = plat::socket(plat::kAF_INET, plat::kSOCK_DGRAM, 0);
  if (s == plat::kINVALID_SOCKET) {
    SysError = plat::WSAGetLastError();
    ErrNo = 3520;
    g_log.WriteLog(ERR, "In Read init call Socket(). Local error:%d, system error:%08x", ErrNo,
                   SysError);
    KELD_TRACE_LEAVE("CRead::init");
    return -1;
  }
  Socket = s;

  plat::sockaddr_in local{};
  local.sin_family = plat::kAF_INET;
  local.sin_addr.S_un.S_addr = plat::htonl(plat::kINADDR_ANY);
  local.sin_port = Port;
  if (plat::bind(s, reinterpret_cast<const plat::sockaddr*>(&local), sizeof(local)) != 0) {
    SysError = plat::WSAGetLastError();
    ErrNo = 3530;
    g_log.WriteLog(ERR, "In Read init call bind(). Local error:%d, system error:%08x", ErrNo,
                   SysError);
    close_socket();
    KELD_TRACE_LEAVE("CRead::init");
    return -1;
  }

  std::free(Buffer);
  Buffer = static_cast<uint8_t*>(std::malloc(MSG_BUFFER_SIZE));
  if (Buffer == nullptr) {
    ErrNo = 3535;
    g_log.WriteLog(ERR, "In Read init call malloc(). Local error:%d", ErrNo);
    close_socket();
    KELD_TRACE_LEAVE("CRead::init");
    return -1;
  }
  KELD_TRACE_LEAVE("CRead::init");
  return 0;
}

int CRead::read_socket(Message& m) {
  KELD_TRACE_ENTER("CRead::read_socket");
  (void)m;  // the message's blocks are views into Buffer
  plat::sockaddr_in from{};
  int fromLength = sizeof(from);
  int count = plat::recvfrom(Socket.load(), reinterpret_cast<char*>(Buffer),
                             static_cast<int>(MSG_BUFFER_SIZE), 0,
                             reinterpret_cast<plat::sockaddr*>(&from), &fromLength);
  plat::DWORD lastError = plat::WSAGetLastError();
  SourceAddr = count >= 0 && from.sin_family == plat::kAF_INET ? from.sin_addr.S_un.S_addr : 0;
  uint32_t type = ReceivedField(Buffer, count, offsetof(MsgHeader, type));
  uint32_t dataleng = ReceivedField(Buffer, count, offsetof(MsgHeader, dataleng));
  g_log.WriteLog(DEBUG, "Read thread read %d bit msg . Type: %x; data length:%d", count, type,
                 static_cast<int>(dataleng));

  if (count < 0) {
    SysError = lastError;
    ErrNo = 3570;
    g_log.WriteLog(ERR, "In Read socket call recvfrom(). Local error:%d, system error:%08x", ErrNo,
                   SysError);
    KELD_TRACE_LEAVE("CRead::read_socket");
    return -1;
  }
  if (count == 0) {
    ErrNo = 3580;
    SysError = lastError;
    g_log.WriteLog(ERR, "In Read socket call recvfrom(). Local error:%d, system error%08x", ErrNo,
                   SysError);
    KELD_TRACE_LEAVE("CRead::read_socket");
    return -1;
  }
  // In 64 bits, so that a huge dataleng cannot wrap round to a short count.
  uint64_t expected = uint64_t{MSG_HEADER_SIZE} + dataleng;
  if (static_cast<size_t>(count) < MSG_HEADER_SIZE || static_cast<uint64_t>(count) != expected) {
    SysError = lastError;
    ErrNo = 3560;
    g_log.WriteLog(ERR, "In Read socket call recvfrom(). Local error:%d, system error:%08x", ErrNo,
                   SysError);
    g_log.WriteLog(DEBUG, "In Read socket call recvfrom(). Should receive:%" PRIu64 ", but recv:%d",
                   expected, count);
    KELD_TRACE_LEAVE("CRead::read_socket");
    return -1;
  }
  KELD_TRACE_LEAVE("CRead::read_socket");
  return 0;
}

bool CRead::IsMalformedDatagram() const {
  return ErrNo == 3560 || ErrNo == 3580 || (ErrNo == 3570 && SysError == plat::kWSAEMSGSIZE);
}

int CRead::msg_header_ntoh(MsgHeader* h) {
  KELD_TRACE_ENTER("CRead::msg_header_ntoh");
  if (h == nullptr) {
    KELD_TRACE_LEAVE("CRead::msg_header_ntoh");
    return 0;
  }
  // srcAddr and desAddr stay in network order.
  h->desId = plat::ntohl(h->desId);
  h->type = plat::ntohl(h->type);
  h->status = plat::ntohl(h->status);
  h->sequence = plat::ntohl(h->sequence);
  h->dataleng = plat::ntohl(h->dataleng);
  h->id = plat::ntohl(h->id);
  h->param = plat::ntohl(h->param);
  h->reserved = plat::ntohl(h->reserved);
  KELD_TRACE_LEAVE("CRead::msg_header_ntoh");
  return 0;
}

int CRead::write_to_master(Message& m) {
  KELD_TRACE_ENTER("CRead::write_to_master");
  plat::HANDLE pipe = OutPipe != nullptr ? *OutPipe : nullptr;
  plat::DWORD written = 0;
  if (!plat::WriteFile(pipe, m.header, MSG_HEADER_SIZE, &written, nullptr)) {
    SysError = plat::GetLastError();
    ErrNo = 3620;
    g_log.WriteLog(ERR,
                   "Read thread write msg head to master by pipe error . Local error:%d, system "
                   "error:%08x",
                   ErrNo, SysError);
    KELD_TRACE_LEAVE("CRead::write_to_master");
    return -1;
  }
  if (written != MSG_HEADER_SIZE) {
    SysError = plat::GetLastError();
    ErrNo = 3630;
    g_log.WriteLog(ERR,
                   "Read thread write msg head to master by pipe error. Local error:%d, system "
                   "error:%08x",
                   ErrNo, SysError);
    g_log.WriteLog(
        DEBUG, "Read thread write msg head to master by pipe error. Should read:%d, but read:%d",
        static_cast<int>(MSG_HEADER_SIZE), static_cast<int>(written));
    KELD_TRACE_LEAVE("CRead::write_to_master");
    return -1;
  }
  uint32_t dataleng = m.header->dataleng;
  if (dataleng == 0) {
    KELD_TRACE_LEAVE("CRead::write_to_master");
    return 0;
  }
  written = 0;
  if (!plat::WriteFile(pipe, m.data, dataleng, &written, nullptr)) {
    SysError = plat::GetLastError();
    ErrNo = 3600;
    g_log.WriteLog(ERR,
                   "Read thread write msg data to master by pipe error. Local error:%d, system "
                   "error:%08x",
                   ErrNo, SysError);
    KELD_TRACE_LEAVE("CRead::write_to_master");
    return -1;
  }
  if (written != dataleng) {
    SysError = plat::GetLastError();
    ErrNo = 3610;
    g_log.WriteLog(ERR,
                   "Read thread write msg data to master by pipe error. Local error:%d, system "
                   "error:%08x",
                   ErrNo, SysError);
    g_log.WriteLog(
        DEBUG, "Read thread write msg data to master by pipe error. Should read:%d, but read:%d",
        static_cast<int>(dataleng), static_cast<int>(written));
    KELD_TRACE_LEAVE("CRead::write_to_master");
    return -1;
  }
  KELD_TRACE_LEAVE("CRead::write_to_master");
  return 0;
}

int CRead::read_thread() {
  KELD_TRACE_ENTER("CRead::read_thread");
  Message m;
  m.header = reinterpret_cast<MsgHeader*>(Buffer);
  m.data = Buffer != nullptr ? Buffer + MSG_HEADER_SIZE : nullptr;

  // Without its buffer (no successful init) the thread makes no pass.
  while (m.header != nullptr && StopCounter.load() == 0) {
    if (read_socket(m) != 0) {
      // A malformed datagram is anyone's to send: it is logged and dropped,
      // and only a failure of the socket itself ends the thread.
      if (IsMalformedDatagram()) continue;
      g_log.WriteLog(ERR, "Read thread error in fuction read_socket()");
      break;
    }
    msg_header_ntoh(m.header);
    MsgHeader* h = m.header;

    // Settings are taken only from the coordinators the operator named;
    // checked before the repeat memory, so a forged datagram cannot
    // displace a real coordinator's numbered message from it.
    if (h->type == MSG_ALIVE && h->id == COORDINATOR_ID &&
        !g_Config.IsCoordinatorAllowed(SourceAddr)) {
      char fromText[plat::kINET_ADDRSTRLEN];
      AddressText(SourceAddr, fromText, sizeof(fromText));
      g_log.WriteLog(WARN, "Coor_alive message from %s is not from a listed coordinator, dropped",
                     fromText);
      continue;
    }

    // Numbered messages repeated within the last five numbered ones are
    // dropped; sequence 0 is never suppressed nor remembered.
    if (h->sequence != 0) {
      bool repeated = false;
      for (const RecentEntry& recent : RecentMsg) {
        if (recent.type == h->type && recent.sequence == h->sequence &&
            recent.srcAddr == h->srcAddr) {
          repeated = true;
          break;
        }
      }
      if (repeated) {
        g_log.WriteLog(DEBUG, "Read thread drop message %x", h->type);
        continue;
      }
      if (RecentPos >= 5) RecentPos = 0;
      RecentMsg[RecentPos] = RecentEntry{h->type, h->sequence, h->srcAddr};
      RecentPos = (RecentPos + 1) % 5;
    }

    if (g_log.IsLevelOn(DEBUG)) {
      char srcText[plat::kINET_ADDRSTRLEN];
      char desText[plat::kINET_ADDRSTRLEN];
      AddressText(h->srcAddr, srcText, sizeof(srcText));
      AddressText(h->desAddr, desText, sizeof(desText));
      g_log.WriteLog(DEBUG, "read message type:%x", h->type);
      g_log.WriteLog(DEBUG, "read message dataleng:%d", static_cast<int>(h->dataleng));
      g_log.WriteLog(DEBUG, "read message status:%x", h->status);
      g_log.WriteLog(DEBUG, "read message srcAddr:%s", srcText);
      g_log.WriteLog(DEBUG, "read message desAddr:%s", desText);
      g_log.WriteLog(DEBUG, "read message sequence:%d", static_cast<int>(h->sequence));
      g_log.WriteLog(DEBUG, "read message id:%x", h->id);
    }

    if (write_to_master(m) != 0) {
      g_log.WriteLog(ERR, "Function write_to_master error in Read thread()");
      break;
    }

    // The master may not have its queue yet (or be between generations):
    // retry gently until it takes the notice or the threads are told to end.
    while (!plat::PostThreadMessageA(MasterThreadId != nullptr ? MasterThreadId->load() : 0,
                                     WM_MSG_ARRIVED, 0, 0)) {
      plat::DWORD error = plat::GetLastError();
      if (StopCounter.load() != 0) break;
      plat::Sleep(10);
      g_log.WriteLog(DEBUG, "Read thread postmesage to Master thread again. system err:%08x",
                     error);
    }
  }

  StopCounter.fetch_add(1);
  close_socket();
  KELD_TRACE_LEAVE("CRead::read_thread");
  return 0;
}

plat::DWORD ReadThreadStart(void*) {
  g_Read.read_thread();
  return 0;
}
