#pragma once

#include <cstdio>
#include <cstdlib>

// A broken property aborts, which libFuzzer reports as a crash and keeps
// the input that caused it.
#define FUZZ_EXPECT(condition)                                                                               \
  do {                                                                                                       \
    if (!(condition)) {                                                                                      \
      std::fprintf(stderr, "%s:%d: expected %s\n", __FILE__, __LINE__, #condition);                          \
      std::abort();                                                                                          \
    }                                                                                                        \
  } while (0)
