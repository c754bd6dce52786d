#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Encoding.h"
#include "StdoutCapture.h"

namespace {

using Bytes = std::string;
using Units = std::vector<uint16_t>;

WideString Wide(const Units &units) {
  std::vector<WideUnit> v(units.begin(), units.end());
  v.push_back(0);
  return WideString(v.data(), static_cast<int32_t>(units.size()));
}

Units UnitsOf(const WideString &s) { return Units(s.Data(), s.Data() + s.Length()); }

// The platform conversion and the portable codec must both meet each case.
struct Codec {
  const char *name;
  NarrowString (*toUtf8)(const WideString &);
  WideString (*toUtf16)(const NarrowString &);
};
const Codec Codecs[] = {{"platform", Utf16ToUtf8, Utf8ToUtf16},
                        {"portable", PortableUtf16ToUtf8, PortableUtf8ToUtf16}};

TEST(Encoding, Utf16ToUtf8Cases) {
  struct Case {
    Units in;
    Bytes out;
    int32_t capacity;
  };
  const Case cases[] = {
      {{}, "", 20},
      {Units(19, 'x'), Bytes(19, 'x'), 20},
      {Units(19, 0x20AC),
       [] {
         Bytes b;
         for (int i = 0; i < 19; ++i)
           b += "\xE2\x82\xAC";
         return b;
       }(),
       58},
      {{0x41, 0xE9, 0x7FF, 0x800}, "A\xC3\xA9\xDF\xBF\xE0\xA0\x80", 20},
      {{0xD83D, 0xDE00}, "\xF0\x9F\x98\x80", 20},
      {{0xDBFF, 0xDFFF}, "\xF4\x8F\xBF\xBF", 20},
      {{0xD800}, "\xEF\xBF\xBD", 20},
      {{0xDC00, 0x41},
       "\xEF\xBF\xBD"
       "A",
       20},
      {{0xD800, 0xD800, 0xDC00}, "\xEF\xBF\xBD\xF0\x90\x80\x80", 20},
      {{0x41, 0, 0x42}, "A", 20},
  };
  for (const Codec &codec : Codecs)
    for (const Case &c : cases) {
      NarrowString out = codec.toUtf8(Wide(c.in));
      EXPECT_EQ(Bytes(out.Data(), out.Length()), c.out) << codec.name;
      EXPECT_EQ(out.CapacityUnits(), c.capacity) << codec.name;
    }
}

TEST(Encoding, Utf8ToUtf16Cases) {
  struct Case {
    Bytes in;
    Units out;
  };
  const Case cases[] = {
      {"", {}},
      {"plain", {'p', 'l', 'a', 'i', 'n'}},
      {"\xF0\x9F\x98\x80", {0xD83D, 0xDE00}},
      {"\xC3\xA9\xE2\x82\xAC", {0xE9, 0x20AC}},
      {"\xFF", {0xFFFD}},
      {"\x80"
       "A",
       {0xFFFD, 'A'}},
      {"\xC3"
       "A",
       {0xFFFD, 'A'}},
      {"\xC3", {0xFFFD}},
      {"\xC0\xAF", {0xFFFD, 0xFFFD}},
      {"\xED\xA0\x80", {0xFFFD, 0xFFFD}},
      {"\xF4\x90\x80\x80", {0xFFFD, 0xFFFD, 0xFFFD}},
      {"\xE0\x80\x80", {0xFFFD, 0xFFFD}},
      {"\xE2\x82", {0xFFFD}},
      {"A\xE0", {'A', 0xFFFD}},
      {"\xF0\x90", {0xFFFD}},
      // A first continuation byte outside the lead's range goes with it.
      {"\xE0\x80"
       "A",
       {0xFFFD, 'A'}},
      {"\xED\xA0"
       "A",
       {0xFFFD, 'A'}},
      {"\xF0\x8F"
       "A",
       {0xFFFD, 'A'}},
      {"\xF4\x90"
       "A",
       {0xFFFD, 'A'}},
      {"\xF4\x8F\xBF"
       "A",
       {0xFFFD, 'A'}},
      {"\xF4\x8F\xBF\xBF", {0xDBFF, 0xDFFF}},
      {Bytes("A\0B", 3), {'A'}},
  };
  for (const Codec &codec : Codecs)
    for (const Case &c : cases) {
      NarrowString in(c.in.c_str());
      EXPECT_EQ(UnitsOf(codec.toUtf16(in)), c.out) << codec.name << " " << c.in;
    }
}

TEST(Encoding, ValidTextRoundTripsByteForByte) {
  const char *texts[] = {"", "ascii only", "Ünïcödé päth", "\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E",
                         "\xF0\x9F\x98\x80 and \xF4\x8F\xBF\xBF"};
  for (const Codec &codec : Codecs)
    for (const char *t : texts) {
      NarrowString back = codec.toUtf8(codec.toUtf16(NarrowString(t)));
      EXPECT_STREQ(back.Data(), t) << codec.name;
    }
}

// Four bytes per unit and the terminator, up to the 32-bit range; beyond
// it an allocation failure (2^30 + 4 units would wrap to 17 in 32 bits).
TEST(Encoding, Utf8BlockBytes) {
  struct Case {
    int32_t length;
    int64_t bytes;
  };
  const Case cases[] = {
      {0, 1},
      {19, 77},
      {536870911, 2147483645},
      {536870912, 2147483649},
      {(1 << 30) + 4, 4294967313},
      {INT32_MAX, 8589934589},
  };
  for (const Case &c : cases) {
    if (c.bytes > INT32_MAX)
      EXPECT_ALLOCATION_FAILS(Utf8BlockBytes(c.length));
    else
      EXPECT_EQ(Utf8BlockBytes(c.length), c.bytes);
  }
}

} // namespace
