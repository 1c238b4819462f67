// SPDX-License-Identifier: Apache-2.0
// Small pieces the receive and send sides share.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/platform.h"

// An IPv4 address in network byte order as dotted text; empty when it cannot
// be written.
void AddressText(uint32_t address, char* text, plat::ULONG size);

// Closes the socket held in `socket` once, however many threads ask: the
// first takes it, the others find it gone.
void CloseUdpSocket(std::atomic<plat::SOCKET>& socket);
