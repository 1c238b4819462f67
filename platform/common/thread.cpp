// SPDX-License-Identifier: Apache-2.0
// Threads, per-thread message queues and queue timers.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <shared_mutex>
#include <system_error>
#include <thread>
#include <unordered_map>
#include <vector>

#include "platform/common/handles.h"
#include "platform/testing.h"

namespace plat {
namespace {

using Clock = std::chrono::steady_clock;

std::atomic<DWORD> g_nextThreadId{1000};
thread_local DWORD t_threadId = 0;

DWORD NewThreadId() { return g_nextThreadId.fetch_add(4); }

class Thread : public detail::Waitable {
 public:
  Thread(LPTHREAD_START_ROUTINE start, void* parameter, DWORD id)
      : start_(start), parameter_(parameter), id_(id) {}

  bool wait(DWORD milliseconds) override {
    std::unique_lock<std::mutex> guard(lock_);
    auto ended = [this] { return done_; };
    if (milliseconds == kINFINITE) {
      changed_.wait(guard, ended);
      return true;
    }
    return changed_.wait_for(guard, std::chrono::milliseconds(milliseconds), ended);
  }

  bool exitCode(DWORD* code) {
    std::lock_guard<std::mutex> guard(lock_);
    *code = done_ ? exitCode_ : kSTILL_ACTIVE;
    return true;
  }

  void finish(DWORD code) {
    std::lock_guard<std::mutex> guard(lock_);
    done_ = true;
    exitCode_ = code;
    changed_.notify_all();
  }

  const LPTHREAD_START_ROUTINE start_;
  void* const parameter_;
  const DWORD id_;

 private:
  std::mutex lock_;
  std::condition_variable changed_;
  bool done_ = false;
  DWORD exitCode_ = 0;
};

// ---------------------------------------------------------------- queues
constexpr size_t kQueueLimit = 10000;

struct Timer {
  UINT_PTR id;
  std::chrono::milliseconds period;
  Clock::time_point due;
  TIMERPROC proc;
};

class Queue {
 public:
  // The wake-ups come after the lock is released, so the woken thread does
  // not at once block again on the lock the poster still holds.
  bool post(const MSG& msg) {
    {
      std::lock_guard<std::mutex> guard(lock_);
      if (messages_.size() >= kQueueLimit) return false;
      messages_.push_back(msg);
    }
    changed_.notify_one();
    return true;
  }

  void quit(int code) {
    {
      std::lock_guard<std::mutex> guard(lock_);
      quitPending_ = true;
      quitCode_ = code;
    }
    changed_.notify_one();
  }

  // Blocks until a message is there. true with a message (kWM_QUIT included).
  bool get(MSG* msg, bool wait, bool remove) {
    std::unique_lock<std::mutex> guard(lock_);
    for (;;) {
      if (!messages_.empty()) {
        *msg = messages_.front();
        if (remove) messages_.pop_front();
        return true;
      }
      if (quitPending_) {
        *msg = MSG{};
        msg->message = kWM_QUIT;
        msg->wParam = static_cast<WPARAM>(quitCode_);
        if (remove) quitPending_ = false;
        return true;
      }
      auto now = Clock::now();
      Timer* next = nullptr;
      for (auto& timer : timers_) {
        if (next == nullptr || timer.due < next->due) next = &timer;
      }
      if (next != nullptr && next->due <= now) {
        *msg = MSG{};
        msg->message = kWM_TIMER;
        msg->wParam = next->id;
        msg->lParam = reinterpret_cast<LPARAM>(next->proc);
        msg->time = static_cast<DWORD>(
            std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count());
        if (remove) {
          // Ticks missed while the thread was busy merge into this one.
          while (next->due <= now) next->due += next->period;
        }
        return true;
      }
      if (!wait) return false;
      if (next != nullptr) {
        changed_.wait_until(guard, next->due);
      } else {
        changed_.wait(guard);
      }
    }
  }

  UINT_PTR setTimer(UINT_PTR id, UINT elapse, TIMERPROC proc) {
    std::lock_guard<std::mutex> guard(lock_);
    if (id == 0) id = nextTimerId_++;
    for (auto& timer : timers_) {
      if (timer.id == id) {
        timer.period = std::chrono::milliseconds(elapse);
        timer.due = Clock::now() + timer.period;
        timer.proc = proc;
        return id;
      }
    }
    Timer timer{id, std::chrono::milliseconds(elapse == 0 ? 1 : elapse), {}, proc};
    timer.due = Clock::now() + timer.period;
    timers_.push_back(timer);
    changed_.notify_one();
    return id;
  }

  bool killTimer(UINT_PTR id) {
    std::lock_guard<std::mutex> guard(lock_);
    for (auto it = timers_.begin(); it != timers_.end(); ++it) {
      if (it->id == id) {
        timers_.erase(it);
        return true;
      }
    }
    return false;
  }

 private:
  std::mutex lock_;
  std::condition_variable changed_;
  std::deque<MSG> messages_;
  std::vector<Timer> timers_;
  UINT_PTR nextTimerId_ = 1;
  bool quitPending_ = false;
  int quitCode_ = 0;
};

struct QueueRegistry {
  std::shared_mutex lock;  // posts share it
  std::unordered_map<DWORD, std::shared_ptr<Queue>> queues;
};
QueueRegistry& registry() {
  static QueueRegistry* r = new QueueRegistry;  // outlives every thread
  return *r;
}

void DropQueue(DWORD id) {
  std::lock_guard<std::shared_mutex> guard(registry().lock);
  registry().queues.erase(id);
}

// The calling thread's queue, made on first use and unregistered when the
// thread ends, so that later posts to its id fail as they do for a dead
// thread. The record is on the heap and only a pointer is thread_local: the
// exit hook releases it without touching the thread's TLS.
struct QueueOwner {
  std::shared_ptr<Queue> queue;
  DWORD id = 0;
};
thread_local QueueOwner* t_queue = nullptr;

void ReleaseQueueOwner(void* p) {
  auto* owner = static_cast<QueueOwner*>(p);
  if (owner->queue) DropQueue(owner->id);
  delete owner;
}

std::shared_ptr<Queue> OwnQueue() {
  if (t_queue == nullptr) {
    auto* owner = new QueueOwner;
    owner->id = GetCurrentThreadId();
    owner->queue = std::make_shared<Queue>();
    {
      std::lock_guard<std::shared_mutex> guard(registry().lock);
      registry().queues[owner->id] = owner->queue;
    }
    detail::AtThreadExit(&ReleaseQueueOwner, owner);
    t_queue = owner;
  }
  return t_queue->queue;
}

void ThreadMain(const std::shared_ptr<Thread>& self) {
  t_threadId = self->id_;
  DWORD code = self->start_(self->parameter_);
  // The queue goes before the thread counts as ended (the record itself at
  // the thread's exit).
  if (t_queue != nullptr && t_queue->queue) {
    DropQueue(t_queue->id);
    t_queue->queue.reset();
  }
  self->finish(code);
}

// Counts down to the thread creation a test wants to fail.
std::atomic<int> g_failThreadCreate{0};

}  // namespace

void SetThreadCreateFailureForTest(int nth) { g_failThreadCreate.store(nth < 0 ? 0 : nth); }

HANDLE CreateThread(void* /*threadAttributes*/, size_t /*stackSize*/, LPTHREAD_START_ROUTINE start,
                    void* parameter, DWORD creationFlags, DWORD* threadId) {
  // std::thread takes no stack size; the default serves every thread here.
  if (creationFlags != 0 || start == nullptr) {
    SetLastError(kERROR_INVALID_PARAMETER);
    return nullptr;
  }
  int failAt = g_failThreadCreate.load();
  if (failAt > 0 && g_failThreadCreate.fetch_sub(1) == 1) {
    SetLastError(kERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  DWORD id = NewThreadId();
  auto thread = std::make_shared<Thread>(start, parameter, id);
  try {
    // Detached: the handle, not a join, tells when the thread has ended.
    std::thread(ThreadMain, thread).detach();
  } catch (const std::system_error&) {
    SetLastError(kERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  if (threadId) *threadId = id;
  return detail::ToHandle(detail::Insert(thread));
}

BOOL GetExitCodeThread(HANDLE thread, DWORD* exitCode) {
  auto t = detail::LookupAs<Thread>(thread);
  if (!t) return kFALSE;
  return t->exitCode(exitCode) ? kTRUE : kFALSE;
}

DWORD WaitForSingleObject(HANDLE h, DWORD milliseconds) {
  auto waitable = detail::LookupAs<detail::Waitable>(h);
  if (!waitable) return kWAIT_FAILED;
  return waitable->wait(milliseconds) ? kWAIT_OBJECT_0 : kWAIT_TIMEOUT;
}

DWORD GetCurrentThreadId() {
  if (t_threadId == 0) t_threadId = NewThreadId();
  return t_threadId;
}

BOOL PostThreadMessageA(DWORD threadId, UINT message, WPARAM wParam, LPARAM lParam) {
  std::shared_ptr<Queue> queue;
  {
    std::shared_lock<std::shared_mutex> guard(registry().lock);
    auto it = registry().queues.find(threadId);
    if (it != registry().queues.end()) queue = it->second;
  }
  if (!queue) {
    SetLastError(kERROR_INVALID_THREAD_ID);
    return kFALSE;
  }
  MSG msg;
  msg.message = message;
  msg.wParam = wParam;
  msg.lParam = lParam;
  if (!queue->post(msg)) {
    SetLastError(kERROR_NOT_ENOUGH_QUOTA);
    return kFALSE;
  }
  return kTRUE;
}

void PostQuitMessage(int exitCode) { OwnQueue()->quit(exitCode); }

BOOL GetMessageA(MSG* msg, void* /*hwnd*/, UINT /*filterMin*/, UINT /*filterMax*/) {
  if (msg == nullptr) {
    SetLastError(kERROR_INVALID_PARAMETER);
    return -1;
  }
  OwnQueue()->get(msg, true, true);
  return msg->message == kWM_QUIT ? 0 : 1;
}

BOOL PeekMessageA(MSG* msg, void* /*hwnd*/, UINT /*filterMin*/, UINT /*filterMax*/, UINT remove) {
  return OwnQueue()->get(msg, false, (remove & kPM_REMOVE) != 0) ? kTRUE : kFALSE;
}

LPARAM DispatchMessageA(const MSG* msg) {
  if (msg != nullptr && msg->message == kWM_TIMER && msg->lParam != 0) {
    reinterpret_cast<TIMERPROC>(msg->lParam)(msg->hwnd, kWM_TIMER, msg->wParam, msg->time);
  }
  return 0;
}

UINT_PTR SetTimer(void* /*hwnd*/, UINT_PTR idEvent, UINT elapse, TIMERPROC proc) {
  return OwnQueue()->setTimer(idEvent, elapse, proc);
}

BOOL KillTimer(void* /*hwnd*/, UINT_PTR idEvent) {
  if (!OwnQueue()->killTimer(idEvent)) {
    SetLastError(kERROR_INVALID_PARAMETER);
    return kFALSE;
  }
  return kTRUE;
}

}  // namespace plat
