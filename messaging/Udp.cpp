// SPDX-License-Identifier: Apache-2.0
#include "messaging/Udp.h"

void AddressText(uint32_t address, char* text, plat::ULONG size) {
  if (plat::inet_ntop(plat::kAF_INET, &address, text, size) == nullptr) text[0] = '\0';
}

void CloseUdpSocket(std::atomic<plat::SOCKET>& socket) {
  plat::SOCKET s = socket.exchange(plat::kINVALID_SOCKET);
  if (s != plat::kINVALID_SOCKET) plat::closesocket(s);
}
