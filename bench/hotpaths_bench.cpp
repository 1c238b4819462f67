// SPDX-License-Identifier: Apache-2.0
// Micro-benchmarks of the agent's hot paths: one datagram through the
// receive path into the pipe, one log line (enabled and disabled), a
// registry read and write, and a write into a large store.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>

#include "config/KELD3Register.h"
#include "log/Log.h"
#include "messaging/Read.h"
#include "messaging/Workers.h"
#include "platform/platform.h"
#include "platform/testing.h"

namespace {

std::string TempDir() {
  char dir[] = "/tmp/keld4-bench-XXXXXX";
  return mkdtemp(dir);
}

void LogTo(const std::string& dir, uint32_t level) {
  std::snprintf(g_log.LogDirectory, sizeof(g_log.LogDirectory), "%s", dir.c_str());
  std::snprintf(g_log.LogName, sizeof(g_log.LogName), "bench.log");
  g_log.LogLevel = level;
}

// A Coor_alive as the coordinator sends it: the header big-endian, then the
// 28 data bytes.
void CoorAlive(uint8_t* out, uint32_t sequence) {
  uint32_t fields[10] = {4, 1, 0, sequence, 28, 4, inet_addr("127.0.0.1"), inet_addr("127.0.0.1"),
                         0, 0};
  for (int i = 0; i < 10; ++i) {
    uint32_t v = (i == 6 || i == 7) ? fields[i] : htonl(fields[i]);
    std::memcpy(out + 4 * i, &v, 4);
  }
  uint32_t data[7] = {0, 0, htonl(1), htonl(2), htonl(1), 0, htonl(1)};
  std::memcpy(out + 40, data, sizeof(data));
}

void BM_ReceivePathIntoPipe(benchmark::State& state) {
  std::string dir = TempDir();
  LogTo(dir, static_cast<uint32_t>(state.range(0)));
  plat::HANDLE r = nullptr, w = nullptr;
  plat::CreatePipe(&r, &w, nullptr, 0);
  CRead reader;
  reader.OutPipe = &w;
  std::atomic<plat::DWORD> master{0};
  reader.MasterThreadId = &master;
  // A free loopback port, found with a probe socket that is closed again.
  int probe = ::socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in me{};
  me.sin_family = AF_INET;
  me.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(probe, reinterpret_cast<sockaddr*>(&me), sizeof(me));
  socklen_t len = sizeof(me);
  ::getsockname(probe, reinterpret_cast<sockaddr*>(&me), &len);
  ::close(probe);
  reader.Port = me.sin_port;
  if (reader.init() != 0) {
    state.SkipWithError("init failed");
    return;
  }
  std::atomic<bool> draining{true};
  std::thread drain([&] {
    char buf[68];
    plat::DWORD n = 0;
    while (draining && plat::ReadFile(r, buf, sizeof(buf), &n, nullptr)) {
    }
  });
  int sender = ::socket(AF_INET, SOCK_DGRAM, 0);
  uint8_t datagram[68];
  CoorAlive(datagram, 0);
  Message m{reinterpret_cast<MsgHeader*>(reader.Buffer), reader.Buffer + 40};
  for (auto _ : state) {
    ::sendto(sender, datagram, sizeof(datagram), 0, reinterpret_cast<sockaddr*>(&me), sizeof(me));
    if (reader.read_socket(m) != 0) {
      state.SkipWithError("read_socket failed");
      break;
    }
    reader.msg_header_ntoh(m.header);
    if (reader.write_to_master(m) != 0) {
      state.SkipWithError("write_to_master failed");
      break;
    }
  }
  draining = false;
  plat::CloseHandle(w);
  drain.join();
  plat::CloseHandle(r);
  ::close(sender);
  reader.close_socket();
  g_log.LogLevel = 3;
  std::system(("rm -rf " + dir).c_str());
}
BENCHMARK(BM_ReceivePathIntoPipe)->Arg(3)->Arg(15)->ArgName("mask");

void BM_LogLine(benchmark::State& state) {
  std::string dir = TempDir();
  bool enabled = state.range(0) != 0;
  LogTo(dir, enabled ? 3 : 0);
  for (auto _ : state) {
    benchmark::DoNotOptimize(
        g_log.WriteLog(INFO, "Read thread read %d bit msg . Type: %x; data length:%d", 68, 1, 28));
  }
  g_log.LogLevel = 3;
  std::system(("rm -rf " + dir).c_str());
}
BENCHMARK(BM_LogLine)->Arg(1)->Arg(0)->ArgName("enabled");

void BM_RegistryReadWrite(benchmark::State& state) {
  std::string dir = TempDir();
  LogTo(dir, 3);
  std::string store = dir + "/registry.reg";
  FILE* f = std::fopen(store.c_str(), "w");
  std::fputs(
      "Windows Registry Editor Version "
      "5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Ostrel\\KELD4\\Parameter]\r\n"
      "\"MaxMemInfo\"=dword:00400000\r\n\"PdhErrTotal\"=dword:00000000\r\n",
      f);
  std::fclose(f);
  plat::SetRegistryStorePathForTest(store);
  bool write = state.range(0) != 0;
  uint32_t value = 0;
  for (auto _ : state) {
    CKELD3Register reg;
    reg.OpenKey("Parameter");
    if (write) {
      reg.SetKeyValue("PdhErrTotal", ++value);
    } else {
      reg.GetKeyValue("MaxMemInfo", &value);
    }
    reg.CloseKey();
  }
  plat::SetRegistryStorePathForTest("");
  std::system(("rm -rf " + dir).c_str());
}
BENCHMARK(BM_RegistryReadWrite)->Arg(0)->Arg(1)->ArgName("write");

// One value written into a store of about range(0) KB whose values all sit
// under the key written to, the worst case for a store kept as lists.
void BM_RegistryWriteLargeStore(benchmark::State& state) {
  std::string dir = TempDir();
  LogTo(dir, 3);
  std::string store = dir + "/registry.reg";
  std::string text =
      "Windows Registry Editor Version "
      "5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Ostrel\\KELD4\\Parameter]\r\n"
      "\"PdhErrTotal\"=dword:00000000\r\n";
  size_t target = static_cast<size_t>(state.range(0)) * 1000;
  char line[64];
  for (int i = 0; text.size() < target; ++i) {
    std::snprintf(line, sizeof(line), "\"Filler%06d\"=dword:%08x\r\n", i, i);
    text += line;
  }
  FILE* f = std::fopen(store.c_str(), "w");
  std::fwrite(text.data(), 1, text.size(), f);
  std::fclose(f);
  plat::SetRegistryStorePathForTest(store);
  // cold: another process changed the file before every write, so the
  // write parses it; warm: the store holds what this process wrote last.
  bool cold = state.range(1) != 0;
  uint32_t value = 0;
  for (auto _ : state) {
    if (cold) {
      state.PauseTiming();
      f = std::fopen(store.c_str(), "a");
      std::fputs("; changed elsewhere\r\n", f);
      std::fclose(f);
      state.ResumeTiming();
    }
    CKELD3Register reg;
    reg.OpenKey("Parameter");
    if (reg.SetKeyValue("PdhErrTotal", ++value) != 0) {
      state.SkipWithError("write failed");
      break;
    }
    reg.CloseKey();
  }
  state.counters["store_bytes"] = static_cast<double>(text.size());
  plat::SetRegistryStorePathForTest("");
  std::system(("rm -rf " + dir).c_str());
}
BENCHMARK(BM_RegistryWriteLargeStore)
    ->ArgsProduct({{570, 2850}, {0, 1}})
    ->ArgNames({"kb", "cold"})
    ->Unit(benchmark::kMillisecond);

}  // namespace
