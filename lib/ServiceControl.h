#pragma once

// What the three programs fix about the Service Control Manager: the
// service's names, the controls it accepts and the size of the status
// query's record. The SCM's own names come from Win32.h.

#include "String.h"
#include "Win32.h"

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

static_assert(sizeof(SERVICE_STATUS_PROCESS) == ServiceStatusProcessSize, "the query fills 36 bytes");
