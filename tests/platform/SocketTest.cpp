// SPDX-License-Identifier: Apache-2.0
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <thread>

#include "platform/platform.h"

using namespace plat;

TEST(Socket, ClosingFromAnotherThreadWakesABlockedReceive) {
  SOCKET s = plat::socket(plat::kAF_INET, plat::kSOCK_DGRAM, 0);
  ASSERT_NE(s, kINVALID_SOCKET);
  plat::sockaddr_in a{};
  a.sin_family = plat::kAF_INET;
  a.sin_addr.S_un.S_addr = plat::htonl(plat::kINADDR_LOOPBACK);
  ASSERT_EQ(plat::bind(s, reinterpret_cast<plat::sockaddr*>(&a), sizeof(a)), 0);
  std::atomic<int> result{1};
  std::atomic<DWORD> error{0};
  std::thread receiver([&] {
    char buf[100];
    result = plat::recvfrom(s, buf, sizeof(buf), 0, nullptr, nullptr);
    error = WSAGetLastError();
  });
  Sleep(50);
  EXPECT_EQ(plat::closesocket(s), 0);
  receiver.join();
  EXPECT_EQ(result.load(), kSOCKET_ERROR);
  EXPECT_EQ(error.load(), kWSAEINTR);
  EXPECT_EQ(plat::closesocket(s), kSOCKET_ERROR);
  EXPECT_EQ(WSAGetLastError(), kWSAENOTSOCK);
}

TEST(Socket, OversizedDatagramIsRefusedAndPortsInUseAnswerAddrInUse) {
  plat::sockaddr_in a{};
  a.sin_family = plat::kAF_INET;
  a.sin_addr.S_un.S_addr = plat::htonl(plat::kINADDR_LOOPBACK);
  SOCKET s = plat::socket(plat::kAF_INET, plat::kSOCK_DGRAM, 0);
  ASSERT_EQ(plat::bind(s, reinterpret_cast<plat::sockaddr*>(&a), sizeof(a)), 0);
  int len = sizeof(a);
  ASSERT_EQ(plat::getsockname(s, reinterpret_cast<plat::sockaddr*>(&a), &len), 0);
  ASSERT_NE(a.sin_port, 0);
  SOCKET t = plat::socket(plat::kAF_INET, plat::kSOCK_DGRAM, 0);
  EXPECT_EQ(plat::bind(t, reinterpret_cast<plat::sockaddr*>(&a), sizeof(a)), kSOCKET_ERROR);
  EXPECT_EQ(WSAGetLastError(), kWSAEADDRINUSE);

  char big[200];
  std::memset(big, 1, sizeof(big));
  ASSERT_EQ(plat::sendto(t, big, sizeof(big), 0, reinterpret_cast<plat::sockaddr*>(&a), sizeof(a)),
            200);
  ASSERT_EQ(plat::sendto(t, big, 50, 0, reinterpret_cast<plat::sockaddr*>(&a), sizeof(a)), 50);
  char buf[100];
  EXPECT_EQ(plat::recvfrom(s, buf, sizeof(buf), 0, nullptr, nullptr), kSOCKET_ERROR);
  EXPECT_EQ(WSAGetLastError(), kWSAEMSGSIZE);
  EXPECT_EQ(plat::recvfrom(s, buf, sizeof(buf), 0, nullptr, nullptr), 50);
  plat::closesocket(s);
  plat::closesocket(t);
}
