#include <memory>

#include "Encoding.h"

namespace {

constexpr uint32_t Replacement = 0xFFFD;
constexpr uint32_t Invalid = 0xFFFFFFFF;

bool IsContinuation(unsigned char b) { return (b ^ 0x80) < 0x40; }

// Unicode's well-formed UTF-8 byte sequences (Table 3-7): the lead byte
// gives the number of continuation bytes and the range of the first one,
// which excludes overlong forms, encoded surrogates and values past
// U+10FFFF; later continuation bytes are 80..BF. A lead outside the table
// (80..C1, F5..FF) is invalid on its own.
struct SequenceRule {
  unsigned char firstLead, lastLead;
  int32_t continuations;
  unsigned char low, high;
};
constexpr SequenceRule WellFormed[] = {
    {0xC2, 0xDF, 1, 0x80, 0xBF}, // U+0080..U+07FF
    {0xE0, 0xE0, 2, 0xA0, 0xBF}, // U+0800..U+0FFF
    {0xE1, 0xEC, 2, 0x80, 0xBF}, // U+1000..U+CFFF
    {0xED, 0xED, 2, 0x80, 0x9F}, // U+D000..U+D7FF
    {0xEE, 0xEF, 2, 0x80, 0xBF}, // U+E000..U+FFFF
    {0xF0, 0xF0, 3, 0x90, 0xBF}, // U+10000..U+3FFFF
    {0xF1, 0xF3, 3, 0x80, 0xBF}, // U+40000..U+FFFFF
    {0xF4, 0xF4, 3, 0x80, 0x8F}, // U+100000..U+10FFFF
};

// Decodes the sequence that starts with lead, which has already been taken
// from text; *next moves past the bytes that belong to it. A rejected
// sequence gives Invalid and takes the bytes the Win32 decoder takes: all
// that is left, terminator included, when the text ends too early; a first
// continuation byte outside the lead's range along with the lead (so E0 80
// is one U+FFFD); every continuation byte before one that is missing.
uint32_t DecodeSequence(unsigned char lead, const unsigned char **next, const unsigned char *end) {
  const SequenceRule *rule = nullptr;
  for (const SequenceRule &r : WellFormed)
    if (lead >= r.firstLead && lead <= r.lastLead)
      rule = &r;
  if (rule == nullptr)
    return Invalid;
  if (end - *next < rule->continuations) {
    *next = end;
    return Invalid;
  }
  uint32_t value = lead & (0x3F >> rule->continuations);
  for (int32_t i = 0; i < rule->continuations; ++i) {
    unsigned char b = **next;
    if (!IsContinuation(b))
      return Invalid;
    ++*next;
    if (i == 0 && (b < rule->low || b > rule->high))
      return Invalid;
    value = (value << 6) | (b & 0x3F);
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
    if (c == Invalid)
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
