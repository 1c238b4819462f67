// SPDX-License-Identifier: Apache-2.0
// Measures the host's CPU load once with the agent's own sampler, over a
// window of the given length, and prints it: the figure that the agent would
// send. Used by cpu_accuracy.sh.
//
//   cpu_sampler_probe SECONDS
//
// Prints "load N" (percent) on success; failures go to stderr with exit 1.
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>

#include "config/KELD3Register.h"
#include "cpuload/GetCpuLoad.h"
#include "log/Log.h"
#include "platform/platform.h"
#include "platform/testing.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s SECONDS\n", argv[0]);
    return 2;
  }
  int seconds = std::atoi(argv[1]);
  if (seconds < 1 || seconds > 3600) {
    std::fprintf(stderr, "SECONDS must be 1..3600\n");
    return 2;
  }
  // A private store and log, so the counters of skips and failures never
  // reach the host's own settings.
  char dir[] = "/tmp/keld4-probe-XXXXXX";
  if (mkdtemp(dir) == nullptr) {
    std::perror("mkdtemp");
    return 1;
  }
  std::string store = std::string(dir) + "/keld4.reg";
  if (FILE* f = std::fopen(store.c_str(), "w")) {
    std::fputs(
        "Windows Registry Editor Version 5.00\r\n\r\n"
        "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Ostrel\\KELD4\\Parameter]\r\n"
        "\"PdhErrTotal\"=dword:00000000\r\n\"PdhErrCount\"=dword:00000000\r\n"
        "\"PdhCalculateSkipCount\"=dword:00000000\r\n"
        "\"PdhCalculateSkipTotal\"=dword:00000000\r\n\r\n",
        f);
    std::fclose(f);
  }
  plat::SetRegistryStorePathForTest(store);
  std::snprintf(g_log.LogDirectory, sizeof(g_log.LogDirectory), "%s", dir);
  std::snprintf(g_log.LogName, sizeof(g_log.LogName), "%s", "probe.log");
  g_log.LogLevel = ERR;
  g_Config.PdhErrCheckCount = 1000;

  std::atomic<uint32_t> interval{static_cast<uint32_t>(seconds)};
  CGetCpuLoad sampler;
  sampler.m_pInterval = &interval;
  sampler.m_dwCpuSpeed = 1;  // any non-zero speed reports the load itself
  int rc = 1;
  if (sampler.init() != 0) {
    std::fprintf(stderr, "init failed, status %08x\n", sampler.m_dwPdhStatus);
  } else {
    plat::Sleep(static_cast<plat::DWORD>(seconds) * 1000);
    if (sampler.refresh() != 0) {
      std::fprintf(stderr, "refresh failed, status %08x\n", sampler.m_dwPdhStatus);
    } else if (g_PdhContinuousSkips != 0) {
      std::fprintf(stderr, "refresh skipped\n");
    } else {
      std::printf("load %u\n", sampler.m_dwCpuLoad);
      rc = 0;
    }
  }
  std::string log = std::string(dir) + "/probe.log";
  if (rc != 0) {
    if (FILE* f = std::fopen(log.c_str(), "r")) {
      char line[1200];
      while (std::fgets(line, sizeof(line), f)) std::fputs(line, stderr);
      std::fclose(f);
    }
  }
  std::error_code ec;
  std::filesystem::remove_all(dir, ec);
  return rc;
}
