#include "FatalCheck.h"

#include <cstdio>
#include <cstdlib>
#include <new>

void FatalCheck(const NarrowString &message, const char *, int32_t) {
  std::printf("%s", message.Data());
  std::fflush(stdout);
  std::exit(1);
}

void FatalCheck(const char *message, const char *source, int32_t line) {
  FatalCheck(NarrowString(message), source, line);
}

void StringCheck(int32_t line) { FatalCheck("assertion failed", "String", line); }

void AllocationFailure() { throw std::bad_alloc(); }
