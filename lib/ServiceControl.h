#pragma once

// What the three programs fix about the Service Control Manager: names,
// access rights, service settings, states, controls and the error codes
// they tell apart. Away from Windows the same names stand in for the
// platform header, so the portable logic builds and is tested natively.

#include <cstdint>

#include "String.h"

#ifdef _WIN32
#include <windows.h>
#else
using DWORD = uint32_t;

struct SERVICE_STATUS {
  DWORD dwServiceType;
  DWORD dwCurrentState;
  DWORD dwControlsAccepted;
  DWORD dwWin32ExitCode;
  DWORD dwServiceSpecificExitCode;
  DWORD dwCheckPoint;
  DWORD dwWaitHint;
};

constexpr DWORD SC_MANAGER_ALL_ACCESS = 0xF003F;
constexpr DWORD SERVICE_ALL_ACCESS = 0xF01FF;
constexpr DWORD SERVICE_WIN32_OWN_PROCESS = 0x10;
constexpr DWORD SERVICE_AUTO_START = 2;
constexpr DWORD SERVICE_ERROR_NORMAL = 1;
constexpr DWORD SERVICE_STOPPED = 1;
constexpr DWORD SERVICE_START_PENDING = 2;
constexpr DWORD SERVICE_STOP_PENDING = 3;
constexpr DWORD SERVICE_RUNNING = 4;
constexpr DWORD SERVICE_CONTROL_STOP = 1;
constexpr DWORD SERVICE_CONTROL_INTERROGATE = 4;
constexpr DWORD SERVICE_CONTROL_SHUTDOWN = 5;
constexpr DWORD SERVICE_ACCEPT_STOP = 1;
constexpr DWORD SERVICE_ACCEPT_SHUTDOWN = 4;
constexpr DWORD SC_STATUS_PROCESS_INFO = 0;
constexpr DWORD ERROR_INVALID_NAME = 123;
constexpr DWORD ERROR_SERVICE_DOES_NOT_EXIST = 1060;
constexpr DWORD ERROR_SERVICE_EXISTS = 1073;
constexpr DWORD ERROR_DUPLICATE_SERVICE_NAME = 1078;
constexpr DWORD ERROR_SERVICE_SPECIFIC_ERROR = 1066;
#endif

// The service's key name and its display name, which is also the caption
// of every message box.
#define ORVANEL_SERVICE_NAME "orvanel_svc"
#define ORVANEL_DISPLAY_NAME "Orvanel 3.7-b412"

constexpr const WideUnit *ServiceKeyName = WIDE(ORVANEL_SERVICE_NAME);
constexpr const WideUnit *ServiceDisplayName = WIDE(ORVANEL_DISPLAY_NAME);
constexpr const char *ProductCaption = ORVANEL_DISPLAY_NAME;

// Stop and shutdown: what the service accepts in every state but start pending.
constexpr DWORD ServiceAcceptedControls = SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN;

// A SERVICE_STATUS_PROCESS record; only its dwCurrentState is read.
constexpr DWORD ServiceStatusProcessSize = 36;

#ifndef _WIN32
// The service handle and the status query's record, for the programs' logic.
using SC_HANDLE = void *;

struct SERVICE_STATUS_PROCESS {
  DWORD dwServiceType;
  DWORD dwCurrentState;
  DWORD dwControlsAccepted;
  DWORD dwWin32ExitCode;
  DWORD dwServiceSpecificExitCode;
  DWORD dwCheckPoint;
  DWORD dwWaitHint;
  DWORD dwProcessId;
  DWORD dwServiceFlags;
};

constexpr DWORD SERVICE_CONTINUE_PENDING = 5;
constexpr DWORD SERVICE_PAUSE_PENDING = 6;
constexpr DWORD SERVICE_PAUSED = 7;
constexpr DWORD ERROR_ACCESS_DENIED = 5;
constexpr DWORD ERROR_SERVICE_MARKED_FOR_DELETE = 1072;
#endif

static_assert(sizeof(SERVICE_STATUS_PROCESS) == ServiceStatusProcessSize, "the query fills 36 bytes");
