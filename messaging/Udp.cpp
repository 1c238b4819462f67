#include "messaging/Udp.h"

void AddressText(uint32_t address, char* text, socklen_t size) {
  in_addr in{};
  in.s_addr = address;
  if (inet_ntop(AF_INET, &in, text, size) == nullptr) text[0] = '\0';
}

void CloseUdpSocket(std::atomic<plat::SOCKET>& socket) {
  plat::SOCKET s = socket.exchange(plat::INVALID_SOCKET);
  if (s != plat::INVALID_SOCKET) plat::closesocket(s);
}
