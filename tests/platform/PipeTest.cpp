// SPDX-License-Identifier: Apache-2.0
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include "platform/platform.h"

using namespace plat;

TEST(Pipe, ReadWaitsForTheWholeCountAcrossWrites) {
  HANDLE r = nullptr, w = nullptr;
  ASSERT_TRUE(CreatePipe(&r, &w, nullptr, 0));
  std::thread writer([&] {
    DWORD n = 0;
    EXPECT_TRUE(WriteFile(w, "0123456789", 10, &n, nullptr));
    Sleep(20);
    EXPECT_TRUE(WriteFile(w, "abcdefghij", 10, &n, nullptr));
  });
  char buf[20];
  DWORD got = 0;
  EXPECT_TRUE(ReadFile(r, buf, 20, &got, nullptr));
  EXPECT_EQ(got, 20u);
  EXPECT_EQ(std::string(buf, 20), "0123456789abcdefghij");
  writer.join();
  CloseHandle(r);
  CloseHandle(w);
}

TEST(Pipe, BlocksWhenFullAndCarriesMoreThanItsCapacity) {
  HANDLE r = nullptr, w = nullptr;
  ASSERT_TRUE(CreatePipe(&r, &w, nullptr, 64));
  std::vector<char> data(102400);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 7);
  std::thread writer([&] {
    DWORD n = 0;
    EXPECT_TRUE(WriteFile(w, data.data(), static_cast<DWORD>(data.size()), &n, nullptr));
    EXPECT_EQ(n, data.size());
  });
  std::vector<char> out(data.size());
  DWORD got = 0;
  EXPECT_TRUE(ReadFile(r, out.data(), static_cast<DWORD>(out.size()), &got, nullptr));
  EXPECT_EQ(got, out.size());
  EXPECT_EQ(out, data);
  writer.join();
  CloseHandle(r);
  CloseHandle(w);
}

// A reader waiting for more than the buffer has while a writer waits for
// room to put a whole block: the reader takes what is there, so neither waits
// for the other for ever.
TEST(Pipe, AShortReaderAndAWholeBlockWriterBothGoOn) {
  HANDLE r = nullptr, w = nullptr;
  ASSERT_TRUE(CreatePipe(&r, &w, nullptr, 64));
  DWORD n = 0;
  ASSERT_TRUE(WriteFile(w, "0123456789", 10, &n, nullptr));
  std::vector<char> block(64, 'x');
  std::thread writer([&] {
    DWORD put = 0;
    EXPECT_TRUE(WriteFile(w, block.data(), 64, &put, nullptr));
    EXPECT_EQ(put, 64u);
  });
  std::vector<char> out(74);
  DWORD got = 0;
  EXPECT_TRUE(ReadFile(r, out.data(), 20, &got, nullptr));
  EXPECT_EQ(got, 20u);
  EXPECT_TRUE(ReadFile(r, out.data() + 20, 54, &got, nullptr));
  EXPECT_EQ(got, 54u);
  writer.join();
  EXPECT_EQ(std::string(out.data(), 10), "0123456789");
  EXPECT_EQ(std::string(out.data() + 10, 64), std::string(64, 'x'));
  CloseHandle(r);
  CloseHandle(w);
}

TEST(Pipe, ClosingTheWriteEndWakesABlockedReader) {
  HANDLE r = nullptr, w = nullptr;
  ASSERT_TRUE(CreatePipe(&r, &w, nullptr, 0));
  std::atomic<int> result{-2};
  std::atomic<DWORD> error{0};
  std::thread reader([&] {
    char buf[40];
    DWORD got = 7;
    result = ReadFile(r, buf, 40, &got, nullptr);
    error = GetLastError();
    EXPECT_EQ(got, 0u);
  });
  Sleep(30);
  CloseHandle(w);
  reader.join();
  EXPECT_EQ(result.load(), kFALSE);
  EXPECT_EQ(error.load(), kERROR_BROKEN_PIPE);
  CloseHandle(r);
}

TEST(Pipe, ClosingTheWriteEndAfterPartOfABlockGivesAShortRead) {
  HANDLE r = nullptr, w = nullptr;
  ASSERT_TRUE(CreatePipe(&r, &w, nullptr, 0));
  DWORD n = 0;
  ASSERT_TRUE(WriteFile(w, "0123456789", 10, &n, nullptr));
  CloseHandle(w);
  char buf[40];
  DWORD got = 0;
  EXPECT_TRUE(ReadFile(r, buf, 40, &got, nullptr));
  EXPECT_EQ(got, 10u);
  EXPECT_FALSE(ReadFile(r, buf, 40, &got, nullptr));
  EXPECT_EQ(GetLastError(), kERROR_BROKEN_PIPE);
  CloseHandle(r);
}

TEST(Pipe, ClosingEitherHandleWakesABlockedWriterOrReaderOnIt) {
  HANDLE r = nullptr, w = nullptr;
  ASSERT_TRUE(CreatePipe(&r, &w, nullptr, 16));
  std::atomic<int> result{-2};
  std::thread writer([&] {
    char big[64] = {};
    DWORD n = 0;
    result = WriteFile(w, big, sizeof(big), &n, nullptr);
    EXPECT_EQ(GetLastError(), kERROR_NO_DATA);
  });
  Sleep(30);
  CloseHandle(r);  // the reader went away: the writer must not hang
  writer.join();
  EXPECT_EQ(result.load(), kFALSE);
  CloseHandle(w);

  // The main thread closes the very handle another thread reads from.
  ASSERT_TRUE(CreatePipe(&r, &w, nullptr, 0));
  result = -2;
  std::thread reader([&] {
    char buf[40];
    DWORD got = 0;
    result = ReadFile(r, buf, 40, &got, nullptr);
  });
  Sleep(30);
  CloseHandle(r);
  reader.join();
  EXPECT_EQ(result.load(), kFALSE);
  CloseHandle(w);
}

TEST(Pipe, AClosedHandleNeverReachesANewerObject) {
  HANDLE r1 = nullptr, w1 = nullptr;
  ASSERT_TRUE(CreatePipe(&r1, &w1, nullptr, 0));
  CloseHandle(r1);
  CloseHandle(w1);
  HANDLE r2 = nullptr, w2 = nullptr;
  ASSERT_TRUE(CreatePipe(&r2, &w2, nullptr, 0));
  EXPECT_NE(r1, r2);
  EXPECT_NE(w1, w2);
  DWORD n = 0;
  EXPECT_FALSE(WriteFile(w1, "x", 1, &n, nullptr));
  EXPECT_EQ(GetLastError(), kERROR_INVALID_HANDLE);
  EXPECT_FALSE(CloseHandle(w1));
  // The new pipe is untouched by the stale calls.
  EXPECT_TRUE(WriteFile(w2, "y", 1, &n, nullptr));
  char c = 0;
  EXPECT_TRUE(ReadFile(r2, &c, 1, &n, nullptr));
  EXPECT_EQ(c, 'y');
  CloseHandle(r2);
  CloseHandle(w2);
}

TEST(Pipe, ManyWritersOfWholeBlocksKeepTheirBlocksIntact) {
  HANDLE r = nullptr, w = nullptr;
  ASSERT_TRUE(CreatePipe(&r, &w, nullptr, 0));
  constexpr int kThreads = 4, kBlocks = 2000, kSize = 68;
  std::vector<std::thread> writers;
  for (int t = 0; t < kThreads; ++t) {
    writers.emplace_back([&, t] {
      char block[kSize];
      std::memset(block, 'a' + t, sizeof(block));
      for (int i = 0; i < kBlocks; ++i) {
        DWORD n = 0;
        ASSERT_TRUE(WriteFile(w, block, kSize, &n, nullptr));
      }
    });
  }
  int counts[kThreads] = {};
  for (int i = 0; i < kThreads * kBlocks; ++i) {
    char block[kSize];
    DWORD got = 0;
    ASSERT_TRUE(ReadFile(r, block, kSize, &got, nullptr));
    ASSERT_EQ(got, static_cast<DWORD>(kSize));
    for (int k = 1; k < kSize; ++k) ASSERT_EQ(block[k], block[0]);
    ++counts[block[0] - 'a'];
  }
  for (auto& t : writers) t.join();
  for (int c : counts) EXPECT_EQ(c, kBlocks);
  CloseHandle(r);
  CloseHandle(w);
}
