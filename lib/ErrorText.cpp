#include "ErrorText.h"

namespace {

// Unsigned, so the bytes of multi-byte UTF-8 characters are never blanks.
bool IsBlank(char c) {
  unsigned char u = static_cast<unsigned char>(c);
  return u >= 1 && u <= 32;
}

} // namespace

NarrowString ShapeErrorDescription(const NarrowString *systemText, DWORD code) {
  NarrowString text("Unknown error");
  if (systemText != nullptr) {
    const char *bytes = systemText->Data();
    int32_t start = 0;
    int32_t end = systemText->Length();
    while (start < end && IsBlank(bytes[start]))
      ++start;
    while (end > start && IsBlank(bytes[end - 1]))
      --end;
    text = systemText->Substring(start, end);
    // Only one: a text ending in ".." keeps the first, and blanks in front
    // of the stop stay.
    if (text.EndsWith(NarrowString(".")))
      text = text.Substring(0, text.Length() - 1);
  }
  int64_t number = static_cast<int32_t>(code);
  return text + " (code " + NarrowString(number) + ")";
}
