#include "FatalCheck.h"

#include <cstdio>
#include <cstdlib>
#include <new>

void FatalCheck(const NarrowString &message, const char *, int32_t) {
  // As "%s" would print it, without bringing formatted output into the
  // programs (mingw-w64's own printf is about 21 KB).
  std::fputs(message.Data(), stdout);
  std::fflush(stdout);
  std::exit(1);
}

void FatalCheck(const char *message, const char *source, int32_t line) {
  FatalCheck(NarrowString(message), source, line);
}

void StringCheck(int32_t line) { FatalCheck("assertion failed", "String", line); }

void AllocationFailure() { throw std::bad_alloc(); }
