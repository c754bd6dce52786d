#pragma once

#include <cstdint>

#include "Encoding.h"
#include "EventSource.h"
#include "PermissionCheck.h"
#include "ServiceControl.h"
#include "String.h"

constexpr const char *InstallManagerFailurePrefix = "OpenSCManager failed with error: ";
constexpr const char *CreateFailurePrefix = "CreateService failed with error: ";
constexpr const char *HostCheckFailurePrefix = "Checking orvanel_host.exe failed with error: ";
// Follows a failure after the service was created, when it cannot be
// deleted again.
constexpr const char *StaysRegisteredPrefix =
    "\n\nThe service stays registered: DeleteService failed with error: ";
constexpr const char *AlreadyInstalledMessage =
    ORVANEL_DISPLAY_NAME " service is already installed.\n\n"
                         "Please uninstall the existing version before installing new one.\n";

// The host in the given directory. The directory is taken as it is: no
// separator added or removed.
inline WideString HostPath(const WideString &directory) { return directory + WIDE("\\orvanel_host.exe"); }

// The host's path quoted, so that blanks stay inside one path.
inline WideString ImagePath(const WideString &directory) {
  return WideString(WIDE("\"")) + HostPath(directory) + WIDE("\"");
}

// Said when the directory holds no host: a service registered for a missing
// file could never start.
inline NarrowString HostMissingMessage(const NarrowString &directory) {
  return NarrowString("orvanel_host.exe was not found in ") + directory +
         ".\n\nRun orvanel_install.exe from the installation directory.";
}

// Writes the host as the source of its events. Empty when it is written,
// else the failure, with the prefix of the registry call that failed; a key
// whose values could not be written is removed again, as far as it can be.
template <typename Platform> NarrowString WriteEventSource(Platform &platform, const WideString &hostPath) {
  DWORD error = platform.CreateEventSourceKey();
  if (error != ERROR_SUCCESS)
    return NarrowString(CreateKeyFailurePrefix) + platform.DescribeError(error);
  error = platform.SetEventSourceValue(WIDE("EventMessageFile"), hostPath);
  if (error == ERROR_SUCCESS)
    error = platform.SetEventSourceValue(WIDE("TypesSupported"), EventSourceTypes);
  if (error == ERROR_SUCCESS)
    return NarrowString();
  platform.DeleteEventSourceKey();
  return NarrowString(SetValueFailurePrefix) + platform.DescribeError(error);
}

// Registers the service for the host in the current directory, and the
// host as the source of its events; returns the exit status. The Platform
// gives the calls:
//   bool OpenManager(); WideString CurrentDirectory();
//   bool CreateServiceEntry(const WideString &imagePath); DWORD LastError();
//   DWORD CreateEventSourceKey();
//   DWORD SetEventSourceValue(const WideUnit *name, const WideString &path) (REG_EXPAND_SZ);
//   DWORD SetEventSourceValue(const WideUnit *name, DWORD number) (REG_DWORD);
//   DWORD DeleteEventSourceKey(); DWORD DeleteServiceEntry();
//   void CloseHandles(); NarrowString DescribeLastError();
//   NarrowString DescribeError(DWORD); void ShowErrorBox(const NarrowString &);
//   Security(): what CheckInstallation() takes.
template <typename Platform> int32_t Install(Platform &platform) {
  if (!platform.OpenManager()) {
    NarrowString description = platform.DescribeLastError();
    platform.ShowErrorBox(NarrowString(InstallManagerFailurePrefix) + description);
    return -1;
  }
  auto &security = platform.Security();
  WideString directory = platform.CurrentDirectory();
  DWORD attributes = 0;
  DWORD error = security.FileAttributes(HostPath(directory), attributes);
  if (error != 0 && !IsMissing(error)) {
    // Past MAX_PATH, say, the host may well be there.
    platform.ShowErrorBox(NarrowString(HostCheckFailurePrefix) + security.DescribeError(error));
    return -1;
  }
  if (error != 0 || (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
    platform.ShowErrorBox(HostMissingMessage(Utf16ToUtf8(directory)));
    return -1;
  }
  NarrowString refusal;
  if (CheckInstallation(security, directory, refusal) != Verdict::Permitted) {
    platform.ShowErrorBox(refusal);
    return -1;
  }
  if (!platform.CreateServiceEntry(ImagePath(directory))) {
    DWORD error = platform.LastError();
    if (error == ERROR_SERVICE_EXISTS || error == ERROR_DUPLICATE_SERVICE_NAME) {
      platform.ShowErrorBox(NarrowString(AlreadyInstalledMessage));
    } else {
      // Silence is the success signal: every other failure is told.
      NarrowString description = platform.DescribeLastError();
      platform.ShowErrorBox(NarrowString(CreateFailurePrefix) + description);
    }
    return -1;
  }
  NarrowString failure = WriteEventSource(platform, HostPath(directory));
  if (failure.Length() > 0) {
    // A failed run leaves nothing behind.
    DWORD error = platform.DeleteServiceEntry();
    if (error != ERROR_SUCCESS)
      failure = failure + StaysRegisteredPrefix + platform.DescribeError(error);
    platform.ShowErrorBox(failure);
    return -1;
  }
  platform.CloseHandles();
  return 0;
}
