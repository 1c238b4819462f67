#include "messaging/Master.h"

#include <cstring>

#include "log/Log.h"

CMaster::CMaster()
    : AliveData{}, SysError(0), ErrNo(0), LocalAddr(0), WritePipe(nullptr), ReadPipe(nullptr),
      CpuSendInterval(2), CoordinatorAddr(0), Sequence(1), OSID(0) {
  Sampler.m_pInterval = &CpuSendInterval;
}

CMaster::~CMaster() = default;
