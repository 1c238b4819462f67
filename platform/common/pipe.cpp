// SPDX-License-Identifier: Apache-2.0
// Anonymous pipes as an in-process byte stream.
//
// A reader asks for whole transfers (a header, then a data block), so a read
// waits until the asked count is there; only a vanished writer cuts it short.
// That keeps one write of a block and one read of it in step however the
// writer's bytes were split by the buffer. A blocked reader is woken only when
// what it waits for is there (or a writer needs the room), so a message
// written as header and body costs its reader one wake-up, not two.
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <deque>
#include <mutex>
#include <vector>

#include "platform/common/handles.h"

namespace plat {
namespace {

constexpr DWORD kDefaultCapacity = 65536;

struct Channel {
  explicit Channel(DWORD capacity) : capacity(capacity), ring(capacity) {}
  std::mutex lock;
  std::condition_variable readable;
  std::condition_variable writable;
  const DWORD capacity;
  std::vector<char> ring;
  size_t head = 0;  // next byte to read
  size_t used = 0;
  bool readerOpen = true;
  bool writerOpen = true;
  int readersWaiting = 0;
  int writersWaiting = 0;
  // The least count a blocked reader waits for; a stale smaller figure only
  // costs a spurious wake-up, so it is reset only when no reader waits.
  size_t wanted = SIZE_MAX;

  bool readerShouldWake() const {
    return readersWaiting > 0 && (used >= wanted || (used > 0 && writersWaiting > 0));
  }

  void put(const char* p, size_t n) {
    size_t tail = (head + used) % capacity;
    size_t first = std::min(n, capacity - tail);
    std::memcpy(ring.data() + tail, p, first);
    std::memcpy(ring.data(), p + first, n - first);
    used += n;
  }
  void take(char* p, size_t n) {
    size_t first = std::min(n, capacity - head);
    std::memcpy(p, ring.data() + head, first);
    std::memcpy(p + first, ring.data(), n - first);
    head = (head + n) % capacity;
    used -= n;
  }
};

class PipeEnd : public detail::Stream {
 public:
  PipeEnd(std::shared_ptr<Channel> channel, bool reader)
      : channel_(std::move(channel)), reader_(reader) {}
  ~PipeEnd() override { close(); }

  void close() override {
    std::lock_guard<std::mutex> guard(channel_->lock);
    if (closed_) return;
    closed_ = true;
    (reader_ ? channel_->readerOpen : channel_->writerOpen) = false;
    channel_->readable.notify_all();
    channel_->writable.notify_all();
  }

  BOOL read(void* buffer, DWORD toRead, DWORD* read) override {
    if (read) *read = 0;
    if (!reader_) {
      SetLastError(kERROR_ACCESS_DENIED);
      return kFALSE;
    }
    char* out = static_cast<char*>(buffer);
    DWORD done = 0;
    bool roomFreed = false;
    std::unique_lock<std::mutex> guard(channel_->lock);
    while (done < toRead) {
      // Wait for the whole rest (as much as the buffer holds), or for what
      // is there when a writer waits for room, so neither side can stall.
      const size_t need = std::min<size_t>(toRead - done, channel_->capacity);
      auto ready = [&] {
        return closed_ || !channel_->writerOpen || channel_->used >= need ||
               (channel_->used > 0 && channel_->writersWaiting > 0);
      };
      if (!ready()) {
        ++channel_->readersWaiting;
        channel_->wanted = std::min(channel_->wanted, need);
        channel_->readable.wait(guard, ready);
        if (--channel_->readersWaiting == 0) channel_->wanted = SIZE_MAX;
      }
      if (closed_) {
        SetLastError(kERROR_INVALID_HANDLE);
        if (read) *read = done;
        return kFALSE;
      }
      if (channel_->used == 0) break;  // writer gone
      size_t n = std::min<size_t>(toRead - done, channel_->used);
      channel_->take(out + done, n);
      done += static_cast<DWORD>(n);
      roomFreed = true;
      // A writer blocked for room goes on while this read waits for more.
      if (done < toRead && channel_->writersWaiting > 0) channel_->writable.notify_all();
    }
    const bool wakeWriter = roomFreed && channel_->writersWaiting > 0;
    guard.unlock();
    if (wakeWriter) channel_->writable.notify_all();
    if (read) *read = done;
    if (done == 0 && toRead > 0) {
      SetLastError(kERROR_BROKEN_PIPE);
      return kFALSE;
    }
    return kTRUE;
  }

  BOOL write(const void* buffer, DWORD toWrite, DWORD* written) override {
    if (written) *written = 0;
    if (reader_) {
      SetLastError(kERROR_ACCESS_DENIED);
      return kFALSE;
    }
    const char* in = static_cast<const char*>(buffer);
    DWORD done = 0;
    std::unique_lock<std::mutex> guard(channel_->lock);
    // A block that fits the buffer goes in whole, so writers never interleave
    // inside it; a larger one goes in as room appears.
    const bool whole = toWrite <= channel_->capacity;
    while (done < toWrite) {
      auto ready = [&] {
        size_t room = channel_->capacity - channel_->used;
        return closed_ || !channel_->readerOpen || (whole ? room >= toWrite : room > 0);
      };
      if (!ready()) {
        ++channel_->writersWaiting;
        // A reader waiting for more than is there must make room now.
        if (channel_->readerShouldWake()) channel_->readable.notify_all();
        channel_->writable.wait(guard, ready);
        --channel_->writersWaiting;
      }
      if (closed_ || !channel_->readerOpen) {
        SetLastError(closed_ ? kERROR_INVALID_HANDLE : kERROR_NO_DATA);
        if (written) *written = done;
        return kFALSE;
      }
      size_t n = std::min<size_t>(toWrite - done, channel_->capacity - channel_->used);
      channel_->put(in + done, n);
      done += static_cast<DWORD>(n);
      if (done < toWrite && channel_->readerShouldWake()) channel_->readable.notify_all();
    }
    const bool wakeReader = channel_->readerShouldWake();
    guard.unlock();
    if (wakeReader) channel_->readable.notify_all();
    if (written) *written = done;
    return kTRUE;
  }

 private:
  std::shared_ptr<Channel> channel_;
  const bool reader_;
  bool closed_ = false;  // guarded by channel_->lock
};

}  // namespace

BOOL CreatePipe(HANDLE* readEnd, HANDLE* writeEnd, void* /*security*/, DWORD size) {
  auto channel = std::make_shared<Channel>(size == 0 ? kDefaultCapacity : size);
  *readEnd = detail::ToHandle(detail::Insert(std::make_shared<PipeEnd>(channel, true)));
  *writeEnd = detail::ToHandle(detail::Insert(std::make_shared<PipeEnd>(channel, false)));
  return kTRUE;
}

}  // namespace plat
