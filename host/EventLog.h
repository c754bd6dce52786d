#pragma once

// The host's events in the Application log, under the source that the
// installer registers (the service's key name). On Windows EventLog_win.cpp
// writes them; a test of the service objects gives its own definition.

// First: windmc's header names DWORD.
#include "Win32.h"

#include "HostMessages.h"
#include "String.h"

// One error event with eventId (a MSG_ identifier of HostMessages.mc) and
// text as its insertion string. A failure to write it changes nothing else:
// the event is lost, and the host goes on.
void ReportErrorEvent(DWORD eventId, const WideString &text);
