#include <windows.h>

#include "Encoding.h"
#include "ErrorText.h"

NarrowString DescribeLastError() {
  DWORD code = GetLastError();
  // IGNORE_INSERTS: a system text with %1 in it would otherwise make the
  // call read insert arguments that were never passed.
  wchar_t *text = nullptr;
  FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                 nullptr, code, 0x400, reinterpret_cast<wchar_t *>(&text), 0, nullptr);
  NarrowString description;
  if (text != nullptr) {
    NarrowString systemText = Utf16ToUtf8(WideString(text));
    description = ShapeErrorDescription(&systemText, code);
  } else {
    description = ShapeErrorDescription(nullptr, code);
  }
  LocalFree(text);
  return description;
}

void ShowErrorBox(const NarrowString &message) {
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
