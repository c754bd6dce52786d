#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "Encoding.h"

// The Win32 conversions and the portable codec give identical results on
// random input, invalid sequences and embedded zero units included.
namespace {

constexpr int Rounds = 100000;

// Units drawn to hit every class: ASCII, zero, two- and three-byte forms,
// high and low surrogates in and out of pairs.
uint16_t RandomUnit(std::mt19937 &random) {
  switch (random() % 8) {
  case 0:
    return 0;
  case 1:
  case 2:
    return static_cast<uint16_t>(1 + random() % 0x7F);
  case 3:
    return static_cast<uint16_t>(0x80 + random() % 0x780);
  case 4:
    return static_cast<uint16_t>(0xD800 + random() % 0x400);
  case 5:
    return static_cast<uint16_t>(0xDC00 + random() % 0x400);
  default:
    return static_cast<uint16_t>(random() % 0x10000);
  }
}

// Bytes drawn so that valid sequences, broken ones, overlong forms and
// encoded surrogates all occur.
char RandomByte(std::mt19937 &random) {
  static const unsigned char interesting[] = {0x00, 0x7F, 0x80, 0xBF, 0xC0, 0xC1, 0xC2, 0xDF, 0xE0, 0xED,
                                              0xEF, 0xF0, 0xF4, 0xF5, 0xFF, 0x90, 0xA0, 0x9F, 0x8F};
  switch (random() % 4) {
  case 0:
    return static_cast<char>(interesting[random() % sizeof interesting]);
  case 1:
    return static_cast<char>(0x80 + random() % 0x40);
  default:
    return static_cast<char>(random() % 0x100);
  }
}

TEST(EncodingDifferential, Utf16ToUtf8MatchesWin32) {
  std::mt19937 random(20261208);
  for (int round = 0; round < Rounds; ++round) {
    std::vector<WideUnit> units(1 + random() % 24);
    for (WideUnit &u : units)
      u = static_cast<WideUnit>(RandomUnit(random));
    units.back() = 0;
    WideString in(units.data(), static_cast<int32_t>(units.size() - 1));
    NarrowString a = Utf16ToUtf8(in), b = PortableUtf16ToUtf8(in);
    ASSERT_EQ(a.Length(), b.Length()) << round;
    ASSERT_EQ(std::memcmp(a.Data(), b.Data(), static_cast<size_t>(a.Length())), 0) << round;
  }
}

TEST(EncodingDifferential, Utf8ToUtf16MatchesWin32) {
  std::mt19937 random(8122026);
  for (int round = 0; round < Rounds; ++round) {
    std::vector<char> bytes(1 + random() % 24);
    for (char &b : bytes)
      b = RandomByte(random);
    bytes.back() = 0;
    NarrowString in(bytes.data(), static_cast<int32_t>(bytes.size() - 1));
    WideString a = Utf8ToUtf16(in), b = PortableUtf8ToUtf16(in);
    ASSERT_EQ(a.Length(), b.Length()) << round;
    ASSERT_EQ(std::memcmp(a.Data(), b.Data(), sizeof(WideUnit) * static_cast<size_t>(a.Length())), 0)
        << round;
  }
}

} // namespace
