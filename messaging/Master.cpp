// SPDX-License-Identifier: Apache-2.0
#include "messaging/Master.h"

#include <cstdlib>
#include <cstring>

#include "config/KELD3Register.h"
#include "log/Log.h"
#include "messaging/Read.h"
#include "messaging/Workers.h"
#include "messaging/Write.h"

namespace {

// Byte offsets of the CoorAliveData fields the agent reads.
constexpr size_t kLoglevelOffset = 8;
constexpr size_t kLogRefreshOffset = 12;
constexpr size_t kAliveOffset = 16;
constexpr size_t kCpuSendOffset = 24;

void ReleaseMessage(Message& m) {
  std::free(m.data);
  m.data = nullptr;
  std::free(m.header);
  m.header = nullptr;
}

// A big-endian 32-bit payload field, read without assuming alignment.
uint32_t PayloadField(const uint8_t* data, size_t offset) {
  uint32_t value;
  std::memcpy(&value, data + offset, sizeof(value));
  return plat::ntohl(value);
}

plat::HANDLE PipeHandle(const plat::HANDLE* pipe) { return pipe != nullptr ? *pipe : nullptr; }

// The MAC text as the alive payload carries it: at most 17 characters and
// zero bytes up to 18, whatever follows the terminator in the setting.
void CopyMacText(char (&out)[sizeof(AliveData::Mac)], const char* setting) {
  std::memset(out, 0, sizeof(out));
  std::memcpy(out, setting, strnlen(setting, sizeof(out) - 1));
}

MsgHeader* NewHeader() { return static_cast<MsgHeader*>(std::malloc(sizeof(MsgHeader))); }

void FillHeader(MsgHeader* h, uint32_t type, uint32_t sequence, uint32_t dataleng, uint32_t srcAddr,
                uint32_t desAddr, uint32_t param) {
  h->desId = COORDINATOR_ID;
  h->type = type;
  h->status = 0;
  h->sequence = sequence;
  h->dataleng = dataleng;
  h->id = AGENT_ID;
  h->srcAddr = srcAddr;
  h->desAddr = desAddr;
  h->param = param;
  h->reserved = 0;
}

// Stores one value under a subkey with a temporary store object; the sum of
// the results, 0 when all succeeded. A failed open of the subkey can leave the
// agent's own key open, so the value is written only after a good open.
int StoreValue(const char* subkey, const char* name, uint32_t value) {
  CKELD3Register store;
  int sum = store.OpenKey(subkey);
  if (sum == 0) sum += store.SetKeyValue(name, value);
  sum += store.CloseKey();
  return sum;
}

uint32_t LogMaskFor(uint32_t loglevel) {
  switch (loglevel) {
    case 1: return INFO | ERR;
    case 2: return INFO | ERR | WARN;
    case 3: return INFO | ERR | WARN | DEBUG;
    default: return INFO | ERR;
  }
}

}  // namespace

CMaster g_Master;

CMaster::CMaster()
    : AliveData{}, SysError(0), ErrNo(0), LocalAddr(0), WritePipe(nullptr), ReadPipe(nullptr),
      CpuSendInterval(2), CoordinatorAddr(0), Sequence(1), OSID(0), StoredCpuSendInterval(2) {
  Sampler.m_pInterval = &CpuSendInterval;
}

CMaster::~CMaster() = default;

int CMaster::master_thread() {
  KELD_TRACE_ENTER("CMaster::master_thread");
  plat::MSG msg;
  // Make the queue at once: posts made before it exists are lost, and a stop
  // raised before then is seen by the check below instead.
  plat::PeekMessageA(&msg, nullptr, 0, 0, plat::kPM_NOREMOVE);

  OSID = find_OSID();
  get_up_data();

  while (StopCounter.load() == 0) {
    plat::BOOL got = plat::GetMessageA(&msg, nullptr, 0, 0);
    if (got == 0) break;  // kWM_QUIT
    if (got == -1) continue;

    switch (msg.message) {
      case WM_SEND_CPU_LOAD:
        if (send_cpu_load() == -1) {
          g_log.WriteLog(ERR, "In Master thread, send cpu load msg error");
          ++StopCounter;
        }
        break;
      case WM_SEND_ALIVE: {
        Message m;
        m.header = NewHeader();
        if (m.header == nullptr) {
          g_log.WriteLog(ERR, "Send alive message error when get head memory");
          ++StopCounter;
          break;
        }
        m.data = static_cast<uint8_t*>(std::malloc(ALIVE_DATA_SIZE));
        if (m.data == nullptr) {
          ReleaseMessage(m);
          g_log.WriteLog(ERR, "Send alive message error when get data memory");
          ++StopCounter;
          break;
        }
        std::memcpy(m.data, &AliveData, ALIVE_DATA_SIZE);
        char mac[sizeof(AliveData.Mac) + 1] = {};
        std::memcpy(mac, AliveData.Mac, sizeof(AliveData.Mac));
        g_log.WriteLog(DEBUG, " Ostype= %d, Mac=%s ,Freq=%08x", plat::ntohs(AliveData.Ostype), mac,
                       plat::ntohl(AliveData.Freq));
        FillHeader(m.header, MSG_ALIVE, 0, ALIVE_DATA_SIZE, LocalAddr, CoordinatorAddr.load(), 0);
        if (send_msg(m) == -1) {
          g_log.WriteLog(ERR, "Send alive message error");
          ++StopCounter;
        }
        break;
      }
      case WM_MSG_ARRIVED: {
        Message m;
        if (read_msg(m) == -1) {
          ReleaseMessage(m);
          g_log.WriteLog(ERR, "Read msg from read pipe error");
          ++StopCounter;
        } else {
          process_msg(m);
        }
        break;
      }
      default:  // WM_WAKE_MASTER and anything else: only the check below
        break;
    }

    if (StopCounter.load() != 0) break;
    plat::DispatchMessageA(&msg);
  }

  // Always, so that the other workers end with this one.
  ++StopCounter;

  Message down;
  down.header = NewHeader();
  if (down.header == nullptr) {
    g_log.WriteLog(ERR, "Get down-message memory error");
    KELD_TRACE_LEAVE("CMaster::master_thread");
    return -1;
  }
  FillHeader(down.header, MSG_DOWN, Sequence, 0, LocalAddr, LocalAddr, OSID);
  if (send_msg(down) == 0) {
    g_log.WriteLog(DEBUG, "Master_thread send down message to write thread success.");
  }
  KELD_TRACE_LEAVE("CMaster::master_thread");
  return 0;
}

uint16_t CMaster::find_OSID() {
  KELD_TRACE_ENTER("CMaster::find_OSID");
  plat::OSVERSIONINFOEXA info;
  std::memset(&info, 0, sizeof(info));
  info.dwOSVersionInfoSize = 156;  // the extended record
  plat::BOOL ok = plat::GetVersionExA(&info);
  if (!ok) {
    std::memset(&info, 0, sizeof(info));
    info.dwOSVersionInfoSize = 148;  // the basic record
    ok = plat::GetVersionExA(&info);
  }

  uint16_t osid = 0;
  if (ok && info.dwPlatformId == plat::kVER_PLATFORM_WIN32_NT && info.dwMajorVersion == 5) {
    if (info.dwMinorVersion == 0) {
      osid = 1;  // Windows 2000
    } else if (info.dwMinorVersion == 2) {
      osid = 4;  // Windows Server 2003 family
    }
  }
  KELD_TRACE_LEAVE("CMaster::find_OSID");
  return osid;
}

int CMaster::get_up_data() {
  KELD_TRACE_ENTER("CMaster::get_up_data");
  g_log.WriteLog(DEBUG, "CPU speed of this host is: %ld ", static_cast<long>(Sampler.m_dwCpuSpeed));
  AliveData.Freq = plat::htonl(Sampler.m_dwCpuSpeed);
  char mac[sizeof(AliveData.Mac)];
  CopyMacText(mac, g_Config.LocalMacAddress);
  std::memcpy(AliveData.Mac, mac, sizeof(mac));
  AliveData.Ostype = plat::htons(OSID);
  g_log.WriteLog(DEBUG, "MacAddr of UDP is: %s , UDP port is %d", mac,
                 static_cast<int>(g_Config.PortNumber));
  KELD_TRACE_LEAVE("CMaster::get_up_data");
  return 0;
}

int CMaster::send_cpu_load() {
  KELD_TRACE_ENTER("CMaster::send_cpu_load");
  Message m;
  m.header = NewHeader();
  if (m.header == nullptr) {
    g_log.WriteLog(ERR, "Send_cpu_load get head memory error");
    KELD_TRACE_LEAVE("CMaster::send_cpu_load");
    return -1;
  }
  m.data = static_cast<uint8_t*>(std::malloc(CPU_LOAD_DATA_SIZE));
  if (m.data == nullptr) {
    ReleaseMessage(m);
    g_log.WriteLog(ERR, "Send_cpu_load get data memory error");
    KELD_TRACE_LEAVE("CMaster::send_cpu_load");
    return -1;
  }

  if (Sampler.refresh() == -1) {
    // No value for this tick; the sampler counts and limits such failures.
    g_log.WriteLog(WARN, "Send_cpu_load refresh error");
    ReleaseMessage(m);
    if (Sampler.init() != 0) g_log.WriteLog(WARN, "Send_cpu_load init again error");
    KELD_TRACE_LEAVE("CMaster::send_cpu_load");
    return 0;
  }

  uint32_t load = plat::htonl(Sampler.m_dwCpuLoad);
  std::memcpy(m.data, &load, sizeof(load));
  FillHeader(m.header, MSG_CPU_LOAD, 0, CPU_LOAD_DATA_SIZE, LocalAddr, CoordinatorAddr.load(), 0);
  if (send_msg(m) == -1) {
    g_log.WriteLog(ERR, "Send_cpu_load send_msg error");
    KELD_TRACE_LEAVE("CMaster::send_cpu_load");
    return -1;
  }
  KELD_TRACE_LEAVE("CMaster::send_cpu_load");
  return 0;
}

int CMaster::send_msg(Message& m) {
  KELD_TRACE_ENTER("CMaster::send_msg");
  if (m.header == nullptr) {
    // Nothing to write; a data block alone cannot be framed.
    ReleaseMessage(m);
    SysError = plat::kERROR_INVALID_PARAMETER;
    KELD_TRACE_LEAVE("CMaster::send_msg");
    return -1;
  }
  plat::HANDLE pipe = PipeHandle(WritePipe);
  plat::DWORD written = 0;
  if (!plat::WriteFile(pipe, m.header, sizeof(MsgHeader), &written, nullptr)) {
    SysError = plat::GetLastError();
    ErrNo = 3050;
    g_log.WriteLog(ERR, "In CMaster write pipe. Local error:%d, system error:%08x", ErrNo,
                   SysError);
    ReleaseMessage(m);
    KELD_TRACE_LEAVE("CMaster::send_msg");
    return -1;
  }
  if (written != sizeof(MsgHeader)) {
    SysError = plat::GetLastError();
    ErrNo = 3060;
    g_log.WriteLog(ERR, "In CMaster write pipe. Local error:%d, system error:%08x", ErrNo,
                   SysError);
    g_log.WriteLog(DEBUG, "In CMaster write pipe. Should read:%d, but read:%d",
                   static_cast<int>(sizeof(MsgHeader)), static_cast<int>(written));
    ReleaseMessage(m);
    KELD_TRACE_LEAVE("CMaster::send_msg");
    return -1;
  }

  const uint32_t dataleng = m.header->dataleng;
  if (dataleng == 0) {
    ReleaseMessage(m);
    KELD_TRACE_LEAVE("CMaster::send_msg");
    return 0;
  }

  written = 0;
  if (m.data == nullptr || !plat::WriteFile(pipe, m.data, dataleng, &written, nullptr)) {
    SysError = m.data == nullptr ? plat::kERROR_INVALID_PARAMETER : plat::GetLastError();
    ErrNo = 3070;
    g_log.WriteLog(ERR, "In CMaster write pipe. Local error:%d, system error:%08x", ErrNo,
                   SysError);
    ReleaseMessage(m);
    KELD_TRACE_LEAVE("CMaster::send_msg");
    return -1;
  }
  if (written != dataleng) {
    SysError = plat::GetLastError();
    ErrNo = 3080;
    g_log.WriteLog(ERR, "In CMaster write pipe. Local error:%d, system error:%08x", ErrNo,
                   SysError);
    g_log.WriteLog(DEBUG, "In CMaster write pipe. Should read:%d, but read:%d",
                   static_cast<int>(dataleng), static_cast<int>(written));
    ReleaseMessage(m);
    KELD_TRACE_LEAVE("CMaster::send_msg");
    return -1;
  }

  ReleaseMessage(m);
  KELD_TRACE_LEAVE("CMaster::send_msg");
  return 0;
}

int CMaster::read_msg(Message& m) {
  KELD_TRACE_ENTER("CMaster::read_msg");
  ReleaseMessage(m);  // the blocks are fresh whatever the caller passed in

  m.header = NewHeader();
  if (m.header == nullptr) {
    SysError = plat::kERROR_NOT_ENOUGH_MEMORY;
    g_log.WriteLog(ERR, "Read_msg get head memory error");
    KELD_TRACE_LEAVE("CMaster::read_msg");
    return -1;
  }
  plat::HANDLE pipe = PipeHandle(ReadPipe);
  plat::DWORD got = 0;
  if (!plat::ReadFile(pipe, m.header, sizeof(MsgHeader), &got, nullptr)) {
    SysError = plat::GetLastError();
    ErrNo = 3010;
    g_log.WriteLog(ERR, "In CMaster read pipe. Local error:%d, system error:%08x", ErrNo, SysError);
    ReleaseMessage(m);
    KELD_TRACE_LEAVE("CMaster::read_msg");
    return -1;
  }
  if (got != sizeof(MsgHeader)) {
    SysError = plat::GetLastError();
    ErrNo = 3020;
    g_log.WriteLog(ERR, "In CMaster read pipe. Local error:%d, system error:%08x", ErrNo, SysError);
    g_log.WriteLog(DEBUG, "In CMaster read pipe. Should read:%d, but read:%d",
                   static_cast<int>(sizeof(MsgHeader)), static_cast<int>(got));
    ReleaseMessage(m);
    KELD_TRACE_LEAVE("CMaster::read_msg");
    return -1;
  }

  const uint32_t dataleng = m.header->dataleng;
  if (dataleng == 0) {
    KELD_TRACE_LEAVE("CMaster::read_msg");
    return 0;
  }

  m.data = static_cast<uint8_t*>(std::malloc(dataleng));
  if (m.data == nullptr) {
    SysError = plat::kERROR_NOT_ENOUGH_MEMORY;
    g_log.WriteLog(ERR, "Read_msg get data memory error");
    ReleaseMessage(m);
    KELD_TRACE_LEAVE("CMaster::read_msg");
    return -1;
  }
  got = 0;
  if (!plat::ReadFile(pipe, m.data, dataleng, &got, nullptr)) {
    SysError = plat::GetLastError();
    ErrNo = 3030;
    g_log.WriteLog(ERR, "In CMaster read pipe. Local error:%d, system error:%08x", ErrNo, SysError);
    ReleaseMessage(m);
    KELD_TRACE_LEAVE("CMaster::read_msg");
    return -1;
  }
  if (got != dataleng) {
    SysError = plat::GetLastError();
    ErrNo = 3040;
    g_log.WriteLog(ERR, "In CMaster read pipe. Local error:%d, system error:%08x", ErrNo, SysError);
    g_log.WriteLog(DEBUG, "In CMaster read pipe. Should read:%d, but read:%d",
                   static_cast<int>(dataleng), static_cast<int>(got));
    ReleaseMessage(m);
    KELD_TRACE_LEAVE("CMaster::read_msg");
    return -1;
  }
  KELD_TRACE_LEAVE("CMaster::read_msg");
  return 0;
}

int CMaster::process_msg(Message& m) {
  KELD_TRACE_ENTER("CMaster::process_msg");
  const MsgHeader* h = m.header;
  if (h != nullptr && h->type == MSG_ALIVE && h->id == COORDINATOR_ID) {
    g_log.WriteLog(DEBUG, "Receive Coor_alive message");
    // A Coor_alive without its whole 28-byte data block is ignored as a
    // whole: half a setting would leave the periods and the level at odds
    // with each other, and nothing beyond the data block is ever read. A
    // longer block is accepted; only its first 28 bytes count.
    if (h->dataleng < COOR_ALIVE_DATA_SIZE || m.data == nullptr) {
      g_log.WriteLog(WARN, "Coor_alive message too short, dataleng=%u, ignored", h->dataleng);
    } else {
      const uint8_t* d = m.data;
      CoordinatorAddr = h->srcAddr;

      const uint32_t cpuSend = PayloadField(d, kCpuSendOffset);
      CpuSendPeriod = cpuSend;
      // The sampler's window follows the period in force even when the store
      // fails: a window longer than the period would make every tick a skip
      // and drop the agent out. The store is retried while it lags behind.
      if (cpuSend != CpuSendInterval.load()) {
        g_Config.CpuSendInterval = cpuSend;
        CpuSendInterval = cpuSend;
      }
      if (cpuSend != StoredCpuSendInterval) {
        int sum = StoreValue("Parameter\\CpuLoad", "CpuSendInterval", cpuSend);
        if (sum != 0) {
          g_log.WriteLog(ERR, "In process_msg for Set CpuSendInterval key-value error,errno=%08x",
                         static_cast<unsigned>(sum));
        } else {
          StoredCpuSendInterval = cpuSend;
        }
      }

      const uint32_t alive = PayloadField(d, kAliveOffset);
      AlivePeriod = alive;
      g_log.WriteLog(DEBUG, "Receive Coor_alive message dwAlive=%d", static_cast<int>(alive));

      const uint32_t logRefresh = PayloadField(d, kLogRefreshOffset);
      LogCheckPeriod = logRefresh;
      if (logRefresh != static_cast<uint32_t>(g_log.LogRefreshInterval.load())) {
        int sum = StoreValue("Parameter\\Log", "LogRefreshInterval", logRefresh);
        if (sum != 0) {
          g_log.WriteLog(ERR,
                         "In process_msg for Set LogRefreshInterval key-value error,errno=%08x",
                         static_cast<unsigned>(sum));
        } else {
          g_log.LogRefreshInterval = static_cast<int32_t>(logRefresh);
        }
      }

      const uint32_t loglevel = PayloadField(d, kLoglevelOffset);
      g_log.WriteLog(DEBUG, "Receive Coor_alive message loglevel=%d", static_cast<int>(loglevel));
      g_log.LogLevel = LogMaskFor(loglevel);
    }
  }
  ReleaseMessage(m);
  KELD_TRACE_LEAVE("CMaster::process_msg");
  return 0;
}

plat::DWORD MasterThreadStart(void*) {
  // The first refresh moves the baseline to now; a failed one rebuilds the
  // query. Its window is short by nature, so it is no skip: otherwise every
  // restart of the workers would bring the agent one step nearer a drop-out.
  if (g_Master.Sampler.refresh(false) == -1) g_Master.Sampler.init();
  g_Master.master_thread();
  return 0;
}
