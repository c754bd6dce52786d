#include "Encoding.h"

NarrowString Utf16ToUtf8(const WideString &text) { return PortableUtf16ToUtf8(text); }

WideString Utf8ToUtf16(const NarrowString &text) { return PortableUtf8ToUtf16(text); }
