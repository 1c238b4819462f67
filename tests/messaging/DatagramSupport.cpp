// SPDX-License-Identifier: Apache-2.0
#include "tests/messaging/DatagramSupport.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

#include "log/Log.h"
#include "messaging/Workers.h"

namespace dgram {

// ---------------------------------------------------------------- bytes
uint32_t Addr(const char* dotted) {
  plat::in_addr a{};
  plat::inet_pton(plat::kAF_INET, dotted, &a);
  return a.S_un.S_addr;
}

std::string Bytes(const void* p, size_t n) { return std::string(static_cast<const char*>(p), n); }

std::string Hex(const std::string& bytes) {
  std::string out;
  char two[4];
  for (size_t i = 0; i < bytes.size(); ++i) {
    std::snprintf(two, sizeof(two), "%02X", static_cast<unsigned char>(bytes[i]));
    if (i > 0) out += ' ';
    out += two;
  }
  return out;
}

MsgHeader HostHeader(const WireFields& f) {
  MsgHeader h{};
  h.desId = f.desId;
  h.type = f.type;
  h.status = f.status;
  h.sequence = f.sequence;
  h.dataleng = f.dataleng;
  h.id = f.id;
  h.srcAddr = Addr(f.srcAddr);
  h.desAddr = Addr(f.desAddr);
  h.param = f.param;
  h.reserved = f.reserved;
  return h;
}

std::string WireHeader(const WireFields& f) {
  MsgHeader h = HostHeader(f);
  h.desId = plat::htonl(h.desId);
  h.type = plat::htonl(h.type);
  h.status = plat::htonl(h.status);
  h.sequence = plat::htonl(h.sequence);
  h.dataleng = plat::htonl(h.dataleng);
  h.id = plat::htonl(h.id);
  h.param = plat::htonl(h.param);
  h.reserved = plat::htonl(h.reserved);
  return Bytes(&h, sizeof(h));
}

// ---------------------------------------------------------------- UDP
namespace {
plat::sockaddr_in Endpoint(const char* address, uint16_t port) {
  plat::sockaddr_in a{};
  a.sin_family = plat::kAF_INET;
  a.sin_port = plat::htons(port);
  a.sin_addr.S_un.S_addr = Addr(address);
  return a;
}
}  // namespace

UdpPeer::UdpPeer() : socket_(plat::socket(plat::kAF_INET, plat::kSOCK_DGRAM, 0)) {}

UdpPeer::~UdpPeer() {
  // Closing wakes the receiving thread from its recvfrom.
  if (socket_ != plat::kINVALID_SOCKET) plat::closesocket(socket_);
  if (receiver_ != nullptr) {
    plat::WaitForSingleObject(receiver_, plat::kINFINITE);
    plat::CloseHandle(receiver_);
  }
}

bool UdpPeer::Bind(const char* address, uint16_t port) {
  plat::sockaddr_in a = Endpoint(address, port);
  return plat::bind(socket_, reinterpret_cast<const plat::sockaddr*>(&a), sizeof(a)) == 0;
}

uint16_t UdpPeer::port() const {
  plat::sockaddr_in a{};
  int n = sizeof(a);
  plat::getsockname(socket_, reinterpret_cast<plat::sockaddr*>(&a), &n);
  return plat::ntohs(a.sin_port);
}

void UdpPeer::EnableBroadcast() {
  plat::BOOL on = plat::kTRUE;
  plat::setsockopt(socket_, plat::kSOL_SOCKET, plat::kSO_BROADCAST, &on, sizeof(on));
}

long UdpPeer::SendTo(const std::string& bytes, const char* address, uint16_t port) {
  plat::sockaddr_in a = Endpoint(address, port);
  return plat::sendto(socket_, bytes.data(), static_cast<int>(bytes.size()), 0,
                      reinterpret_cast<const plat::sockaddr*>(&a), sizeof(a));
}

bool UdpPeer::Receive(std::string* bytes, int timeoutMs) {
  std::unique_lock<std::mutex> guard(lock_);
  if (receiver_ == nullptr) {
    receiver_ = plat::CreateThread(nullptr, 0, &UdpPeer::ReceiveLoop, this, 0, nullptr);
    if (receiver_ == nullptr) return false;
  }
  if (!arrived_.wait_for(guard, std::chrono::milliseconds(timeoutMs),
                         [this] { return !datagrams_.empty(); })) {
    return false;
  }
  *bytes = std::move(datagrams_.front());
  datagrams_.pop_front();
  return true;
}

plat::DWORD UdpPeer::ReceiveLoop(void* p) {
  auto* self = static_cast<UdpPeer*>(p);
  std::vector<char> buffer(65536);  // the largest UDP datagram fits
  for (;;) {
    int n = plat::recvfrom(self->socket_, buffer.data(), static_cast<int>(buffer.size()), 0,
                           nullptr, nullptr);
    if (n < 0) return 0;  // closed (or failed): nothing more will come
    std::lock_guard<std::mutex> guard(self->lock_);
    self->datagrams_.emplace_back(buffer.data(), static_cast<size_t>(n));
    self->arrived_.notify_all();
  }
}

uint16_t FreePort() {
  UdpPeer probe;
  if (!probe.Bind("0.0.0.0", 0)) return 0;
  return probe.port();
}

// ---------------------------------------------------------------- master
MasterStandIn::MasterStandIn(plat::DWORD queueDelayMs) : delay_(queueDelayMs) {
  thread_ = plat::CreateThread(nullptr, 0, &MasterStandIn::Run, this, 0, &id_);
  if (delay_ == 0) {
    std::unique_lock<std::mutex> guard(lock_);
    changed_.wait_for(guard, std::chrono::seconds(5), [this] { return ready_; });
  }
}

MasterStandIn::~MasterStandIn() {
  quit_ = true;
  // A thread still waiting for its queue sees quit_; one with a queue gets kWM_QUIT.
  for (int i = 0; i < 500 && !plat::PostThreadMessageA(id_, plat::kWM_QUIT, 0, 0); ++i) {
    if (plat::WaitForSingleObject(thread_, 10) == plat::kWAIT_OBJECT_0) break;
  }
  plat::WaitForSingleObject(thread_, plat::kINFINITE);
  plat::CloseHandle(thread_);
}

plat::DWORD MasterStandIn::Run(void* p) {
  auto* self = static_cast<MasterStandIn*>(p);
  if (self->delay_ != 0) {
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(self->delay_);
    while (!self->quit_ && (self->delay_ == kNever || std::chrono::steady_clock::now() < until)) {
      plat::Sleep(2);
    }
    if (self->quit_) return 0;
  }
  plat::MSG msg;
  plat::PeekMessageA(&msg, nullptr, 0, 0, plat::kPM_NOREMOVE);  // makes the queue
  {
    std::lock_guard<std::mutex> guard(self->lock_);
    self->ready_ = true;
    self->changed_.notify_all();
  }
  while (plat::GetMessageA(&msg, nullptr, 0, 0) > 0) {
    std::lock_guard<std::mutex> guard(self->lock_);
    self->messages_.push_back(msg);
    self->changed_.notify_all();
  }
  return 0;
}

int MasterStandIn::Arrived() const {
  std::lock_guard<std::mutex> guard(lock_);
  int n = 0;
  for (const auto& m : messages_) n += m.message == WM_MSG_ARRIVED ? 1 : 0;
  return n;
}

bool MasterStandIn::WaitArrived(int count, int timeoutMs) const {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  std::unique_lock<std::mutex> guard(lock_);
  return changed_.wait_until(guard, deadline, [&] {
    int n = 0;
    for (const auto& m : messages_) n += m.message == WM_MSG_ARRIVED ? 1 : 0;
    return n >= count;
  });
}

std::vector<plat::MSG> MasterStandIn::Messages() const {
  std::lock_guard<std::mutex> guard(lock_);
  return messages_;
}

// ---------------------------------------------------------------- workers
Worker::Worker(std::function<int()> body, std::function<void()> unblock)
    : body_(std::move(body)), unblock_(std::move(unblock)) {
  thread_ = plat::CreateThread(nullptr, 0, &Worker::Run, this, 0, nullptr);
}

Worker::~Worker() {
  if (plat::WaitForSingleObject(thread_, 0) != plat::kWAIT_OBJECT_0) {
    unblock_();
    plat::WaitForSingleObject(thread_, plat::kINFINITE);
  }
  plat::CloseHandle(thread_);
}

plat::DWORD Worker::Run(void* p) {
  return static_cast<plat::DWORD>(static_cast<Worker*>(p)->body_());
}

bool Worker::WaitEnded(plat::DWORD ms) {
  return plat::WaitForSingleObject(thread_, ms) == plat::kWAIT_OBJECT_0;
}

plat::DWORD Worker::ExitCode() {
  plat::DWORD code = 0;
  plat::GetExitCodeThread(thread_, &code);
  return code;
}

// ---------------------------------------------------------------- pipes
bool ReadPipeMessage(plat::HANDLE pipe, MsgHeader* header, std::string* data) {
  plat::DWORD n = 0;
  if (!plat::ReadFile(pipe, header, sizeof(*header), &n, nullptr) || n != sizeof(*header)) {
    return false;
  }
  data->clear();
  if (header->dataleng == 0) return true;
  if (header->dataleng > MSG_MAX_DATALENG) return false;
  data->resize(header->dataleng);
  return plat::ReadFile(pipe, data->data(), header->dataleng, &n, nullptr) && n == header->dataleng;
}

bool WritePipe(plat::HANDLE pipe, const void* bytes, size_t n) {
  plat::DWORD written = 0;
  return plat::WriteFile(pipe, bytes, static_cast<plat::DWORD>(n), &written, nullptr) &&
         written == n;
}

bool WaitForLogLine(const LogCapture& log, const std::string& prefix, int count, int timeoutMs) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (std::chrono::steady_clock::now() < deadline) {
    if (log.CountPrefix(prefix) >= count) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return false;
}

}  // namespace dgram
