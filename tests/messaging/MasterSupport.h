// SPDX-License-Identifier: Apache-2.0
// Shared set-up of the master tests: a log in a fresh directory at level 15,
// a registry store file there, the two pipes, and a master of the test's own.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <future>
#include <memory>
#include <string>
#include <vector>

#include "config/KELD3Register.h"
#include "log/Log.h"
#include "messaging/Master.h"
#include "messaging/Message.h"
#include "messaging/Workers.h"
#include "platform/platform.h"
#include "platform/testing.h"
#include "tests/support/LogSupport.h"
#include "tests/support/TestSupport.h"

namespace mastertest {

inline uint32_t Addr(const char* dotted) { return plat::inet_addr(dotted); }

// Log lines without their timestamp: "LEVEL: message".
inline std::vector<std::string> LogLines(const std::string& file) {
  std::vector<std::string> lines;
  std::string text = testsupport::ReadLogFile(file);
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find("\r\n", start);
    std::string line =
        text.substr(start, end == std::string::npos ? std::string::npos : end - start);
    lines.push_back(line.size() > 20 ? line.substr(20) : line);  // "yyyy.mm.dd-hh:mm:ss "
    if (end == std::string::npos) break;
    start = end + 2;
  }
  return lines;
}

inline int CountLines(const std::vector<std::string>& lines, const std::string& wanted) {
  int n = 0;
  for (const auto& l : lines) n += l == wanted ? 1 : 0;
  return n;
}

inline int CountPrefix(const std::vector<std::string>& lines, const std::string& prefix) {
  int n = 0;
  for (const auto& l : lines) n += l.compare(0, prefix.size(), prefix) == 0 ? 1 : 0;
  return n;
}

// Index of the first line equal to wanted at or after from, -1 if none.
inline int FindLine(const std::vector<std::string>& lines, const std::string& wanted,
                    int from = 0) {
  for (size_t i = static_cast<size_t>(from); i < lines.size(); ++i)
    if (lines[i] == wanted) return static_cast<int>(i);
  return -1;
}

// A 28-byte Coor_alive payload, big-endian fields.
struct CoorAlive {
  uint32_t loglevel = 3;
  uint32_t logRefresh = 2;
  uint32_t alive = 5;
  uint32_t cpuSend = 3;
};

inline std::vector<uint8_t> CoorAlivePayload(const CoorAlive& c, size_t size = 28) {
  std::vector<uint8_t> data(size, 0xEE);
  auto put = [&](size_t off, uint32_t v) {
    if (off + 4 > size) return;
    uint32_t be = plat::htonl(v);
    std::memcpy(data.data() + off, &be, 4);
  };
  put(0, 0x11111111);
  put(4, 0x22222222);
  put(8, c.loglevel);
  put(12, c.logRefresh);
  put(16, c.alive);
  put(20, 0x66666666);
  put(24, c.cpuSend);
  return data;
}

inline MsgHeader IncomingHeader(uint32_t type, uint32_t id, uint32_t dataleng, uint32_t src) {
  MsgHeader h{};
  h.desId = 1;
  h.type = type;
  h.sequence = 0;
  h.dataleng = dataleng;
  h.id = id;
  h.srcAddr = src;
  h.desAddr = Addr("127.0.0.1");
  return h;
}

// A Message in malloc'd blocks, as read_msg hands them to process_msg.
inline Message MakeMessage(const MsgHeader& h, const std::vector<uint8_t>& data) {
  Message m;
  m.header = static_cast<MsgHeader*>(std::malloc(sizeof(MsgHeader)));
  *m.header = h;
  if (!data.empty()) {
    m.data = static_cast<uint8_t*>(std::malloc(data.size()));
    std::memcpy(m.data, data.data(), data.size());
  }
  return m;
}

inline void WriteAll(plat::HANDLE h, const void* p, size_t n) {
  plat::DWORD written = 0;
  ASSERT_TRUE(plat::WriteFile(h, p, static_cast<plat::DWORD>(n), &written, nullptr));
  ASSERT_EQ(written, n);
}

// Everything left in a pipe whose write end has been closed.
inline std::vector<uint8_t> Drain(plat::HANDLE readEnd) {
  std::vector<uint8_t> out;
  uint8_t chunk[4096];
  for (;;) {
    plat::DWORD got = 0;
    if (!plat::ReadFile(readEnd, chunk, sizeof(chunk), &got, nullptr) && got == 0) break;
    out.insert(out.end(), chunk, chunk + got);
    if (got < sizeof(chunk)) break;
  }
  return out;
}

// Reads exactly n bytes within the time, else closes the handle (which wakes
// the blocked read) and answers what arrived.
inline std::vector<uint8_t> ReadWithin(plat::HANDLE* readEnd, size_t n, int milliseconds) {
  std::vector<uint8_t> out(n);
  plat::HANDLE h = *readEnd;
  auto done = std::async(std::launch::async, [h, &out] {
    plat::DWORD got = 0;
    plat::ReadFile(h, out.data(), static_cast<plat::DWORD>(out.size()), &got, nullptr);
    return got;
  });
  if (done.wait_for(std::chrono::milliseconds(milliseconds)) != std::future_status::ready) {
    plat::CloseHandle(h);
    *readEnd = nullptr;
  }
  out.resize(done.get());
  return out;
}

inline MsgHeader HeaderAt(const std::vector<uint8_t>& bytes, size_t offset) {
  MsgHeader h{};
  if (offset + sizeof(h) <= bytes.size()) std::memcpy(&h, bytes.data() + offset, sizeof(h));
  return h;
}

class MasterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_log.LogRefreshInterval = 2;
    plat::SetRegistryStorePathForTest(dir.file("registry.reg"));
    StopCounter = 0;
    CpuSendPeriod = 0;
    AlivePeriod = 0;
    LogCheckPeriod = 0;
    g_Config.CpuSendInterval = 2;
    g_Config.PdhErrCheckCount = 1000;  // never drop out of a test
    g_Config.PortNumber = 45002;
    std::memset(g_Config.LocalMacAddress, 0, sizeof(g_Config.LocalMacAddress));
    std::snprintf(g_Config.LocalMacAddress, sizeof(g_Config.LocalMacAddress), "%s",
                  "00-11-22-33-44-55");

    ASSERT_TRUE(plat::CreatePipe(&toWriteRead, &toWriteWrite, nullptr, 0));
    ASSERT_TRUE(plat::CreatePipe(&toMasterRead, &toMasterWrite, nullptr, 0));
    master = std::make_unique<CMaster>();
    master->WritePipe = &toWriteWrite;
    master->ReadPipe = &toMasterRead;
    master->LocalAddr = Addr("192.168.1.10");
    master->CoordinatorAddr = Addr("192.168.1.255");
    master->Sampler.m_dwCpuSpeed = 2400;
  }

  void TearDown() override {
    StopThread();
    master.reset();
    for (plat::HANDLE* h : {&toWriteRead, &toWriteWrite, &toMasterRead, &toMasterWrite}) {
      if (*h != nullptr) plat::CloseHandle(*h);
      *h = nullptr;
    }
    plat::SetProcessorTimeSourceForTest(nullptr);
    plat::SetRegistryStorePathForTest("");
    g_log.LogLevel = 3;
    StopCounter = 0;
    CpuSendPeriod = 0;
    AlivePeriod = 0;
    LogCheckPeriod = 0;
  }

  std::string logPath() const { return dir.file("keld4.log"); }
  std::vector<std::string> Lines() const { return LogLines(logPath()); }

  static plat::DWORD RunMaster(void* p) {
    return static_cast<plat::DWORD>(static_cast<CMaster*>(p)->master_thread());
  }

  void StartThread() {
    thread = plat::CreateThread(nullptr, 0, &MasterTest::RunMaster, master.get(), 0, &threadId);
    ASSERT_NE(thread, nullptr);
  }

  // Posts once the thread's queue exists; bounded to about two seconds.
  bool Post(plat::UINT message) {
    for (int i = 0; i < 2000; ++i) {
      if (plat::PostThreadMessageA(threadId, message, 0, 0)) return true;
      plat::Sleep(1);
    }
    return false;
  }

  // Waits for the master thread (at most five seconds); its exit code.
  plat::DWORD Join() {
    EXPECT_EQ(plat::WaitForSingleObject(thread, 5000), plat::kWAIT_OBJECT_0);
    plat::DWORD code = 0xDEAD;
    plat::GetExitCodeThread(thread, &code);
    plat::CloseHandle(thread);
    thread = nullptr;
    return code;
  }

  // Ends a thread a failed test left running: closing the pipes releases it
  // from any transfer, kWM_QUIT from its queue.
  void StopThread() {
    if (thread == nullptr) return;
    plat::PostThreadMessageA(threadId, plat::kWM_QUIT, 0, 0);
    if (plat::WaitForSingleObject(thread, 2000) != plat::kWAIT_OBJECT_0) {
      for (plat::HANDLE* h : {&toWriteRead, &toMasterWrite}) {
        if (*h != nullptr) plat::CloseHandle(*h);
        *h = nullptr;
      }
      plat::WaitForSingleObject(thread, 5000);
    }
    plat::CloseHandle(thread);
    thread = nullptr;
  }

  // Closes the write end the master writes into and answers what it wrote.
  std::vector<uint8_t> Written() {
    plat::CloseHandle(toWriteWrite);
    toWriteWrite = nullptr;
    return Drain(toWriteRead);
  }

  void Deliver(const MsgHeader& h, const std::vector<uint8_t>& data) {
    WriteAll(toMasterWrite, &h, sizeof(h));
    if (!data.empty()) WriteAll(toMasterWrite, data.data(), data.size());
  }

  testsupport::TempDir dir;
  testsupport::LogCapture capture{dir.path(), 15};
  plat::HANDLE toWriteRead = nullptr, toWriteWrite = nullptr;
  plat::HANDLE toMasterRead = nullptr, toMasterWrite = nullptr;
  std::unique_ptr<CMaster> master;
  plat::HANDLE thread = nullptr;
  plat::DWORD threadId = 0;
};

}  // namespace mastertest
