// The shaping of error descriptions on arbitrary texts and codes: the
// input's first byte says whether there is a text, the next four give the
// code, the rest is the text.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "ErrorText.h"
#include "FuzzExpect.h"

namespace {

bool IsBlank(char c) { return static_cast<unsigned char>(c) >= 1 && static_cast<unsigned char>(c) <= 32; }

bool AllBlank(const std::string &s) {
  for (char c : s)
    if (!IsBlank(c))
      return false;
  return true;
}

bool EndsWith(const std::string &s, const std::string &suffix) {
  return s.size() >= suffix.size() && s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  FuzzedDataProvider input(data, size);
  bool hasText = input.ConsumeBool();
  DWORD code = input.ConsumeIntegral<uint32_t>();
  std::vector<char> bytes = input.ConsumeRemainingBytes<char>();
  // A block of exactly the text's size, so that ASan sees any read past it.
  std::unique_ptr<char[]> block(new char[bytes.size()]);
  std::copy(bytes.begin(), bytes.end(), block.get());
  NarrowString text(block.get(), static_cast<int32_t>(bytes.size()));

  NarrowString shaped = ShapeErrorDescription(hasText ? &text : nullptr, code);
  std::string result(shaped.Data(), static_cast<size_t>(shaped.Length()));
  FUZZ_EXPECT(shaped.Data()[shaped.Length()] == 0);

  // The code, read as signed, closes every description.
  std::string suffix = " (code " + std::to_string(static_cast<int32_t>(code)) + ")";
  FUZZ_EXPECT(EndsWith(result, suffix));
  std::string part = result.substr(0, result.size() - suffix.size());
  if (!hasText) {
    FUZZ_EXPECT(part == "Unknown error");
    return 0;
  }

  // The text is what is left between blanks (bytes 1 to 32) at both ends,
  // less at most one full stop at its end; blanks before that stop stay.
  std::string original(bytes.begin(), bytes.end());
  size_t lead = 0;
  while (lead < original.size() && IsBlank(original[lead]))
    ++lead;
  FUZZ_EXPECT(part.empty() || !IsBlank(part.front()));
  FUZZ_EXPECT(original.compare(lead, part.size(), part) == 0);
  std::string rest = original.substr(std::min(lead + part.size(), original.size()));
  bool stopRemoved = !rest.empty() && rest.front() == '.';
  FUZZ_EXPECT(AllBlank(stopRemoved ? rest.substr(1) : rest));
  if (!stopRemoved)
    FUZZ_EXPECT(part.empty() || (!IsBlank(part.back()) && part.back() != '.'));
  return 0;
}
