#pragma once

#include <cstdio>
#include <new>

#ifdef _WIN32
#include <io.h>
#define dup2 _dup2
#define fileno _fileno
#else
#include <unistd.h>
#endif

// Death tests match standard error; a fatal check writes to standard output.
// Inside a death test's child, send standard output to standard error so the
// exact bytes of the message can be matched.
inline void StdoutToStderr() {
  std::fflush(stdout);
  dup2(fileno(stderr), fileno(stdout));
}

// The statement must end the process through a string check.
#define EXPECT_CHECK_FAILS(statement)                                                                        \
  EXPECT_EXIT(                                                                                               \
      {                                                                                                      \
        StdoutToStderr();                                                                                    \
        statement;                                                                                           \
      },                                                                                                     \
      testing::ExitedWithCode(1), "^assertion failed$")

// The statement must end in an allocation failure, which today raises
// std::bad_alloc for nothing to catch.
#define EXPECT_ALLOCATION_FAILS(statement) EXPECT_THROW(statement, std::bad_alloc)
