#include <memory>

#include "Encoding.h"

namespace {

constexpr uint32_t Replacement = 0xFFFD;
constexpr uint32_t Invalid = 0xFFFFFFFF;

bool IsContinuation(unsigned char b) { return (b ^ 0x80) < 0x40; }

// Decodes the sequence that starts with lead, which has already been taken
// from text; *next moves past the units that belong to it. Rejected
// sequences give Invalid, and the units consumed follow the Win32 decoder:
// every continuation accepted before the fault belongs to the rejected part.
uint32_t DecodeSequence(unsigned char lead, const unsigned char **next, const unsigned char *end) {
  int32_t trail = lead < 0xC2 ? 0 : lead < 0xE0 ? 1 : lead < 0xF0 ? 2 : lead < 0xF5 ? 3 : 0;
  if (trail == 0)
    return Invalid;
  static const unsigned char leadMask[4] = {0x7F, 0x1F, 0x0F, 0x07};
  uint32_t value = lead & leadMask[trail];
  if (*next + trail > end) {
    *next = end;
    return Invalid;
  }
  for (int32_t i = trail; i >= 1; --i) {
    unsigned char b = **next;
    if (!IsContinuation(b))
      return Invalid;
    value = (value << 6) | (b & 0x3F);
    // Too large: refused before the unit is taken.
    if (i == 2 && value >= (0x110000 >> 6))
      return Invalid;
    ++*next;
    // Overlong forms and encoded surrogates: refused after it is taken.
    if (i == 3 && value < 0x10)
      return Invalid;
    if (i == 2 && (value < 0x20 || (value >= (0xD800 >> 6) && value <= (0xDFFF >> 6))))
      return Invalid;
  }
  return value;
}

} // namespace

NarrowString PortableUtf16ToUtf8(const WideString &text) {
  int32_t size = Utf8BlockBytes(text.Length());
  std::unique_ptr<char[]> block(new char[static_cast<size_t>(size)]());
  unsigned char *out = reinterpret_cast<unsigned char *>(block.get());
  const WideUnit *in = text.Data();
  for (int32_t i = 0; in[i] != 0; ++i) {
    uint32_t c = static_cast<uint16_t>(in[i]);
    if (c >= 0xD800 && c <= 0xDFFF) {
      uint32_t low = static_cast<uint16_t>(in[i + 1]);
      if (c <= 0xDBFF && low >= 0xDC00 && low <= 0xDFFF) {
        c = 0x10000 + ((c & 0x3FF) << 10) + (low & 0x3FF);
        ++i;
      } else {
        c = Replacement;
      }
    }
    if (c < 0x80) {
      *out++ = static_cast<unsigned char>(c);
    } else if (c < 0x800) {
      *out++ = static_cast<unsigned char>(0xC0 | (c >> 6));
      *out++ = static_cast<unsigned char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      *out++ = static_cast<unsigned char>(0xE0 | (c >> 12));
      *out++ = static_cast<unsigned char>(0x80 | ((c >> 6) & 0x3F));
      *out++ = static_cast<unsigned char>(0x80 | (c & 0x3F));
    } else {
      *out++ = static_cast<unsigned char>(0xF0 | (c >> 18));
      *out++ = static_cast<unsigned char>(0x80 | ((c >> 12) & 0x3F));
      *out++ = static_cast<unsigned char>(0x80 | ((c >> 6) & 0x3F));
      *out++ = static_cast<unsigned char>(0x80 | (c & 0x3F));
    }
  }
  return NarrowString(block.get());
}

WideString PortableUtf8ToUtf16(const NarrowString &text) {
  // The terminator is part of the input, as with a source length of -1.
  const unsigned char *in = reinterpret_cast<const unsigned char *>(text.Data());
  int32_t size = UnitsNeeded(NarrowString::UnitCount(text.Data()), 0);
  const unsigned char *end = in + size;
  // At most one unit per byte, terminator included.
  std::unique_ptr<WideUnit[]> block(new WideUnit[static_cast<size_t>(size)]());
  WideUnit *out = block.get();
  while (in < end) {
    unsigned char b = *in++;
    uint32_t c = b < 0x80 ? b : DecodeSequence(b, &in, end);
    if (c == Invalid || c > 0x10FFFF)
      c = Replacement;
    if (c >= 0x10000) {
      c -= 0x10000;
      *out++ = static_cast<WideUnit>(0xD800 | (c >> 10));
      *out++ = static_cast<WideUnit>(0xDC00 | (c & 0x3FF));
    } else {
      *out++ = static_cast<WideUnit>(c);
    }
  }
  return WideString(block.get());
}
