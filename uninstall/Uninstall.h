#pragma once

#include <cstdint>

#include "EventSource.h"
#include "ServiceControl.h"
#include "String.h"

constexpr DWORD UninstallPollInterval = 100;
// Past this, counted from the start of the wait, a service that has not
// stopped is left registered.
constexpr uint64_t UninstallStopWaitLimit = 30000;

constexpr const char *UninstallManagerFailurePrefix = "OpenSCManager failed with error: ";
constexpr const char *NotInstalledMessage = ORVANEL_DISPLAY_NAME " service is not installed";
constexpr const char *OpenFailurePrefix = "OpenService failed with error: ";
constexpr const char *DeletionFailurePrefix = "DeleteService failed with error: ";
constexpr const char *StopTimeoutMessage =
    ORVANEL_DISPLAY_NAME " service did not stop within 30 seconds and was not removed";

// Polls until the service reports SERVICE_STOPPED: the first query at once,
// then one every interval. False when the limit passes first.
template <typename Platform> bool WaitUntilStopped(Platform &platform) {
  uint64_t start = platform.Milliseconds();
  for (;;) {
    if (platform.QueryState() == SERVICE_STOPPED)
      return true;
    if (platform.Milliseconds() - start >= UninstallStopWaitLimit)
      return false;
    platform.Pause(UninstallPollInterval);
  }
}

// Stops the service unless it is stopped or stopping, waits for it, deletes
// it and then the source of its events; returns the exit status. The
// Platform gives the calls:
//   bool OpenManager(); bool OpenServiceHandle(); DWORD LastError();
//   DWORD QueryState() (0 when the query fails); void RequestStop();
//   void Pause(DWORD); uint64_t Milliseconds(); bool DeleteServiceHandle();
//   DWORD DeleteEventSourceKey(); void CloseHandles();
//   NarrowString DescribeLastError(); NarrowString DescribeError(DWORD);
//   void ShowErrorBox(const NarrowString &).
template <typename Platform> int32_t Uninstall(Platform &platform) {
  if (!platform.OpenManager()) {
    NarrowString description = platform.DescribeLastError();
    platform.ShowErrorBox(NarrowString(UninstallManagerFailurePrefix) + description);
    return -1;
  }
  if (!platform.OpenServiceHandle()) {
    DWORD error = platform.LastError();
    if (error == ERROR_SERVICE_DOES_NOT_EXIST || error == ERROR_INVALID_NAME) {
      platform.ShowErrorBox(NarrowString(NotInstalledMessage));
    } else {
      // Silence is the success signal: every other failure is told.
      NarrowString description = platform.DescribeLastError();
      platform.ShowErrorBox(NarrowString(OpenFailurePrefix) + description);
    }
    return -1;
  }
  // A failed first query gives 0: a state to stop from. The wait's limit
  // then ends a run whose queries keep failing.
  DWORD state = platform.QueryState();
  if (state != SERVICE_STOPPED) {
    // A second control before the stop completes would make Wine's SCM
    // kill the service, so exactly one, and none while a stop is pending.
    if (state != SERVICE_STOP_PENDING)
      platform.RequestStop();
    if (!WaitUntilStopped(platform)) {
      platform.ShowErrorBox(NarrowString(StopTimeoutMessage));
      return -1;
    }
  }
  if (!platform.DeleteServiceHandle()) {
    NarrowString description = platform.DescribeLastError();
    platform.ShowErrorBox(NarrowString(DeletionFailurePrefix) + description);
    return -1;
  }
  // A source that is gone already (never registered, on a machine upgraded
  // by copying the programs) is as good as removed.
  DWORD error = platform.DeleteEventSourceKey();
  if (error != ERROR_SUCCESS && error != ERROR_FILE_NOT_FOUND) {
    platform.ShowErrorBox(NarrowString(DeleteKeyFailurePrefix) + platform.DescribeError(error));
    return -1;
  }
  platform.CloseHandles();
  return 0;
}
