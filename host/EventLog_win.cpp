#include "EventLog.h"

#include "ServiceControl.h"

void ReportErrorEvent(DWORD eventId, const WideString &text) {
  // A source that was never registered still gets its events; Windows then
  // says that the description is missing, and shows the text.
  HANDLE source = RegisterEventSourceW(nullptr, ServiceKeyName);
  if (source == nullptr)
    return;
  LPCWSTR strings[] = {text.Data()};
  ReportEventW(source, EVENTLOG_ERROR_TYPE, 0, eventId, nullptr, 1, 0, strings, nullptr);
  DeregisterEventSource(source);
}
