// The portable codec on arbitrary input, read once as UTF-8 and once as
// UTF-16. Its output must always be valid, converting it there and back
// must give it again, and valid input must come back exactly.
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "Encoding.h"
#include "FuzzExpect.h"

namespace {

using Units = std::vector<uint16_t>;

bool IsHigh(uint32_t u) { return u >= 0xD800 && u <= 0xDBFF; }
bool IsLow(uint32_t u) { return u >= 0xDC00 && u <= 0xDFFF; }

// Decodes well-formed UTF-8 by its bit patterns, independently of the
// codec's table; false at the first flaw.
bool DecodeWellFormed(const std::string &bytes, std::vector<uint32_t> *points) {
  static const uint32_t Smallest[4] = {0, 0x80, 0x800, 0x10000};
  for (size_t i = 0; i < bytes.size();) {
    uint8_t lead = static_cast<uint8_t>(bytes[i]);
    int more = lead < 0x80 ? 0 : (lead >> 5) == 6 ? 1 : (lead >> 4) == 14 ? 2 : (lead >> 3) == 30 ? 3 : -1;
    if (more < 0 || bytes.size() - i <= static_cast<size_t>(more))
      return false;
    uint32_t point = lead & (0x7F >> more);
    for (int k = 1; k <= more; ++k) {
      uint8_t b = static_cast<uint8_t>(bytes[i + k]);
      if ((b >> 6) != 2)
        return false;
      point = (point << 6) | (b & 0x3F);
    }
    if (point < Smallest[more] || point > 0x10FFFF || (point >= 0xD800 && point <= 0xDFFF))
      return false;
    points->push_back(point);
    i += static_cast<size_t>(more) + 1;
  }
  return true;
}

Units EncodeUtf16(const std::vector<uint32_t> &points) {
  Units units;
  for (uint32_t p : points) {
    if (p < 0x10000) {
      units.push_back(static_cast<uint16_t>(p));
    } else {
      units.push_back(static_cast<uint16_t>(0xD800 | ((p - 0x10000) >> 10)));
      units.push_back(static_cast<uint16_t>(0xDC00 | ((p - 0x10000) & 0x3FF)));
    }
  }
  return units;
}

std::string EncodeUtf8(uint32_t p) {
  std::string out;
  if (p < 0x80) {
    out += static_cast<char>(p);
  } else if (p < 0x800) {
    out += static_cast<char>(0xC0 | (p >> 6));
    out += static_cast<char>(0x80 | (p & 0x3F));
  } else if (p < 0x10000) {
    out += static_cast<char>(0xE0 | (p >> 12));
    out += static_cast<char>(0x80 | ((p >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (p & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (p >> 18));
    out += static_cast<char>(0x80 | ((p >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((p >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (p & 0x3F));
  }
  return out;
}

// The code points of valid UTF-16.
std::vector<uint32_t> PointsOf(const Units &units) {
  std::vector<uint32_t> points;
  for (size_t i = 0; i < units.size(); ++i) {
    if (IsHigh(units[i])) {
      points.push_back(0x10000 + ((units[i] & 0x3FFu) << 10) + (units[i + 1] & 0x3FFu));
      ++i;
    } else {
      points.push_back(units[i]);
    }
  }
  return points;
}

// Every code point decoded, U+FFFD aside, stands in the input in its
// shortest form, in order; bytes are skipped only where a U+FFFD stands for
// them, one byte at least each. So no overlong form, surrogate or value past
// U+10FFFF is ever accepted, and nothing is made up or lost unmarked.
void ExpectDrawnFromInput(const std::string &text, const Units &units) {
  size_t position = 0;
  size_t replaced = 0;
  for (uint32_t p : PointsOf(units)) {
    if (p == 0xFFFD) {
      ++replaced;
      continue;
    }
    std::string form = EncodeUtf8(p);
    size_t found = replaced == 0 ? position : text.find(form, position + replaced);
    FUZZ_EXPECT(found != std::string::npos && text.compare(found, form.size(), form) == 0);
    position = found + form.size();
    replaced = 0;
  }
  FUZZ_EXPECT(replaced == 0 ? position == text.size() : text.size() - position >= replaced);
}

// The units with every surrogate that is not part of a pair replaced by
// U+FFFD: what a conversion to UTF-8 and back must give.
Units Repaired(const Units &units) {
  Units out = units;
  for (size_t i = 0; i < out.size(); ++i) {
    if (IsHigh(out[i]) && i + 1 < out.size() && IsLow(out[i + 1]))
      ++i;
    else if (IsHigh(out[i]) || IsLow(out[i]))
      out[i] = 0xFFFD;
  }
  return out;
}

std::string BytesOf(const NarrowString &s) { return std::string(s.Data(), static_cast<size_t>(s.Length())); }
Units UnitsOf(const WideString &s) { return Units(s.Data(), s.Data() + s.Length()); }

WideString Wide(const Units &units) {
  std::vector<WideUnit> v(units.begin(), units.end());
  v.push_back(0);
  return WideString(v.data(), static_cast<int32_t>(units.size()));
}

// The UTF-16 form of any text is valid, and converting it to UTF-8 and
// back gives it again.
void ExpectStable(const Units &units) {
  FUZZ_EXPECT(Repaired(units) == units);
  NarrowString bytes = PortableUtf16ToUtf8(Wide(units));
  std::vector<uint32_t> points;
  FUZZ_EXPECT(DecodeWellFormed(BytesOf(bytes), &points));
  FUZZ_EXPECT(UnitsOf(PortableUtf8ToUtf16(bytes)) == units);
}

void CheckUtf8(const uint8_t *data, size_t size) {
  // A block of exactly size bytes, and strings of 20 bytes or more sit in
  // blocks of exactly length + 1: ASan sees any read past the end.
  std::unique_ptr<char[]> block(new char[size]);
  std::memcpy(block.get(), data, size);
  NarrowString in(block.get(), static_cast<int32_t>(size));
  // The codec reads up to the first zero byte.
  std::string text(in.Data());

  Units units = UnitsOf(PortableUtf8ToUtf16(in));
  FUZZ_EXPECT(units.size() <= text.size());
  ExpectStable(units);
  ExpectDrawnFromInput(text, units);
  std::vector<uint32_t> points;
  if (DecodeWellFormed(text, &points)) {
    FUZZ_EXPECT(units == EncodeUtf16(points));
    FUZZ_EXPECT(BytesOf(PortableUtf16ToUtf8(PortableUtf8ToUtf16(in))) == text);
  }
}

void CheckUtf16(const uint8_t *data, size_t size) {
  int32_t n = static_cast<int32_t>(size / 2);
  std::unique_ptr<WideUnit[]> block(new WideUnit[static_cast<size_t>(n)]);
  Units text;
  for (int32_t i = 0; i < n; ++i) {
    block[i] = static_cast<WideUnit>(data[2 * i] | data[2 * i + 1] << 8);
    if (text.size() == static_cast<size_t>(i) && block[i] != 0)
      text.push_back(static_cast<uint16_t>(block[i]));
  }
  WideString in(block.get(), n);

  NarrowString bytes = PortableUtf16ToUtf8(in);
  FUZZ_EXPECT(static_cast<size_t>(bytes.Length()) <= 3 * text.size());
  std::vector<uint32_t> points;
  FUZZ_EXPECT(DecodeWellFormed(BytesOf(bytes), &points));
  Units back = UnitsOf(PortableUtf8ToUtf16(bytes));
  FUZZ_EXPECT(back == Repaired(text));
  FUZZ_EXPECT(BytesOf(PortableUtf16ToUtf8(Wide(back))) == BytesOf(bytes));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  CheckUtf8(data, size);
  CheckUtf16(data, size);
  return 0;
}
