#include <windows.h>

#include "Encoding.h"
#include "ErrorText.h"

// A service, a scheduled task or a remote shell runs on a window station
// that no one sees, where a box would wait for ever. When the flags cannot
// be read, the station counts as visible, as in .NET's UserInteractive.
static bool StationIsVisible() {
  USEROBJECTFLAGS flags = {};
  DWORD needed = 0;
  if (!GetUserObjectInformationW(GetProcessWindowStation(), UOI_FLAGS, &flags, sizeof flags, &needed))
    return true;
  return (flags.dwFlags & WSF_VISIBLE) != 0;
}

// Straight to the handle: the C runtime's text mode would turn "\n" into
// "\r\n". Deployment agents often pass no handle at all; then the exit
// status alone tells.
static void WriteStandardError(const NarrowString &line) {
  HANDLE handle = GetStdHandle(STD_ERROR_HANDLE);
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE)
    return;
  DWORD mode = 0;
  DWORD written = 0;
  if (GetConsoleMode(handle, &mode)) {
    WideString wide = Utf8ToUtf16(line);
    WriteConsoleW(handle, wide.Data(), static_cast<DWORD>(wide.Length()), &written, nullptr);
    return;
  }
  const char *bytes = line.Data();
  DWORD left = static_cast<DWORD>(line.Length());
  while (left > 0 && WriteFile(handle, bytes, left, &written, nullptr) && written > 0) {
    bytes += written;
    left -= written;
  }
}

void ShowErrorBox(const NarrowString &message) {
  if (!StationIsVisible()) {
    WriteStandardError(message + "\n");
    return;
  }
  WideString wide = Utf8ToUtf16(message);
  MessageBoxW(nullptr, wide.Data(), ServiceDisplayName, MB_ICONERROR);
}

DWORD QueryServiceState(SC_HANDLE service) {
  SERVICE_STATUS_PROCESS status = {};
  DWORD needed = 0;
  QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE *>(&status),
                       ServiceStatusProcessSize, &needed);
  return status.dwCurrentState;
}
