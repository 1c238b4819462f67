// SPDX-License-Identifier: Apache-2.0
// The event log on Windows: the system's event sources, kept in the handle
// table with their name so that the test sink sees the same records.
#include <functional>
#include <mutex>
#include <string>

#include "platform/testing.h"
#include "platform/win32/win32.h"

namespace plat {
namespace {

class EventSource : public detail::Object {
 public:
  EventSource(::HANDLE h, std::string name) : h_(h), name_(std::move(name)) {}
  ~EventSource() override {
    if (h_) ::DeregisterEventSource(h_);
  }
  ::HANDLE get() const { return h_; }
  const std::string& name() const { return name_; }

 private:
  ::HANDLE h_;
  std::string name_;
};

std::mutex g_sinkLock;
std::function<void(const EventRecord&)> g_sink;

}  // namespace

HANDLE RegisterEventSourceA(const char* server, const char* source) {
  if (source == nullptr || *source == '\0') {
    SetLastError(kERROR_INVALID_PARAMETER);
    return nullptr;
  }
  ::HANDLE h = ::RegisterEventSourceA(server, source);
  if (h == nullptr) {
    detail::KeepLastError();
    return nullptr;
  }
  return detail::ToHandle(detail::Insert(std::make_shared<EventSource>(h, source)));
}

BOOL DeregisterEventSource(HANDLE source) { return CloseHandle(source); }

BOOL ReportEventA(HANDLE source, WORD type, WORD category, DWORD eventId, void* userSid,
                  WORD numStrings, DWORD dataSize, const char** strings, void* rawData) {
  auto es = detail::LookupAs<EventSource>(source);
  if (!es) return kFALSE;
  {
    std::lock_guard<std::mutex> guard(g_sinkLock);
    if (g_sink) {
      std::string text;
      for (WORD i = 0; i < numStrings; ++i) {
        if (i) text += ' ';
        text += strings[i] ? strings[i] : "";
      }
      g_sink(EventRecord{es->name(), type, eventId, text});
      return kTRUE;
    }
  }
  if (!::ReportEventA(es->get(), type, category, eventId, static_cast<PSID>(userSid), numStrings,
                      dataSize, strings, rawData)) {
    detail::KeepLastError();
    return kFALSE;
  }
  return kTRUE;
}

void SetEventSinkForTest(std::function<void(const EventRecord&)> sink) {
  std::lock_guard<std::mutex> guard(g_sinkLock);
  g_sink = std::move(sink);
}

}  // namespace plat
