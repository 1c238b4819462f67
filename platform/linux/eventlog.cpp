// SPDX-License-Identifier: Apache-2.0
// The event log: the systemd journal, or syslog where no journal runs.
#include <syslog.h>

#include <cstdio>
#include <mutex>
#include <string>

#include "platform/common/handles.h"
#include "platform/linux/sdsocket.h"
#include "platform/testing.h"

namespace plat {
namespace {

class EventSource : public detail::Object {
 public:
  explicit EventSource(std::string name) : name(std::move(name)) {}
  const std::string name;
};

std::mutex g_sinkLock;
std::function<void(const EventRecord&)>* g_sink = nullptr;

int Priority(WORD type) {
  switch (type) {
    case kEVENTLOG_ERROR_TYPE: return LOG_ERR;
    case kEVENTLOG_WARNING_TYPE: return LOG_WARNING;
    default: return LOG_INFO;
  }
}

const char* TypeName(WORD type) {
  switch (type) {
    case kEVENTLOG_ERROR_TYPE: return "error";
    case kEVENTLOG_WARNING_TYPE: return "warning";
    case kEVENTLOG_INFORMATION_TYPE: return "information";
    default: return "success";
  }
}

}  // namespace

HANDLE RegisterEventSourceA(const char* /*server*/, const char* source) {
  if (source == nullptr || *source == '\0') {
    SetLastError(kERROR_INVALID_PARAMETER);
    return nullptr;
  }
  return detail::ToHandle(detail::Insert(std::make_shared<EventSource>(source)));
}

BOOL DeregisterEventSource(HANDLE source) { return CloseHandle(source); }

BOOL ReportEventA(HANDLE source, WORD type, WORD /*category*/, DWORD eventId, void* /*userSid*/,
                  WORD numStrings, DWORD /*dataSize*/, const char** strings, void* /*rawData*/) {
  auto es = detail::LookupAs<EventSource>(source);
  if (!es) return kFALSE;
  std::string text;
  for (WORD i = 0; i < numStrings; ++i) {
    if (i) text += ' ';
    text += strings[i] ? strings[i] : "";
  }
  {
    std::lock_guard<std::mutex> guard(g_sinkLock);
    if (g_sink != nullptr) {
      (*g_sink)(EventRecord{es->name, type, eventId, text});
      return kTRUE;
    }
  }
  char id[16];
  std::snprintf(id, sizeof(id), "0x%08X", eventId);
  char priority[4];
  std::snprintf(priority, sizeof(priority), "%d", Priority(type));
  // Where no journal listens, the send fails and syslog takes the event.
  if (detail::SendToJournal({{"MESSAGE", text},
                             {"PRIORITY", priority},
                             {"SYSLOG_IDENTIFIER", es->name},
                             {"KELD4_EVENT_ID", id},
                             {"KELD4_EVENT_TYPE", TypeName(type)}}))
    return kTRUE;
  openlog(es->name.c_str(), LOG_PID | LOG_NDELAY, LOG_DAEMON);
  syslog(Priority(type), "[0x%08X] %s", eventId, text.c_str());
  closelog();
  return kTRUE;
}

void SetEventSinkForTest(std::function<void(const EventRecord&)> sink) {
  std::lock_guard<std::mutex> guard(g_sinkLock);
  delete g_sink;
  g_sink = sink ? new std::function<void(const EventRecord&)>(std::move(sink)) : nullptr;
}

}  // namespace plat
