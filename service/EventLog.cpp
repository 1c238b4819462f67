// Status and event reporting.
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "service/keld4.h"

void ReportToEventLog(CServiceModule* module, int kind, const char* format, ...) {
  char text[256];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof(text), format, args);
  va_end(args);

  if (module->ServiceFlag == 0) {
    std::fprintf(stdout, "%s\n", text);
    std::fflush(stdout);
    return;
  }
  plat::HANDLE source = plat::RegisterEventSourceA(nullptr, module->m_szServiceName);
  if (source == nullptr) return;
  plat::WORD type;
  plat::DWORD id;
  switch (kind) {
    case EVENT_KIND_INFORMATION:
      type = plat::kEVENTLOG_INFORMATION_TYPE;
      id = EVENT_ID_INFORMATION;
      break;
    case EVENT_KIND_ERROR:
      type = plat::kEVENTLOG_ERROR_TYPE;
      id = EVENT_ID_ERROR;
      break;
    case EVENT_KIND_WARNING:
      type = plat::kEVENTLOG_WARNING_TYPE;
      id = EVENT_ID_WARNING;
      break;
    default: plat::DeregisterEventSource(source); return;
  }
  const char* strings[1] = {text};
  plat::ReportEventA(source, type, 0, id, nullptr, 1, 0, strings, nullptr);
  plat::DeregisterEventSource(source);
}

void DropOut() {
  ReportToEventLog(&_Module, EVENT_KIND_ERROR, "Pdh_Error KELD4 service DropOut.");
  plat::ExitProcess(0xFFFFFFFF);
}
