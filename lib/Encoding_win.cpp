#include <windows.h>

#include <memory>

#include "Encoding.h"

NarrowString Utf16ToUtf8(const WideString &text) {
  // Four bytes per unit always suffice, so the result is not examined: a
  // call that writes nothing leaves an empty text in the zeroed block.
  int32_t size = Utf8BlockBytes(text.Length());
  std::unique_ptr<char[]> block(new char[static_cast<size_t>(size)]());
  WideCharToMultiByte(CP_UTF8, 0, text.Data(), -1, block.get(), size, nullptr, nullptr);
  return NarrowString(block.get());
}

WideString Utf8ToUtf16(const NarrowString &text) {
  // The count normally includes the terminator, but a sequence cut short by
  // the end of the text swallows it (Wine), so one zero unit more always
  // follows the converted units.
  int count = MultiByteToWideChar(CP_UTF8, 0, text.Data(), -1, nullptr, 0);
  if (count < 0)
    count = 0;
  std::unique_ptr<wchar_t[]> block(new wchar_t[static_cast<size_t>(UnitsNeeded(count, 0))]());
  MultiByteToWideChar(CP_UTF8, 0, text.Data(), -1, block.get(), count);
  return WideString(block.get());
}
