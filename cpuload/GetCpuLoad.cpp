// SPDX-License-Identifier: Apache-2.0
#include "cpuload/GetCpuLoad.h"

#include <cstdio>
#include <cstring>

#include "config/KELD3Register.h"
#include "log/Log.h"

uint32_t g_PdhContinuousErrors = 0;
uint32_t g_PdhContinuousSkips = 0;
void (*g_pfnDropOut)() = [] { plat::ExitProcess(0xFFFFFFFF); };

namespace {

constexpr int32_t kOpenQueryError = 2510;
constexpr int32_t kAddCounterError = 2520;
constexpr int32_t kInitSampleError = 2530;
constexpr int32_t kCalculateError = 2540;
constexpr int32_t kRefreshSampleError = 2550;

// 0.9 s in 100 ns units: the window must be at least nine tenths of the
// interval, so a tick that comes a little early still counts.
constexpr uint64_t kWindowUnitsPerSecond = 9000000ULL;

const char* const kDayNames[7] = {"SUN", "MON", "TUE", "WED", "THU", "FRI", "SAT"};

uint64_t Units(const plat::FILETIME& ft) {
  return (static_cast<uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
}

plat::FILETIME FromUnits(uint64_t units) {
  plat::FILETIME ft;
  ft.dwLowDateTime = static_cast<plat::DWORD>(units);
  ft.dwHighDateTime = static_cast<plat::DWORD>(units >> 32);
  return ft;
}

plat::SYSTEMTIME ToSystemTime(const plat::FILETIME& ft) {
  plat::SYSTEMTIME st{};
  plat::FileTimeToSystemTime(&ft, &st);  // stamps are local times already
  return st;
}

const char* DayName(plat::WORD day) { return day < 7 ? kDayNames[day] : "???"; }

// The range between two times; the wave dash between them is the two bytes
// 0x81 0x60 (Shift-JIS), as the readers of this log expect.
void WriteTimeRange(uint32_t level, const plat::SYSTEMTIME& a, const plat::SYSTEMTIME& b) {
  g_log.WriteLog(level,
                 "\t%04d/%02d/%02d(%s) %02d:%02d:%02d.%03d \x81\x60 "
                 "%04d/%02d/%02d(%s) %02d:%02d:%02d.%03d",
                 a.wYear, a.wMonth, a.wDay, DayName(a.wDayOfWeek), a.wHour, a.wMinute, a.wSecond,
                 a.wMilliseconds, b.wYear, b.wMonth, b.wDay, DayName(b.wDayOfWeek), b.wHour,
                 b.wMinute, b.wSecond, b.wMilliseconds);
}

void LocationDetail(char* buffer, size_t size, int32_t code) {
  std::snprintf(buffer, size, "Local error:%d, ", code);
}

}  // namespace

CGetCpuLoad::CGetCpuLoad()
    : m_dwPdhStatus(0), m_nLocalError(0), m_dwCpuSpeed(0), m_lCpuValue(0),
      m_szCounterPath("\\Processor(_Total)\\% Processor Time"),
      m_hCounter(nullptr), m_FmtValue{}, m_RawPrev{}, m_RawCur{}, m_dwCpuLoad(0), m_stCollect{},
      m_hqQuery(nullptr) {}

CGetCpuLoad::~CGetCpuLoad() {
  if (m_hqQuery != nullptr) plat::PdhCloseQuery(m_hqQuery);
}

int CGetCpuLoad::init() {
  KELD_TRACE_ENTER("CGetCpuLoad::init");
  char detail[32];
  ActPdhCloseQuery();
  plat::PDH_STATUS status = plat::PdhOpenQueryA(nullptr, 1, &m_hqQuery);
  if (status != 0) {
    m_hqQuery = nullptr;
    m_dwPdhStatus = static_cast<uint32_t>(status);
    m_nLocalError = kOpenQueryError;
    LocationDetail(detail, sizeof(detail), kOpenQueryError);
    ReportPdhError("CGetCpuload Init", "PdhOpenQuery", detail);
    KELD_TRACE_LEAVE("CGetCpuLoad::init");
    return -1;
  }
  status = plat::PdhAddCounterA(m_hqQuery, m_szCounterPath, 1, &m_hCounter);
  if (status != 0) {
    m_hCounter = nullptr;
    m_dwPdhStatus = static_cast<uint32_t>(status);
    m_nLocalError = kAddCounterError;
    LocationDetail(detail, sizeof(detail), kAddCounterError);
    ReportPdhError("CGetCpuload Init", "PdhAddCounter", detail);
    ActPdhCloseQuery();
    KELD_TRACE_LEAVE("CGetCpuLoad::init");
    return -1;
  }
  if (ActPdhCollectQueryData(kInitSampleError) != 0) {
    KELD_TRACE_LEAVE("CGetCpuLoad::init");
    return -1;
  }
  if (ActPdhGetRawCounterValue(kInitSampleError, &m_RawPrev) != 0) {
    KELD_TRACE_LEAVE("CGetCpuLoad::init");
    return -1;
  }
  KELD_TRACE_LEAVE("CGetCpuLoad::init");
  return 0;
}

int CGetCpuLoad::refresh(bool countSkip) {
  KELD_TRACE_ENTER("CGetCpuLoad::refresh");
  if (ActPdhCollectQueryData(kRefreshSampleError) != 0) {
    KELD_TRACE_LEAVE("CGetCpuLoad::refresh");
    return -1;
  }
  if (ActPdhGetRawCounterValue(kRefreshSampleError, &m_RawCur) != 0) {
    KELD_TRACE_LEAVE("CGetCpuLoad::refresh");
    return -1;
  }

  // The master's interval; before a master has pointed us at its copy, the
  // loaded setting is the same value.
  uint32_t interval = m_pInterval != nullptr
                          ? m_pInterval->load(std::memory_order_relaxed)
                          : g_Config.CpuSendInterval.load(std::memory_order_relaxed);
  plat::FILETIME limit = FromUnits(Units(m_RawPrev.TimeStamp) +
                                   static_cast<uint64_t>(interval) * kWindowUnitsPerSecond);
  plat::FILETIME collected{};
  plat::SystemTimeToFileTime(&m_stCollect, &collected);

  // Too short a window, or a sample that is older than its own collection.
  bool allowed = plat::CompareFileTime(&limit, &m_RawCur.TimeStamp) < 0 &&
                 plat::CompareFileTime(&collected, &m_RawCur.TimeStamp) <= 0;
  if (allowed) {
    g_PdhContinuousSkips = 0;
    plat::PDH_STATUS status = plat::PdhCalculateCounterFromRawValue(
        m_hCounter, plat::kPDH_FMT_LONG, &m_RawCur, &m_RawPrev, &m_FmtValue);
    if (status != 0) {
      char detail[32];
      m_dwPdhStatus = static_cast<uint32_t>(status);
      m_nLocalError = kCalculateError;
      LocationDetail(detail, sizeof(detail), kCalculateError);
      ReportPdhError("CGetCpuload Refresh", "PdhCalculateCounterFromRawValue", detail);
      ++g_PdhContinuousErrors;
      long long dFirst = static_cast<long long>(static_cast<uint64_t>(m_RawCur.FirstValue) -
                                                static_cast<uint64_t>(m_RawPrev.FirstValue));
      long long dSecond = static_cast<long long>(static_cast<uint64_t>(m_RawCur.SecondValue) -
                                                 static_cast<uint64_t>(m_RawPrev.SecondValue));
      int dCount = static_cast<int>(m_RawCur.MultiCount - m_RawPrev.MultiCount);
      g_log.WriteLog(ERR,
                     "ToRawValues - FromRawValues(FirstValue, SecondValue, MultiCount) : "
                     "(%lld, %lld, %d)",
                     dFirst, dSecond, dCount);
      WriteTimeRange(ERR, ToSystemTime(m_RawPrev.TimeStamp), ToSystemTime(m_RawCur.TimeStamp));
      ActPdhRemoveCounter();
      if (g_PdhContinuousErrors > g_Config.PdhErrCheckCount) {
        g_log.WriteLog(ERR,
                       "Pdh_Error_Count(Continuous error) Limit(%d) Over KELD4 service DropOut",
                       g_Config.PdhErrCheckCount);
        g_pfnDropOut();
      }
      KELD_TRACE_LEAVE("CGetCpuLoad::refresh");
      return -1;
    }
  } else {
    WriteTimeRange(DEBUG, ToSystemTime(m_RawPrev.TimeStamp), ToSystemTime(limit));
    WriteTimeRange(DEBUG, m_stCollect, ToSystemTime(m_RawCur.TimeStamp));
    g_log.WriteLog(DEBUG, "Skip PdhCalculateCounterFromRawValue()");
  }
  if (!allowed && countSkip) {
    {
      CKELD3Register reg;
      uint32_t count = ++g_Config.PdhCalculateSkipCount;
      uint32_t total = ++g_Config.PdhCalculateSkipTotal;
      // A failed open leaves the agent's own key open: write nothing there.
      if (reg.OpenKey("Parameter") == 0) {
        reg.SetKeyValue("PdhCalculateSkipCount", count);
        reg.SetKeyValue("PdhCalculateSkipTotal", total);
      }
      reg.CloseKey();
    }
    ++g_PdhContinuousSkips;
    if (g_PdhContinuousSkips > g_Config.PdhErrCheckCount) {
      g_log.WriteLog(
          ERR, "Pdh_Skip_Count(Continuous error evasion) Limit(%d) Over KELD4 service DropOut",
          g_Config.PdhErrCheckCount);
      g_pfnDropOut();
    }
  }

  g_PdhContinuousErrors = 0;
  m_RawPrev = m_RawCur;
  m_lCpuValue = m_FmtValue.longValue;
  caculate_right();
  KELD_TRACE_LEAVE("CGetCpuLoad::refresh");
  return 0;
}

int CGetCpuLoad::caculate_right() {
  KELD_TRACE_ENTER("CGetCpuLoad::caculate_right");
  m_dwCpuLoad = m_dwCpuSpeed != 0 ? static_cast<uint32_t>(m_lCpuValue) : 0;
  g_log.WriteLog(DEBUG, "Caculated CPU load is %d", static_cast<int>(m_dwCpuLoad));
  KELD_TRACE_LEAVE("CGetCpuLoad::caculate_right");
  return 0;
}

int CGetCpuLoad::ActPdhCollectQueryData(int32_t code) {
  KELD_TRACE_ENTER("CGetCpuLoad::ActPdhCollectQueryData");
  plat::PDH_STATUS status = plat::PdhCollectQueryData(m_hqQuery);
  if (status == 0) {
    plat::GetLocalTime(&m_stCollect);
    KELD_TRACE_LEAVE("CGetCpuLoad::ActPdhCollectQueryData");
    return 0;
  }
  char detail[32];
  m_dwPdhStatus = static_cast<uint32_t>(status);
  m_nLocalError = code;
  LocationDetail(detail, sizeof(detail), code);
  ReportPdhError("CGetCpuload", "ActPdhCollectQueryData", detail);
  ActPdhRemoveCounter();
  ActPdhCloseQuery();
  KELD_TRACE_LEAVE("CGetCpuLoad::ActPdhCollectQueryData");
  return -1;
}

int CGetCpuLoad::ActPdhGetRawCounterValue(int32_t code, plat::PDH_RAW_COUNTER* raw) {
  KELD_TRACE_ENTER("CGetCpuLoad::ActPdhGetRawCounterValue");
  plat::PDH_STATUS status = plat::PdhGetRawCounterValue(m_hCounter, nullptr, raw);
  if (status == 0) {
    g_log.WriteLog(DEBUG,
                   "In CGetCpuLoad ActPdhGetRawCounterValue of FirstValue, SecondValue, "
                   "MultiCount :(0x%08llx , 0x%08llx , 0x%08x)",
                   static_cast<unsigned long long>(raw->FirstValue),
                   static_cast<unsigned long long>(raw->SecondValue), raw->MultiCount);
    KELD_TRACE_LEAVE("CGetCpuLoad::ActPdhGetRawCounterValue");
    return 0;
  }
  char detail[32];
  m_dwPdhStatus = static_cast<uint32_t>(status);
  m_nLocalError = code;
  LocationDetail(detail, sizeof(detail), code);
  ReportPdhError("CGetCpuload", "ActPdhGetRawCounterValue", detail);
  ActPdhRemoveCounter();
  ActPdhCloseQuery();
  KELD_TRACE_LEAVE("CGetCpuLoad::ActPdhGetRawCounterValue");
  return -1;
}

void CGetCpuLoad::ActPdhRemoveCounter() {
  KELD_TRACE_ENTER("CGetCpuLoad::ActPdhRemoveCounter");
  plat::PDH_STATUS status = plat::PdhRemoveCounter(m_hCounter);
  if (status != 0) {
    char detail[32];
    m_dwPdhStatus = static_cast<uint32_t>(status);
    // Names the failure that led to the removal.
    LocationDetail(detail, sizeof(detail), m_nLocalError);
    ReportPdhError("CGetCpuload", "ActPdhRemoveCounter", detail);
  }
  m_hCounter = nullptr;
  KELD_TRACE_LEAVE("CGetCpuLoad::ActPdhRemoveCounter");
}

void CGetCpuLoad::ActPdhCloseQuery() {
  KELD_TRACE_ENTER("CGetCpuLoad::ActPdhCloseQuery");
  if (m_hqQuery != nullptr) {
    g_log.WriteLog(DEBUG, "Before->m_hqQuery:%d",
                   static_cast<int>(reinterpret_cast<uintptr_t>(m_hqQuery)));
    plat::PDH_STATUS status = plat::PdhCloseQuery(m_hqQuery);
    if (status != 0) {
      m_dwPdhStatus = static_cast<uint32_t>(status);
      ReportPdhError("CGetCpuload", "ActPdhCloseQuery", "");
    }
    m_hqQuery = nullptr;
    g_log.WriteLog(DEBUG, "After->m_hqQuery:%d", 0);
  }
  KELD_TRACE_LEAVE("CGetCpuLoad::ActPdhCloseQuery");
}

void CGetCpuLoad::ReportPdhError(const char* where, const char* api, const char* detail) {
  g_log.WriteLog(ERR, "In %s %s. %s system error:%08x", where, api, detail, m_dwPdhStatus);
  CKELD3Register reg;
  uint32_t total = ++g_Config.PdhErrTotal;
  uint32_t count = ++g_Config.PdhErrCount;
  // A failed open leaves the agent's own key open: write nothing there.
  if (reg.OpenKey("Parameter") == 0) {
    reg.SetKeyValue("PdhErrTotal", total);
    reg.SetKeyValue("PdhErrCount", count);
  }
  reg.CloseKey();
}
