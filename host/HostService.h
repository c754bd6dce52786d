#pragma once

#include "HostPlatform.h"

#include "String.h"

// The directory of the host's executable; written by wmain before the
// dispatcher starts, only read afterwards.
extern WideString BaseDirectory;

// The service's whole life: reports, launch of the server, wait, stopped.
void WINAPI ServiceMain(DWORD argc, LPWSTR *argv);

// Ends the server on a stop or shutdown, and answers each control with a
// report, except before ServiceMain sets the reply state or after the
// stopped report.
void WINAPI ServiceControlHandler(DWORD control);
