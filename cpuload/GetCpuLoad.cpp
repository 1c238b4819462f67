#include "cpuload/GetCpuLoad.h"

#include <cstring>

#include "log/Log.h"

uint32_t g_PdhContinuousErrors = 0;
uint32_t g_PdhContinuousSkips = 0;

CGetCpuLoad::CGetCpuLoad()
    : m_dwPdhStatus(0), m_nLocalError(0), m_dwCpuSpeed(0), m_lCpuValue(0),
      m_szCounterPath("\\Processor(_Total)\\% Processor Time"), m_hCounter(nullptr), m_FmtValue{},
      m_RawPrev{}, m_RawCur{}, m_dwCpuLoad(0), m_stCollect{}, m_hqQuery(nullptr) {}

CGetCpuLoad::~CGetCpuLoad() {
  if (m_hqQuery != nullptr) plat::PdhCloseQuery(m_hqQuery);
}
