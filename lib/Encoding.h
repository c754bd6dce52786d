#pragma once

#include "String.h"

// Both convert up to the first zero unit and replace invalid input with
// U+FFFD instead of failing.
NarrowString Utf16ToUtf8(const WideString &text);
WideString Utf8ToUtf16(const NarrowString &text);

// The platform-independent codec: the conversions of builds without the
// Win32 functions, and the reference the Win32 ones are compared against.
NarrowString PortableUtf16ToUtf8(const WideString &text);
WideString PortableUtf8ToUtf16(const NarrowString &text);
