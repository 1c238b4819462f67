// SPDX-License-Identifier: Apache-2.0
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "platform/platform.h"

using namespace plat;

namespace {

struct Waiter {
  std::atomic<DWORD> id{0};
  std::atomic<bool> ready{false};
};

// Makes a queue, then reports each message it takes until kWM_QUIT.
DWORD PumpThread(void* p) {
  auto* w = static_cast<Waiter*>(p);
  MSG msg;
  PeekMessageA(&msg, nullptr, 0, 0, kPM_NOREMOVE);
  w->id = GetCurrentThreadId();
  w->ready = true;
  int count = 0;
  while (GetMessageA(&msg, nullptr, 0, 0) > 0) {
    EXPECT_EQ(msg.wParam, 0u);
    EXPECT_EQ(msg.lParam, 0);
    ++count;
  }
  return static_cast<DWORD>(count);
}

}  // namespace

TEST(ThreadQueue, PostFailsUntilTheThreadHasAQueueAndAfterItEnded) {
  MSG msg;
  // A thread id nobody owns.
  EXPECT_FALSE(PostThreadMessageA(0xFFFFFFF0u, kWM_USER, 0, 0));
  EXPECT_EQ(GetLastError(), kERROR_INVALID_THREAD_ID);

  Waiter w;
  DWORD tid = 0;
  HANDLE h = CreateThread(nullptr, 0, PumpThread, &w, 0, &tid);
  ASSERT_NE(h, nullptr);
  for (int i = 0; i < 2000 && !w.ready; ++i) Sleep(1);
  ASSERT_TRUE(w.ready);
  EXPECT_EQ(w.id.load(), tid);
  DWORD code = 0;
  EXPECT_TRUE(GetExitCodeThread(h, &code));
  EXPECT_EQ(code, kSTILL_ACTIVE);
  EXPECT_TRUE(PostThreadMessageA(tid, kWM_USER + 10, 0, 0));
  EXPECT_TRUE(PostThreadMessageA(tid, kWM_USER + 1, 0, 0));
  EXPECT_TRUE(PostThreadMessageA(tid, kWM_QUIT, 0, 0));
  EXPECT_EQ(WaitForSingleObject(h, 5000), kWAIT_OBJECT_0);
  EXPECT_TRUE(GetExitCodeThread(h, &code));
  EXPECT_EQ(code, 2u);  // two messages before the quit
  EXPECT_FALSE(PostThreadMessageA(tid, kWM_USER, 0, 0));
  EXPECT_EQ(GetLastError(), kERROR_INVALID_THREAD_ID);
  EXPECT_TRUE(CloseHandle(h));
  EXPECT_FALSE(CloseHandle(h));
  (void)msg;
}

// A thread the layer did not start loses its queue when it ends as well.
TEST(ThreadQueue, QueueOfAThreadStartedElsewhereGoesWithIt) {
  DWORD tid = 0;
  std::thread other([&tid] {
    MSG msg;
    PeekMessageA(&msg, nullptr, 0, 0, kPM_NOREMOVE);
    tid = GetCurrentThreadId();
  });
  other.join();
  ASSERT_NE(tid, 0u);
  EXPECT_FALSE(PostThreadMessageA(tid, kWM_USER, 0, 0));
  EXPECT_EQ(GetLastError(), kERROR_INVALID_THREAD_ID);
}

TEST(ThreadQueue, PostQuitMessageEndsTheWait) {
  PostQuitMessage(0);
  MSG msg;
  EXPECT_EQ(GetMessageA(&msg, nullptr, 0, 0), 0);
  EXPECT_EQ(msg.message, kWM_QUIT);
}

TEST(ThreadQueue, QueueHoldsAtMostTenThousandMessages) {
  MSG msg;
  PeekMessageA(&msg, nullptr, 0, 0, kPM_NOREMOVE);
  DWORD me = GetCurrentThreadId();
  int accepted = 0;
  for (int i = 0; i < 10001; ++i) accepted += PostThreadMessageA(me, kWM_USER, 0, 0) ? 1 : 0;
  EXPECT_EQ(accepted, 10000);
  EXPECT_EQ(GetLastError(), kERROR_NOT_ENOUGH_QUOTA);
  while (PeekMessageA(&msg, nullptr, 0, 0, kPM_REMOVE)) {
  }
}

namespace {
std::atomic<int> g_ticks{0};
void CountTick(void*, UINT, UINT_PTR, DWORD) { ++g_ticks; }
}  // namespace

TEST(ThreadQueue, TimerTicksMergeWhileTheThreadIsBusy) {
  g_ticks = 0;
  UINT_PTR id = SetTimer(nullptr, 0, 20, CountTick);
  ASSERT_NE(id, 0u);
  Sleep(200);  // about ten periods without taking messages
  MSG msg;
  int timers = 0;
  while (PeekMessageA(&msg, nullptr, 0, 0, kPM_REMOVE)) {
    if (msg.message == kWM_TIMER) {
      ++timers;
      DispatchMessageA(&msg);
    }
  }
  EXPECT_EQ(timers, 1);
  EXPECT_EQ(g_ticks.load(), 1);
  // And it keeps ticking at its period afterwards.
  auto start = std::chrono::steady_clock::now();
  while (g_ticks < 4 && std::chrono::steady_clock::now() - start < std::chrono::seconds(5)) {
    if (GetMessageA(&msg, nullptr, 0, 0) > 0) DispatchMessageA(&msg);
  }
  EXPECT_GE(g_ticks.load(), 4);
  EXPECT_TRUE(KillTimer(nullptr, id));
  EXPECT_FALSE(KillTimer(nullptr, id));
}
