// The string template against std::basic_string as its model, for both unit
// types. The input is a program of operations on a few strings; after every
// step each string must hold its model's text, the capacity the growth rule
// gives, and the invariants of its storage.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "FuzzExpect.h"
#include "String.h"

namespace {

constexpr int Slots = 4;
constexpr int Steps = 48;
// Short texts keep a run fast and still cross the inline boundary and
// several doublings.
constexpr int32_t MaxLength = 300;
constexpr int32_t MaxArray = 48;
// Every pair of bounds is tried on texts up to this length.
constexpr int32_t ExhaustiveLength = 24;

template <typename T> struct Model {
  std::basic_string<T> text;
  int32_t capacity;
};

// What the growth rule gives at these sizes, where doubling cannot wrap.
int32_t AfterReserve(int32_t capacity, int32_t needed) {
  if (capacity >= needed)
    return capacity;
  return std::max(2 * capacity, needed);
}

// A string built for exactly n units: inline, or a block of n + 1.
int32_t ExactCapacity(size_t n) { return std::max(static_cast<int32_t>(n) + 1, 20); }

template <typename T> Model<T> Exact(const std::basic_string<T> &text) {
  return {text, ExactCapacity(text.size())};
}

template <typename T> void ExpectMatches(const String<T> &s, const Model<T> &model) {
  FUZZ_EXPECT(s.Length() == static_cast<int32_t>(model.text.size()));
  FUZZ_EXPECT(std::equal(model.text.begin(), model.text.end(), s.Data()));
  FUZZ_EXPECT(s.CapacityUnits() == model.capacity);
  FUZZ_EXPECT(s.CapacityUnits() >= s.Length() + 1);
  FUZZ_EXPECT(s.CapacityUnits() >= String<T>::InlineUnits);
  FUZZ_EXPECT(s.IsInline() == (s.CapacityUnits() == String<T>::InlineUnits));
  // The terminator and everything after it.
  for (int32_t i = s.Length(); i < s.CapacityUnits(); ++i)
    FUZZ_EXPECT(s.Data()[i] == 0);
}

// A few letters, so that texts share tails for EndsWith, and the extremes:
// zero, 0x7F, and units with the top bit set (negative as char).
template <typename T> T NextUnit(FuzzedDataProvider &input) {
  static const T Alphabet[16] = {0,
                                 'a',
                                 'b',
                                 'c',
                                 'a',
                                 'b',
                                 'c',
                                 'a',
                                 'b',
                                 'c',
                                 ' ',
                                 '.',
                                 0x7F,
                                 static_cast<T>(0x80),
                                 static_cast<T>(0xFF),
                                 static_cast<T>(~0u)};
  return Alphabet[input.ConsumeIntegral<uint8_t>() & 15];
}

// n units (zero included) in a block of exactly n, so that ASan sees any
// read past them.
template <typename T> std::unique_ptr<T[]> NextUnits(FuzzedDataProvider &input, int32_t n) {
  std::unique_ptr<T[]> block(new T[static_cast<size_t>(n)]);
  for (int32_t i = 0; i < n; ++i)
    block[i] = NextUnit<T>(input);
  return block;
}

// A zero-terminated array: its units and its terminator fill the block.
template <typename T> std::unique_ptr<T[]> NextArray(FuzzedDataProvider &input, std::basic_string<T> *text) {
  int32_t n = input.ConsumeIntegralInRange<int32_t>(0, MaxArray);
  std::unique_ptr<T[]> block = NextUnits<T>(input, n + 1);
  block[n] = 0;
  *text = std::basic_string<T>(block.get());
  return block;
}

// The model of appending units one at a time to an empty string.
template <typename T> Model<T> AppendedOneByOne(const std::basic_string<T> &text) {
  Model<T> model{{}, 20};
  for (T unit : text) {
    model.capacity = AfterReserve(model.capacity, static_cast<int32_t>(model.text.size()) + 2);
    model.text += unit;
  }
  return model;
}

// EndsWith compares the tail up to the suffix's first zero unit.
template <typename T>
bool ModelEndsWith(const std::basic_string<T> &text, const std::basic_string<T> &suffix) {
  if (suffix.size() > text.size())
    return false;
  size_t compared = std::min(suffix.find(T(0)), suffix.size());
  return text.compare(text.size() - suffix.size(), compared, suffix, 0, compared) == 0;
}

template <typename T> void Run(FuzzedDataProvider &input) {
  std::optional<String<T>> strings[Slots];
  Model<T> models[Slots];
  for (int i = 0; i < Slots; ++i) {
    strings[i].emplace();
    models[i] = {{}, 20};
  }
  for (int step = 0; step < Steps && input.remaining_bytes() > 0; ++step) {
    int i = input.ConsumeIntegralInRange(0, Slots - 1);
    int j = input.ConsumeIntegralInRange(0, Slots - 1);
    String<T> &s = *strings[i];
    Model<T> &model = models[i];
    const String<T> &o = *strings[j];
    const Model<T> other = models[j];
    int32_t length = static_cast<int32_t>(model.text.size());
    int32_t otherLength = static_cast<int32_t>(other.text.size());
    switch (input.ConsumeIntegralInRange(0, 14)) {
    case 0:
      strings[i].emplace();
      model = {{}, 20};
      break;
    case 1: {
      int32_t n = input.ConsumeIntegralInRange<int32_t>(1, MaxLength + 1);
      strings[i].emplace(Capacity{n});
      model = {{}, std::max(n, 20)};
      break;
    }
    case 2: {
      std::basic_string<T> text;
      auto array = NextArray<T>(input, &text);
      strings[i].emplace(array.get());
      model = Exact(text);
      break;
    }
    case 3: {
      int32_t n = input.ConsumeIntegralInRange<int32_t>(0, MaxArray);
      auto units = NextUnits<T>(input, n);
      strings[i].emplace(units.get(), n);
      model = Exact(std::basic_string<T>(units.get(), static_cast<size_t>(n)));
      break;
    }
    case 4:
      if constexpr (sizeof(T) == 1) {
        int64_t value = input.ConsumeIntegral<int64_t>();
        strings[i].emplace(value);
        model = AppendedOneByOne(std::to_string(value));
      }
      break;
    case 5: {
      String<T> copy(o);
      ExpectMatches(copy, Exact(other.text));
      strings[i].emplace(copy);
      model = Exact(other.text);
      break;
    }
    case 6:
      // Assigning a string to itself leaves it as it is.
      s = o;
      if (i != j)
        model = Exact(other.text);
      break;
    case 7: {
      int32_t n = input.ConsumeIntegralInRange<int32_t>(-2, MaxLength + 1);
      s.Reserve(n);
      model.capacity = AfterReserve(model.capacity, n);
      break;
    }
    case 8:
      if (length < MaxLength) {
        T unit = NextUnit<T>(input);
        s.Append(unit);
        model.capacity = AfterReserve(model.capacity, length + 2);
        model.text += unit;
      }
      break;
    case 9:
      // o may be s itself.
      if (length + otherLength <= MaxLength) {
        s.Append(o);
        model.capacity = AfterReserve(model.capacity, length + otherLength + 1);
        model.text += other.text;
      }
      break;
    case 10: {
      // The second operand may be the first.
      int k = input.ConsumeBool() ? j : input.ConsumeIntegralInRange(0, Slots - 1);
      const Model<T> second = models[k];
      if (otherLength + second.text.size() <= MaxLength) {
        String<T> joined = o + *strings[k];
        ExpectMatches(joined,
                      Model<T>{other.text + second.text,
                               AfterReserve(20, otherLength + static_cast<int32_t>(second.text.size()) + 1)});
        s = joined;
        model = Exact(other.text + second.text);
      }
      break;
    }
    case 11: {
      std::basic_string<T> text;
      auto array = NextArray<T>(input, &text);
      String<T> joined = o + array.get();
      ExpectMatches(joined, Model<T>{other.text + text,
                                     AfterReserve(20, otherLength + static_cast<int32_t>(text.size()) + 1)});
      if (otherLength + text.size() <= MaxLength) {
        s = joined;
        model = Exact(other.text + text);
      }
      break;
    }
    case 12: {
      int32_t start = input.ConsumeIntegralInRange<int32_t>(0, otherLength);
      int32_t end = input.ConsumeIntegralInRange<int32_t>(start, otherLength);
      String<T> part = o.Substring(start, end);
      std::basic_string<T> text =
          other.text.substr(static_cast<size_t>(start), static_cast<size_t>(end - start));
      ExpectMatches(part, Exact(text));
      s = part;
      model = Exact(text);
      break;
    }
    case 13:
      if (otherLength <= ExhaustiveLength)
        for (int32_t start = 0; start <= otherLength; ++start)
          for (int32_t end = start; end <= otherLength; ++end)
            ExpectMatches(
                o.Substring(start, end),
                Exact(other.text.substr(static_cast<size_t>(start), static_cast<size_t>(end - start))));
      break;
    case 14: {
      FUZZ_EXPECT(s.EndsWith(o) == ModelEndsWith(model.text, other.text));
      // Every tail of a text is a suffix of it.
      int32_t start = input.ConsumeIntegralInRange<int32_t>(0, length);
      FUZZ_EXPECT(s.EndsWith(s.Substring(start, length)));
      break;
    }
    }
    for (int k = 0; k < Slots; ++k)
      ExpectMatches(*strings[k], models[k]);
  }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  FuzzedDataProvider input(data, size);
  if (input.ConsumeBool())
    Run<char>(input);
  else
    Run<WideUnit>(input);
  return 0;
}
