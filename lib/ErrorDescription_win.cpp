#include <windows.h>

#include "Encoding.h"
#include "ErrorText.h"

// Apart from the error box: a program that only describes errors, such as
// the host, then imports nothing of user32.

NarrowString DescribeLastError() { return DescribeError(GetLastError()); }

NarrowString DescribeError(DWORD code) {
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
