#pragma once

#include "ServiceControl.h"
#include "String.h"

// The description that follows an operation's prefix in a message: the
// system text trimmed of bytes 1 to 32 at both ends and of one final full
// stop, then " (code N)" with the code read as signed. A null text (the
// system has none for the code) gives "Unknown error". Portable, so that
// the edge cases no system text shows can be tested.
NarrowString ShapeErrorDescription(const NarrowString *systemText, DWORD code);

// The description of an error code, with the system's text for it.
NarrowString DescribeError(DWORD code);

// The description of the calling thread's last error. Call it right after
// the failing call: it reads the code before anything else.
NarrowString DescribeLastError();

// A modal error box with the product caption; returns when it is closed.
// On a window station that no one can see (a service, a scheduled task, a
// remote shell) it shows no box and writes the message and a line feed to
// standard error instead: UTF-16 to a console, the UTF-8 bytes to anything
// else, nothing without a handle.
void ShowErrorBox(const NarrowString &message);

// dwCurrentState of the service, or 0 when the query fails (the record
// starts zeroed).
DWORD QueryServiceState(SC_HANDLE service);
