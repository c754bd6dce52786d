#pragma once

#include <cstdint>
#include <cstring>

// The string's checks; each value is the line number that names the check
// when it fails.
enum class StringCheckLine : int32_t {
  CapacityBelowOne = 84,
  NullArray = 113,
  NullSource = 120,
  NullAppendedArray = 227,
  StartBelowZero = 315,
  EndBeforeStart = 316,
  EndPastLength = 319,
  NullTail = 450,
  NullSuffix = 451,
};

// Ends the process with "assertion failed"; the line names the broken check.
[[noreturn]] void StringCheck(int32_t line);
[[noreturn]] inline void StringCheck(StringCheckLine check) { StringCheck(static_cast<int32_t>(check)); }

// Ends the process the way an allocation the allocator cannot meet does: it
// raises std::bad_alloc, which nothing catches. A size too large for the
// 32-bit counts of a string (or of the platform's conversion calls) cannot
// be allocated either, so it takes this same path; no size is ever computed
// in a way that wraps.
[[noreturn]] void AllocationFailure();

// A number of units as a 32-bit count. Negative values pass through, for
// the capacity check to reject.
inline int32_t CheckedUnits(int64_t units) {
  if (units > INT32_MAX)
    AllocationFailure();
  return static_cast<int32_t>(units);
}

// Units for a text of length + count units and its terminator.
inline int32_t UnitsNeeded(int32_t length, int32_t count) {
  return CheckedUnits(int64_t{length} + count + 1);
}

// The growth rule: double in 32-bit arithmetic and take the request when
// doubling is not enough. Past 2^30 units doubling wraps to a negative value,
// which every request exceeds, so the request is taken; a negative result
// would saturate at the largest 32-bit value.
inline int32_t GrownCapacity(int32_t capacity, int32_t needed) {
  if (capacity >= needed)
    return capacity;
  int32_t c = static_cast<int32_t>(static_cast<uint32_t>(capacity) * 2u);
  if (c < needed)
    c = needed;
  if (c < 0)
    c = INT32_MAX;
  return c;
}

// The 16-bit unit of WideString is the one the platform's wide functions
// take: wchar_t on Windows, char16_t elsewhere (where wchar_t is 32 bits).
#ifdef _WIN32
using WideUnit = wchar_t;
#define WIDE_LITERAL(text) L##text
#else
using WideUnit = char16_t;
#define WIDE_LITERAL(text) u##text
#endif
// WIDE("text") is a WideUnit literal; the extra step expands macro arguments.
#define WIDE(text) WIDE_LITERAL(text)
static_assert(sizeof(WideUnit) == 2, "WideString holds 16-bit units");

// Construction with a capacity: String(Capacity{n}).
struct Capacity {
  int32_t units;
};

// A counted, zero-terminated text with room for 20 units inside the object.
template <typename T> class String {
public:
  static constexpr int32_t InlineUnits = 20;

  // The empty inline state; constexpr so that a static string is
  // constant-initialised and valid before any start-up code runs.
  constexpr String() : data_(inline_), inline_{}, capacity_(InlineUnits), length_(0) {}

  explicit String(Capacity n) : String() { Allocate(n.units); }

  String(const T *s) : String() {
    RequireNonNull(s, StringCheckLine::NullArray);
    Assign(s, UnitCount(s));
  }

  // n >= 0 is the caller's guarantee.
  String(const T *p, int32_t n) : String() {
    RequireNonNull(p, StringCheckLine::NullSource);
    Assign(p, n);
  }

  // Decimal text of a 64-bit signed value; NarrowString only.
  explicit String(int64_t value);

  String(const String &o) : String() { Assign(o.data_, o.length_); }

  // Assign releases the target's block before it copies, so a string
  // assigned to itself is left as it is.
  String &operator=(const String &o) {
    if (&o != this)
      Assign(o.data_, o.length_);
    return *this;
  }

  ~String() { ReleaseHeap(); }

  const T *Data() const { return data_; }
  T *Data() { return data_; }
  int32_t Length() const { return length_; }
  int32_t CapacityUnits() const { return capacity_; }
  bool IsInline() const { return data_ == inline_; }

  void Reserve(int32_t n);

  void Append(T unit) {
    Reserve(UnitsNeeded(length_, 1));
    data_[length_] = unit;
    ++length_;
    data_[length_] = 0;
  }

  void Append(const String &o) {
    // o may be this string: take its length now and its data after growth.
    int32_t count = o.length_;
    Reserve(UnitsNeeded(length_, count));
    std::memcpy(data_ + length_, o.data_, sizeof(T) * static_cast<size_t>(count));
    length_ += count;
    data_[length_] = 0;
  }

  String Substring(int32_t start, int32_t end) const {
    if (start < 0)
      StringCheck(StringCheckLine::StartBelowZero);
    if (end < start)
      StringCheck(StringCheckLine::EndBeforeStart);
    if (end > length_)
      StringCheck(StringCheckLine::EndPastLength);
    return String(data_ + start, end - start);
  }

  bool EndsWith(const String &suffix) const {
    if (suffix.length_ > length_)
      return false;
    const T *tail = data_ + (length_ - suffix.length_);
    if (tail == nullptr)
      StringCheck(StringCheckLine::NullTail);
    if (suffix.data_ == nullptr)
      StringCheck(StringCheckLine::NullSuffix);
    for (int32_t i = 0; suffix.data_[i] != 0; ++i)
      if (tail[i] != suffix.data_[i])
        return false;
    return true;
  }

  // Units before the first zero unit.
  static int32_t UnitCount(const T *s) {
    int64_t k = 0;
    while (s[k] != 0)
      ++k;
    return CheckedUnits(k);
  }

private:
  static void RequireNonNull(const T *p, StringCheckLine check) {
    if (p == nullptr)
      StringCheck(check);
  }

  // Sets up an empty string of exactly n units (inline up to 20); the
  // string must be in the empty inline state.
  void Allocate(int32_t n) {
    if (n < 1)
      StringCheck(StringCheckLine::CapacityBelowOne);
    if (n > InlineUnits) {
      data_ = new T[static_cast<size_t>(n)]();
      capacity_ = n;
    }
  }

  // Rebuilds the string from scratch as the n units at p, with the exact
  // capacity n + 1 (inline up to 20); the zero fill supplies the
  // terminator. p must not point into this string: its block goes first.
  void Assign(const T *p, int32_t n) {
    int32_t units = UnitsNeeded(n, 0);
    ReleaseHeap();
    data_ = inline_;
    std::memset(inline_, 0, sizeof inline_);
    capacity_ = InlineUnits;
    length_ = 0;
    Allocate(units);
    std::memcpy(data_, p, sizeof(T) * static_cast<size_t>(n));
    length_ = n;
  }

  void ReleaseHeap() {
    if (data_ != inline_)
      delete[] data_;
  }

  // data_ points at inline_ exactly while capacity_ is 20; every unit from
  // length_ to capacity_ - 1 is zero, so growth copies text, not terminator.
  T *data_;
  T inline_[InlineUnits];
  int32_t capacity_;
  int32_t length_;
};

template <typename T> void String<T>::Reserve(int32_t n) {
  if (capacity_ >= n)
    return;
  int32_t c = GrownCapacity(capacity_, n);
  T *block = new T[static_cast<size_t>(c)]();
  std::memcpy(block, data_, sizeof(T) * static_cast<size_t>(length_));
  ReleaseHeap();
  data_ = block;
  capacity_ = c;
}

template <typename T> String<T>::String(int64_t value) : String() {
  static_assert(sizeof(T) == 1, "decimal text is narrow");
  if (value == 0) {
    Append('0');
    return;
  }
  int32_t start = 0;
  if (value < 0) {
    Append('-');
    start = 1;
  }
  // Unsigned magnitude, so that -9223372036854775808 has one too.
  uint64_t m = value < 0 ? 0u - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
  while (m != 0) {
    Reserve(UnitsNeeded(length_, 1));
    uint64_t q = m / 10;
    Append(static_cast<T>('0' + (m - 10 * q)));
    m = q;
  }
  for (int32_t i = 0; i < (length_ - start) / 2; ++i) {
    T t = data_[start + i];
    data_[start + i] = data_[length_ - 1 - i];
    data_[length_ - 1 - i] = t;
  }
}

template <typename T> String<T> operator+(const String<T> &a, const String<T> &b) {
  String<T> result;
  result.Reserve(UnitsNeeded(a.Length(), b.Length()));
  result.Append(a);
  result.Append(b);
  return result;
}

template <typename T> String<T> operator+(const String<T> &a, const T *s) {
  if (s == nullptr)
    StringCheck(StringCheckLine::NullAppendedArray);
  String<T> result;
  int32_t k = String<T>::UnitCount(s);
  result.Reserve(UnitsNeeded(a.Length(), k));
  result.Append(a);
  for (int32_t i = 0; i < k; ++i)
    result.Append(s[i]);
  return result;
}

using NarrowString = String<char>;
using WideString = String<WideUnit>;
