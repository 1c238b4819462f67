// SPDX-License-Identifier: Apache-2.0
// Hostile datagrams through the whole receive path: the receive thread on a
// real loopback UDP socket (length check, header conversion, duplicate
// suppression, pipe framing), and on the other side of read_to_master the
// master's reading and processing, with the log and the registry store live.
//
// Input: one option byte, then datagrams separated by kSplit. Option bit 0
// turns DEBUG logging on, so the header fields are formatted into the log.
//
// Each datagram is followed by a sentinel datagram; the fuzzer's thread plays
// the master and takes messages until the sentinel comes out of the pipe, so
// every input is processed completely before the next. A datagram the
// receive thread refuses is logged and dropped, as in the agent: the thread
// goes on, and the sentinel behind it still arrives.
//
// Beyond crashes, the harness checks what the master relies on: exactly the
// acceptable datagrams arrive, once each, in host byte order, with their
// data, and a Coor_alive sets exactly what it says.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "config/KELD3Register.h"
#include "log/Log.h"
#include "messaging/Master.h"
#include "messaging/Message.h"
#include "messaging/Read.h"
#include "messaging/Workers.h"
#include "platform/platform.h"
#include "platform/testing.h"

namespace {

constexpr std::string_view kSplit = "--KELD--";
constexpr size_t kMaxDatagrams = 16;
// The largest UDP payload IPv4 carries.
constexpr size_t kMaxDatagram = 65507;
// Posted by the receive thread's wrapper when read_thread has returned.
constexpr plat::UINT kReaderEnded = plat::kWM_USER + 77;
constexpr uint32_t kSentinelType = 0x53454E54;
constexpr uint32_t kSentinelId = 0x5E5E5E5E;
constexpr off_t kMaxLogBytes = 1 << 20;

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "fuzz_receive: %s\n", what);
  std::abort();
}

void Check(bool condition, const char* what) {
  if (!condition) Fail(what);
}

uint32_t Be32(const uint8_t* p) {
  uint32_t v;
  std::memcpy(&v, p, sizeof(v));
  return ntohl(v);
}

uint32_t Raw32(const uint8_t* p) {
  uint32_t v;
  std::memcpy(&v, p, sizeof(v));
  return v;
}

// The header as the master must see it: numeric fields in host order, the
// two addresses as they were on the wire.
MsgHeader HostHeader(const uint8_t* wire) {
  MsgHeader h;
  h.desId = Be32(wire + 0);
  h.type = Be32(wire + 4);
  h.status = Be32(wire + 8);
  h.sequence = Be32(wire + 12);
  h.dataleng = Be32(wire + 16);
  h.id = Be32(wire + 20);
  h.srcAddr = Raw32(wire + 24);
  h.desAddr = Raw32(wire + 28);
  h.param = Be32(wire + 32);
  h.reserved = Be32(wire + 36);
  return h;
}

bool SameHeader(const MsgHeader& a, const MsgHeader& b) {
  return std::memcmp(&a, &b, sizeof(a)) == 0;
}

uint32_t MaskFor(uint32_t loglevel) {
  switch (loglevel) {
    case 1: return 3;
    case 2: return 7;
    case 3: return 15;
    default: return 3;
  }
}

// One receive worker for the whole run. Each time it is let go it runs
// read_thread once, as the new receive thread of a restart would (the
// object, its socket and its remembered messages are what matter, not the
// thread), and tells the fuzzer's thread when read_thread has returned.
// Creating a thread per restart would cost more than the input itself.
class ReaderWorker {
 public:
  void Start(plat::DWORD masterThread) {
    master_ = masterThread;
    thread_ = plat::CreateThread(nullptr, 0, &ReaderWorker::Main, this, 0, nullptr);
    if (thread_ == nullptr) {
      std::fprintf(stderr, "fuzz_receive: cannot start the receive thread\n");
      std::abort();
    }
  }

  // Lets read_thread run once more (after CRead::init).
  void Release() {
    std::lock_guard<std::mutex> guard(lock_);
    ++released_;
    changed_.notify_all();
  }

  // At exit: the fuzzer's thread no longer reads its queue (the exit may
  // already have taken it down with the thread's other locals).
  void Stop() {
    if (thread_ == nullptr) return;
    {
      std::lock_guard<std::mutex> guard(lock_);
      exiting_ = true;
      changed_.notify_all();
    }
    StopCounter = 1;
    g_Read.close_socket();  // wakes read_thread in its receive
    plat::WaitForSingleObject(thread_, plat::kINFINITE);
    plat::CloseHandle(thread_);
    thread_ = nullptr;
  }

 private:
  static plat::DWORD Main(void* self) {
    static_cast<ReaderWorker*>(self)->Loop();
    return 0;
  }

  void Loop() {
    uint64_t runs = 0;
    for (;;) {
      {
        std::unique_lock<std::mutex> guard(lock_);
        changed_.wait(guard, [&] { return exiting_ || released_ > runs; });
        if (exiting_) return;
        ++runs;
      }
      g_Read.read_thread();
      while (!exiting_.load() && !plat::PostThreadMessageA(master_, kReaderEnded, 0, 0))
        plat::Sleep(1);
    }
  }

  plat::HANDLE thread_ = nullptr;
  plat::DWORD master_ = 0;
  std::mutex lock_;
  std::condition_variable changed_;
  uint64_t released_ = 0;
  std::atomic<bool> exiting_{false};
};

class Harness {
 public:
  void Init() {
    const char* base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    std::snprintf(dir_, sizeof(dir_), "%s/fuzz_receive.XXXXXX", base);
    if (mkdtemp(dir_) == nullptr) Fail("cannot make a working directory");
    std::snprintf(g_log.LogDirectory, sizeof(g_log.LogDirectory), "%s", dir_);
    std::snprintf(g_log.LogName, sizeof(g_log.LogName), "%s", "keld4.log");
    std::snprintf(logPath_, sizeof(logPath_), "%s/keld4.log", dir_);
    std::snprintf(storePath_, sizeof(storePath_), "%s/registry.reg", dir_);
    g_log.LogLevel = 3;
    plat::SetRegistryStorePathForTest(storePath_);
    MakeKey("SOFTWARE\\Ostrel\\KELD4\\Parameter\\CpuLoad", "CpuSendInterval");
    MakeKey("SOFTWARE\\Ostrel\\KELD4\\Parameter\\Log", "LogRefreshInterval");

    if (!plat::CreatePipe(&pipeRead_, &pipeWrite_, nullptr, 0)) Fail("cannot make the pipe");
    g_Read.OutPipe = &pipeWrite_;
    g_Master.ReadPipe = &pipeRead_;
    g_Master.LocalAddr = inet_addr("127.0.0.1");

    // This thread is the master: it needs its queue before the first post.
    plat::MSG msg;
    plat::PeekMessageA(&msg, nullptr, 0, 0, plat::kPM_NOREMOVE);
    mainThread_ = plat::GetCurrentThreadId();
    MasterThreadId = mainThread_;
    g_Read.MasterThreadId = &MasterThreadId;

    sender_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (sender_ < 0) Fail("cannot make the sending socket");
    reader_.Start(mainThread_);
    StartReader();
  }

  void Shutdown() {
    reader_.Stop();
    if (sender_ >= 0) ::close(sender_);
    sender_ = -1;
    plat::CloseHandle(pipeRead_);
    plat::CloseHandle(pipeWrite_);
    plat::SetRegistryStorePathForTest("");
    for (const char* name : {"keld4.log", "registry.reg", "registry.reg.lock"}) {
      std::string path = std::string(dir_) + "/" + name;
      ::unlink(path.c_str());
    }
    // The store may leave other files of its own (temporaries); a directory
    // that is not empty is left for the operator.
    ::rmdir(dir_);
  }

  void Run(const uint8_t* data, size_t size) {
    // Every input starts from the same state, so a finding reproduces alone.
    g_log.LogLevel = (size > 0 && (data[0] & 1) != 0) ? 15 : 3;
    g_log.LogRefreshInterval = 2;
    g_Master.CpuSendInterval = 2;
    g_Master.CoordinatorAddr = 0;
    g_Read.RecentPos = 0;
    std::memset(g_Read.RecentMsg, 0, sizeof(g_Read.RecentMsg));
    std::memset(recent_, 0, sizeof(recent_));
    recentPos_ = 0;
    TrimLog();

    std::string_view rest(size > 0 ? reinterpret_cast<const char*>(data) + 1 : "",
                          size > 0 ? size - 1 : 0);
    for (size_t n = 0; n < kMaxDatagrams; ++n) {
      size_t cut = rest.find(kSplit);
      std::string_view datagram = rest.substr(0, cut);
      Deliver(reinterpret_cast<const uint8_t*>(datagram.data()),
              std::min(datagram.size(), kMaxDatagram));
      if (cut == std::string_view::npos) break;
      rest.remove_prefix(cut + kSplit.size());
    }
  }

 private:
  void MakeKey(const char* path, const char* name) {
    plat::HKEY key = nullptr;
    if (plat::RegCreateKeyExA(plat::kHKEY_LOCAL_MACHINE, path, 0, nullptr,
                              plat::kREG_OPTION_NON_VOLATILE, plat::kKEY_ALL_ACCESS, nullptr, &key,
                              nullptr) != plat::kERROR_SUCCESS) {
      Fail("cannot make a registry key");
    }
    const uint32_t two = 2;
    if (plat::RegSetValueExA(key, name, 0, plat::kREG_DWORD,
                             reinterpret_cast<const plat::BYTE*>(&two),
                             sizeof(two)) != plat::kERROR_SUCCESS) {
      Fail("cannot set a registry value");
    }
    plat::RegCloseKey(key);
  }

  // A UDP port on all addresses that was free a moment ago.
  static uint16_t FreePort() {
    int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_ANY);
    socklen_t length = sizeof(a);
    uint16_t port = 0;
    if (fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &length) == 0) {
      port = ntohs(a.sin_port);
    }
    if (fd >= 0) ::close(fd);
    return port;
  }

  // Opens the receive socket on a free port and lets the receive loop run.
  void StartReader() {
    StopCounter = 0;
    for (int attempt = 0; attempt < 20; ++attempt) {
      port_ = FreePort();
      g_Read.Port = htons(port_);
      if (port_ != 0 && g_Read.init() == 0) break;
      if (attempt == 19) Fail("cannot bind the receive socket");
    }
    reader_.Release();
  }

  void Send(const uint8_t* bytes, size_t size) {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    to.sin_port = htons(port_);
    ssize_t sent = ::sendto(sender_, size > 0 ? bytes : reinterpret_cast<const uint8_t*>(""), size,
                            0, reinterpret_cast<sockaddr*>(&to), sizeof(to));
    if (sent != static_cast<ssize_t>(size)) Fail("sendto to the loopback failed");
  }

  // The duplicate rule over the last five numbered datagrams; true when the
  // receive thread must drop this one.
  bool IsRepeat(const MsgHeader& h) {
    if (h.sequence == 0) return false;
    for (const RecentEntry& r : recent_) {
      if (r.type == h.type && r.sequence == h.sequence && r.srcAddr == h.srcAddr) return true;
    }
    recent_[recentPos_] = RecentEntry{h.type, h.sequence, h.srcAddr};
    recentPos_ = (recentPos_ + 1) % 5;
    return false;
  }

  void Deliver(const uint8_t* bytes, size_t size) {
    const bool wellFormed = size >= MSG_HEADER_SIZE && size - MSG_HEADER_SIZE == Be32(bytes + 16);
    const MsgHeader expected = wellFormed ? HostHeader(bytes) : MsgHeader{};
    bool awaitMessage = wellFormed && !IsRepeat(expected);

    uint8_t sentinel[MSG_HEADER_SIZE] = {};
    const uint32_t fields[] = {htonl(kSentinelType), htonl(kSentinelId), htonl(++sentinelCount_)};
    std::memcpy(sentinel + 4, &fields[0], 4);
    std::memcpy(sentinel + 20, &fields[1], 4);
    std::memcpy(sentinel + 36, &fields[2], 4);
    const MsgHeader sentinelHeader = HostHeader(sentinel);

    Send(bytes, size);
    Send(sentinel, sizeof(sentinel));

    for (;;) {
      plat::MSG msg;
      if (plat::GetMessageA(&msg, nullptr, 0, 0) <= 0) Fail("the master's queue failed");
      // A datagram never ends the receive thread: a malformed one is
      // logged and dropped, and the sentinel behind it still arrives.
      if (msg.message == kReaderEnded) Fail("the receive thread ended on a datagram");
      if (msg.message != WM_MSG_ARRIVED) continue;

      Message m;
      Check(g_Master.read_msg(m) == 0, "the master could not read a message from the pipe");
      Check(m.header != nullptr, "read_msg succeeded without a header");
      Check((m.header->dataleng == 0) == (m.data == nullptr),
            "read_msg data block does not match dataleng");
      if (SameHeader(*m.header, sentinelHeader)) {
        Check(!awaitMessage, "an acceptable datagram never reached the master");
        Check(StopCounter.load() == 0, "a datagram raised the stop counter");
        g_Master.process_msg(m);
        Check(m.header == nullptr && m.data == nullptr, "process_msg kept a block");
        return;
      }
      Check(awaitMessage, "the master got a message that should have been dropped");
      Check(SameHeader(*m.header, expected), "the header differs from the datagram's");
      Check(expected.dataleng == 0 ||
                std::memcmp(m.data, bytes + MSG_HEADER_SIZE, expected.dataleng) == 0,
            "the data differs from the datagram's");
      awaitMessage = false;
      Process(m);
    }
  }

  void Process(Message& m) {
    const MsgHeader h = *m.header;
    const bool coorAlive = h.type == MSG_ALIVE && h.id == COORDINATOR_ID;
    const bool complete = coorAlive && h.dataleng >= COOR_ALIVE_DATA_SIZE;
    uint8_t payload[COOR_ALIVE_DATA_SIZE] = {};
    if (complete) std::memcpy(payload, m.data, sizeof(payload));

    // Marks that only a complete Coor_alive may overwrite.
    CpuSendPeriod = 0xC0FFEE01;
    AlivePeriod = 0xC0FFEE02;
    LogCheckPeriod = 0xC0FFEE03;
    g_Master.CoordinatorAddr = 0xC0FFEE04;
    const uint32_t level = g_log.LogLevel.load();
    const uint32_t cpuInterval = g_Master.CpuSendInterval.load();
    const int32_t logInterval = g_log.LogRefreshInterval.load();

    g_Master.process_msg(m);
    Check(m.header == nullptr && m.data == nullptr, "process_msg kept a block");

    if (!complete) {
      Check(CpuSendPeriod == 0xC0FFEE01 && AlivePeriod == 0xC0FFEE02 &&
                LogCheckPeriod == 0xC0FFEE03 && g_Master.CoordinatorAddr == 0xC0FFEE04 &&
                g_log.LogLevel.load() == level && g_Master.CpuSendInterval.load() == cpuInterval &&
                g_log.LogRefreshInterval.load() == logInterval,
            "a message other than a complete Coor_alive changed a setting");
      return;
    }
    const uint32_t cpuSend = Be32(payload + 24);
    const uint32_t alive = Be32(payload + 16);
    const uint32_t logRefresh = Be32(payload + 12);
    Check(CpuSendPeriod == cpuSend, "Coor_alive did not set the CPU-load period");
    Check(AlivePeriod == alive, "Coor_alive did not set the alive period");
    Check(LogCheckPeriod == logRefresh, "Coor_alive did not set the log check period");
    Check(g_Master.CoordinatorAddr == h.srcAddr, "Coor_alive did not set the coordinator address");
    Check(g_log.LogLevel.load() == MaskFor(Be32(payload + 8)), "Coor_alive set another log level");
    // The store works here, so a changed interval is stored and taken over.
    Check(g_Master.CpuSendInterval.load() == cpuSend, "the CPU send interval was not stored");
    Check(static_cast<uint32_t>(g_log.LogRefreshInterval.load()) == logRefresh,
          "the log refresh interval was not stored");
  }

  // The log is appended to line by line; start a new one now and then so
  // that long runs stay bounded on disk.
  void TrimLog() {
    struct stat st;
    if (::stat(logPath_, &st) == 0 && st.st_size > kMaxLogBytes) ::unlink(logPath_);
  }

  char dir_[128] = {};
  char logPath_[160] = {};
  char storePath_[160] = {};
  plat::HANDLE pipeRead_ = nullptr;
  plat::HANDLE pipeWrite_ = nullptr;
  ReaderWorker reader_;
  plat::DWORD mainThread_ = 0;
  int sender_ = -1;
  uint16_t port_ = 0;
  uint32_t sentinelCount_ = 0;
  RecentEntry recent_[5] = {};
  uint32_t recentPos_ = 0;
};

Harness* g_harness = nullptr;

void ShutdownHarness() {
  if (g_harness != nullptr) g_harness->Shutdown();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
  g_harness = new Harness();
  g_harness->Init();
  // Before the process-wide objects are destroyed: the receive thread must
  // not outlive g_Read.
  std::atexit(ShutdownHarness);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  g_harness->Run(data, size);
  return 0;
}
