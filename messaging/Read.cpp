#include "messaging/Read.h"

#include <cstdlib>
#include <cstring>

#include "log/Log.h"

CRead::CRead()
    : RecentPos(0), ErrNo(0), SysError(0), OutPipe(nullptr), MasterThreadId(nullptr),
      Port(htons(45002)), Socket(plat::INVALID_SOCKET), Buffer(nullptr), RecentMsg{} {}

CRead::~CRead() {
  std::free(Buffer);
  close_socket();
}

void CRead::close_socket() {
  plat::SOCKET s = Socket.exchange(plat::INVALID_SOCKET);
  if (s != plat::INVALID_SOCKET) plat::closesocket(s);
}
