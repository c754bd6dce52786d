#pragma once

// What the service host decides without the platform: where it lives, how
// the server is started, and what each status report says.

#include "ServiceControl.h"
#include "String.h"

// The part of the program path before its last backslash; empty when the
// path holds none. Only the backslash separates directories here.
WideString DeriveBaseDirectory(const WideUnit *programPath);

// "D\..\jre64\bin\java.exe" -Xrs -jar "D\orvanel_app.jar" "D\orvanel_app.conf"
// for D = baseDirectory, which is taken as it is: nothing inside is escaped.
WideString ComposeServerCommandLine(const WideString &baseDirectory);

// The runtime that the command line starts, as Windows resolves its "..":
// D\..\jre64\bin\java.exe without the last part of D (a D without a
// backslash is a drive, where ".." stays).
WideString RuntimePath(const WideString &baseDirectory);

// The exit codes of the stopped report.
struct StoppedExitCodes {
  DWORD Win32;
  DWORD Specific;
};

// A requested stop or shutdown is a clean end, whatever the server's exit
// code. Otherwise serverError, when not 0, is told as it is: what kept the
// server from running (the launch's error), or what kept its exit code from
// being read (GetExitCodeProcess's). Else the server ended by itself, and an
// exit code other than 0 is its failure, told as the service's own code.
StoppedExitCodes DecideStoppedExitCodes(bool stopRequested, DWORD serverError, DWORD serverExitCode);

// Fills the record for one report of state with waitHint. Type and exit
// codes are left alone; only a counting state takes a check-point, which
// then advances nextCheckPoint.
void FillServiceStatus(SERVICE_STATUS &record, DWORD &nextCheckPoint, DWORD state, DWORD waitHint);
