#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "FatalCheck.h"
#include "StdoutCapture.h"
#include "String.h"

namespace {

// Builds a zero-terminated text of n units 'a', 'b', ... of unit type T.
template <typename T> std::vector<T> Units(int32_t n) {
  std::vector<T> v;
  for (int32_t i = 0; i < n; ++i)
    v.push_back(static_cast<T>('a' + i % 26));
  v.push_back(0);
  return v;
}

template <typename T> std::basic_string<T> Text(const String<T> &s) {
  return std::basic_string<T>(s.Data(), static_cast<size_t>(s.Length()));
}

template <typename T> std::basic_string<T> Text(const std::vector<T> &v) {
  return std::basic_string<T>(v.data(), v.size() - 1);
}

// Every unit from length to capacity - 1 is zero.
template <typename T> bool TailIsZero(const String<T> &s) {
  for (int32_t i = s.Length(); i < s.CapacityUnits(); ++i)
    if (s.Data()[i] != 0)
      return false;
  return true;
}

template <typename T> class StringTest : public testing::Test {};
using UnitTypes = testing::Types<char, WideUnit>;
TYPED_TEST_SUITE(StringTest, UnitTypes);

TYPED_TEST(StringTest, EmptyIsInline) {
  String<TypeParam> s;
  EXPECT_EQ(s.Length(), 0);
  EXPECT_EQ(s.CapacityUnits(), 20);
  EXPECT_TRUE(s.IsInline());
  EXPECT_EQ(s.Data()[0], 0);
  EXPECT_TRUE(TailIsZero(s));
}

// A text built from an array, from a longer one with a count, and a copy
// of it: exact capacity k + 1 once it no longer fits the 20 inline units.
TYPED_TEST(StringTest, BuiltAcrossTheInlineBoundary) {
  struct Case {
    int32_t length, capacity;
    bool inlined;
  };
  auto longer = Units<TypeParam>(42);
  for (Case c : {Case{0, 20, true}, Case{19, 20, true}, Case{20, 21, false}, Case{21, 22, false},
                 Case{40, 41, false}, Case{41, 42, false}}) {
    auto units = Units<TypeParam>(c.length);
    String<TypeParam> fromArray(units.data()), counted(longer.data(), c.length), copy(fromArray);
    for (const String<TypeParam> *s : {&fromArray, &counted, &copy}) {
      EXPECT_EQ(s->Length(), c.length);
      EXPECT_EQ(Text(*s), Text(units));
      EXPECT_EQ(s->CapacityUnits(), c.capacity) << c.length;
      EXPECT_EQ(s->IsInline(), c.inlined) << c.length;
      EXPECT_TRUE(TailIsZero(*s));
    }
    EXPECT_NE(copy.Data(), fromArray.Data());
  }
}

TYPED_TEST(StringTest, CapacityConstruction) {
  struct Case {
    int32_t request, capacity;
    bool inlined;
  };
  for (Case c : {Case{1, 20, true}, Case{20, 20, true}, Case{21, 21, false}, Case{100, 100, false}}) {
    String<TypeParam> s{Capacity{c.request}};
    EXPECT_EQ(s.CapacityUnits(), c.capacity);
    EXPECT_EQ(s.IsInline(), c.inlined);
    EXPECT_EQ(s.Length(), 0);
    EXPECT_TRUE(TailIsZero(s));
  }
}

TYPED_TEST(StringTest, ReserveDoublesOrTakesTheRequest) {
  struct Case {
    int32_t request, capacity;
  };
  for (Case c : {Case{20, 20}, Case{21, 40}, Case{30, 40}, Case{40, 40}, Case{41, 41}, Case{100, 100}}) {
    String<TypeParam> s;
    s.Reserve(c.request);
    EXPECT_EQ(s.CapacityUnits(), c.capacity) << c.request;
    EXPECT_EQ(s.IsInline(), c.capacity == 20);
  }
}

TYPED_TEST(StringTest, AppendingUnitsGrowsByDoubling) {
  String<TypeParam> s;
  std::vector<int32_t> capacities;
  for (int32_t i = 0; i < 41; ++i) {
    s.Append(static_cast<TypeParam>('a' + i % 26));
    capacities.push_back(s.CapacityUnits());
  }
  // The 20th unit needs 21 places: 40; the 40th needs 41: 80.
  EXPECT_EQ(capacities[18], 20);
  EXPECT_EQ(capacities[19], 40);
  EXPECT_EQ(capacities[38], 40);
  EXPECT_EQ(capacities[39], 80);
  EXPECT_EQ(Text(s), Text(Units<TypeParam>(41)));
  EXPECT_TRUE(TailIsZero(s));
}

TYPED_TEST(StringTest, AssignmentRebuildsTheTarget) {
  auto longUnits = Units<TypeParam>(41);
  auto shortUnits = Units<TypeParam>(3);
  String<TypeParam> target(longUnits.data());
  target = String<TypeParam>(shortUnits.data());
  EXPECT_TRUE(target.IsInline());
  EXPECT_EQ(target.CapacityUnits(), 20);
  EXPECT_EQ(Text(target), Text(shortUnits));
  EXPECT_TRUE(TailIsZero(target));

  auto midUnits = Units<TypeParam>(21);
  target = String<TypeParam>(midUnits.data());
  EXPECT_EQ(target.CapacityUnits(), 22);
  EXPECT_EQ(Text(target), Text(midUnits));
}

TYPED_TEST(StringTest, SelfAssignmentKeepsTheText) {
  for (int32_t n : {0, 3, 19, 20, 41}) {
    auto units = Units<TypeParam>(n);
    String<TypeParam> s(units.data());
    String<TypeParam> &alias = s;
    s = alias;
    EXPECT_EQ(Text(s), Text(units)) << n;
    EXPECT_EQ(s.IsInline(), n < 20);
  }
}

TYPED_TEST(StringTest, AppendingAStringToItselfDoublesIt) {
  // 10 and 19 units grow from inline storage, 20 and 40 from a heap block:
  // the source must be read after growth has replaced the buffer.
  for (int32_t n : {0, 10, 19, 20, 40}) {
    auto units = Units<TypeParam>(n);
    String<TypeParam> s(units.data());
    s.Append(s);
    EXPECT_EQ(Text(s), Text(units) + Text(units)) << n;
    EXPECT_TRUE(TailIsZero(s));
  }
}

// The whole result is reserved at once: doubling from 20, or exact. Each
// row: the left length, then the capacity for each right length.
TYPED_TEST(StringTest, Concatenation) {
  const int32_t rights[] = {0, 1, 10, 21};
  struct Case {
    int32_t left, capacities[4];
  };
  for (Case c : {Case{0, {20, 20, 20, 40}}, Case{9, {20, 20, 20, 40}}, Case{10, {20, 20, 40, 40}},
                 Case{19, {20, 40, 40, 41}}, Case{20, {40, 40, 40, 42}}}) {
    for (int i = 0; i < 4; ++i) {
      auto a = Units<TypeParam>(c.left), b = Units<TypeParam>(rights[i]);
      String<TypeParam> sa(a.data()), sb(b.data());
      String<TypeParam> joined = sa + sb;
      String<TypeParam> withArray = sa + b.data();
      EXPECT_EQ(Text(joined), Text(a) + Text(b));
      EXPECT_EQ(Text(withArray), Text(a) + Text(b));
      EXPECT_EQ(joined.CapacityUnits(), c.capacities[i]) << c.left << " + " << rights[i];
      EXPECT_EQ(Text(sa), Text(a));
      EXPECT_EQ(Text(sb), Text(b));
    }
  }
}

TYPED_TEST(StringTest, SubstringAndEndsWith) {
  auto units = Units<TypeParam>(21);
  String<TypeParam> s(units.data());
  EXPECT_EQ(Text(s.Substring(0, 21)), Text(units));
  for (int32_t k = 0; k <= 21; ++k)
    EXPECT_EQ(s.Substring(k, k).Length(), 0);
  EXPECT_EQ(Text(s.Substring(2, 5)), Text(units).substr(2, 3));

  String<TypeParam> empty;
  TypeParam dot[] = {'.', 0};
  String<TypeParam> suffix(dot);
  EXPECT_FALSE(empty.EndsWith(suffix));
  EXPECT_TRUE(suffix.EndsWith(suffix));
  EXPECT_TRUE(empty.EndsWith(empty));
  EXPECT_TRUE(s.EndsWith(empty));
  EXPECT_TRUE(s.EndsWith(s.Substring(15, 21)));
  EXPECT_FALSE(s.EndsWith(s.Substring(14, 20)));
  EXPECT_FALSE(s.Substring(0, 3).EndsWith(s));
}

// Every check ends the process with exactly "assertion failed" and status 1.
TYPED_TEST(StringTest, BrokenPreconditionsEndTheProcess) {
  using S = String<TypeParam>;
  auto units = Units<TypeParam>(5);
  S s(units.data());
  const TypeParam *null = nullptr;
  EXPECT_CHECK_FAILS(S(Capacity{0}));
  EXPECT_CHECK_FAILS(S(Capacity{-5}));
  EXPECT_CHECK_FAILS(S{null});
  EXPECT_CHECK_FAILS(S(null, 3));
  EXPECT_CHECK_FAILS(s + null);
  EXPECT_CHECK_FAILS(s.Substring(-1, 2));
  EXPECT_CHECK_FAILS(s.Substring(3, 2));
  EXPECT_CHECK_FAILS(s.Substring(0, 6));
}

// A request that no 32-bit count can hold ends before anything is read or
// allocated.
TYPED_TEST(StringTest, OversizedCopyFails) {
  auto units = Units<TypeParam>(3);
  EXPECT_ALLOCATION_FAILS(String<TypeParam>(units.data(), INT32_MAX));
}

// Sizes at the edge of the 32-bit range, computed without allocating.
// Expected values above INT32_MAX stand for an allocation failure.
TEST(SizeArithmetic, CheckedUnits) {
  for (int64_t units : {int64_t{0}, int64_t{-1}, int64_t{INT32_MAX}, int64_t{INT32_MAX} + 1, INT64_MAX}) {
    if (units > INT32_MAX)
      EXPECT_ALLOCATION_FAILS(CheckedUnits(units));
    else
      EXPECT_EQ(CheckedUnits(units), units);
  }
}

TEST(SizeArithmetic, UnitsNeededCountsTheTerminator) {
  struct Case {
    int32_t length, count;
    int64_t units;
  };
  const Case cases[] = {
      {0, 0, 1},
      {19, 1, 21},
      {-2, 0, -1},
      {INT32_MAX - 2, 1, INT32_MAX},
      {INT32_MAX - 1, 0, INT32_MAX},
      {INT32_MAX - 1, 1, 2147483649},
      {INT32_MAX, 0, 2147483648},
      {0, INT32_MAX, 2147483648},
      {1 << 30, (1 << 30) - 2, INT32_MAX},
      {1 << 30, (1 << 30) - 1, 2147483648},
      {1 << 30, 1 << 30, 2147483649},
      {1100000000, 1100000000, 2200000001},
      {INT32_MAX, INT32_MAX, 4294967295},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.units);
    if (c.units > INT32_MAX)
      EXPECT_ALLOCATION_FAILS(UnitsNeeded(c.length, c.count));
    else
      EXPECT_EQ(UnitsNeeded(c.length, c.count), c.units);
  }
}

// Doubling until it passes the 32-bit range, then the request itself.
TEST(SizeArithmetic, GrownCapacity) {
  struct Case {
    int32_t capacity, needed, grown;
  };
  const Case cases[] = {
      {20, 20, 20},
      {20, 21, 40},
      {20, 100, 100},
      {40, 41, 80},
      {(1 << 30) - 1, 1 << 30, INT32_MAX - 1},
      {1 << 30, (1 << 30) + 1, (1 << 30) + 1},
      {1 << 30, INT32_MAX, INT32_MAX},
      {(1 << 30) + 5, (1 << 30) + 6, (1 << 30) + 6},
      {INT32_MAX - 1, INT32_MAX, INT32_MAX},
      {INT32_MAX, INT32_MAX, INT32_MAX},
  };
  for (const Case &c : cases)
    EXPECT_EQ(GrownCapacity(c.capacity, c.needed), c.grown) << c.capacity << " " << c.needed;
}

// The decimal text of a 64-bit value, with its length and storage.
TEST(DecimalText, Table) {
  struct Case {
    int64_t value;
    const char *text;
    int32_t capacity;
  };
  const Case cases[] = {
      {0, "0", 20},
      {7, "7", 20},
      {-1, "-1", 20},
      {10, "10", 20},
      {-10, "-10", 20},
      {1234567890, "1234567890", 20},
      {-2147483648LL, "-2147483648", 20},
      {2147483648LL, "2147483648", 20},
      {9223372036854775807LL, "9223372036854775807", 20},
      {-1000000000000000000LL, "-1000000000000000000", 40},
      {-9223372036854775807LL, "-9223372036854775807", 40},
      {INT64_MIN, "-9223372036854775808", 40},
  };
  for (const Case &c : cases) {
    NarrowString s(c.value);
    EXPECT_STREQ(s.Data(), c.text);
    EXPECT_EQ(s.Length(), static_cast<int32_t>(std::strlen(c.text)));
    EXPECT_EQ(s.CapacityUnits(), c.capacity) << c.text;
  }
}

// A static string is valid before any dynamic initialiser runs: this
// initialiser, in the same unit but ahead of it, sees its empty state.
extern NarrowString StaticText;
const bool StaticTextWasReady = StaticText.IsInline() && StaticText.Length() == 0 &&
                                StaticText.CapacityUnits() == 20 && StaticText.Data()[0] == 0;
__constinit NarrowString StaticText;

TEST(StaticString, IsConstantInitialised) {
  EXPECT_TRUE(StaticTextWasReady);
  StaticText = NarrowString("a text long enough to need a heap block");
  EXPECT_FALSE(StaticText.IsInline());
}

} // namespace
