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

// Bytes for the UTF-8 form of a text of length UTF-16 units and its
// terminator: four per unit is more than any unit needs. Beyond the 32-bit
// size that WideCharToMultiByte takes, it is an allocation failure.
inline int32_t Utf8BlockBytes(int32_t length) { return CheckedUnits(4 * int64_t{length} + 1); }
