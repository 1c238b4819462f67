#include "messaging/Write.h"

#include <cstdlib>
#include <cstring>

#include "log/Log.h"

CWrite::CWrite()
    : ErrNo(0), SysError(0), InPipe(nullptr), Port(htons(45002)), Socket(plat::INVALID_SOCKET),
      Buffer(nullptr) {}

CWrite::~CWrite() {
  close_socket();
  std::free(Buffer);
}

void CWrite::close_socket() {
  plat::SOCKET s = Socket.exchange(plat::INVALID_SOCKET);
  if (s != plat::INVALID_SOCKET) plat::closesocket(s);
}
