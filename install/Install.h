#pragma once

#include <cstdint>

#include "ServiceControl.h"
#include "String.h"

constexpr const char *InstallManagerFailurePrefix = "OpenSCManager failed with error: ";
constexpr const char *AlreadyInstalledMessage =
    ORVANEL_DISPLAY_NAME " service is already installed.\n\n"
                         "Please uninstall the existing version before installing new one.\n";

// The host in the given directory, quoted so that blanks stay inside one
// path. The directory is taken as it is: no separator added or removed.
inline WideString ImagePath(const WideString &directory) {
  return WideString(WIDE("\"")) + directory + WIDE("\\orvanel_host.exe\"");
}

// Registers the service for the host in the current directory; returns the
// exit status. The Platform gives the calls:
//   bool OpenManager(); WideString CurrentDirectory();
//   bool CreateServiceEntry(const WideString &imagePath); DWORD LastError();
//   void CloseHandles(); NarrowString DescribeLastError();
//   void ShowErrorBox(const NarrowString &).
template <typename Platform> int32_t Install(Platform &platform) {
  if (!platform.OpenManager()) {
    NarrowString description = platform.DescribeLastError();
    platform.ShowErrorBox(NarrowString(InstallManagerFailurePrefix) + description);
    return -1;
  }
  WideString imagePath = ImagePath(platform.CurrentDirectory());
  if (!platform.CreateServiceEntry(imagePath)) {
    DWORD error = platform.LastError();
    // Other causes end silently.
    if (error == ERROR_SERVICE_EXISTS || error == ERROR_DUPLICATE_SERVICE_NAME)
      platform.ShowErrorBox(NarrowString(AlreadyInstalledMessage));
    return -1;
  }
  platform.CloseHandles();
  return 0;
}
