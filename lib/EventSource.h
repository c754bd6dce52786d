#pragma once

// The source of the host's events in the Application log: the service's key
// name, with the host as its message file. The installer writes it, the
// uninstaller removes it.

#include "ServiceControl.h"

constexpr const WideUnit *EventSourceKey =
    WIDE("SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\" ORVANEL_SERVICE_NAME);
// Error, warning and information.
constexpr DWORD EventSourceTypes = 7;

constexpr const char *CreateKeyFailurePrefix = "RegCreateKeyEx failed with error: ";
constexpr const char *SetValueFailurePrefix = "RegSetValueEx failed with error: ";
constexpr const char *DeleteKeyFailurePrefix = "RegDeleteKey failed with error: ";
