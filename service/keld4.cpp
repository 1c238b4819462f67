#include "service/keld4.h"

#include <cstring>

CServiceModule::CServiceModule()
    : m_szServiceName{}, m_hServiceStatus(nullptr), m_status{}, MainThreadId(0), ProcessId(0),
      ServiceFlag(0), m_szTypeLibId{} {}

CServiceModule::~CServiceModule() = default;
