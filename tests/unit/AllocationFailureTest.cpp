#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <new>

namespace {

void SayHandlerRan() { std::fputs("|exit handler ran", stderr); }

void Say(const char *text) {
  std::fputs(text, stderr);
  std::fflush(stderr);
}

[[noreturn]] void ThrowBadAlloc() { throw std::bad_alloc(); }

// Nothing between the throw and this boundary catches, as nothing in the
// programs does.
void ThrowWhereNothingCatches() noexcept {
  Say("before");
  ThrowBadAlloc();
}

// Only what was written before the failure may reach the output: no
// runtime message, no exit handler, nothing that follows.
TEST(AllocationFailure, EndsTheProcessAtOnceWithStatusThree) {
  EXPECT_EXIT(
      {
        std::atexit(SayHandlerRan);
        Say("before");
        void *volatile block = ::operator new(SIZE_MAX / 2);
        Say(block != nullptr ? "|returned" : "|returned null");
      },
      testing::ExitedWithCode(3), "^before$");
}

TEST(AllocationFailure, AThrownBadAllocEndsTheProcessTheSameWay) {
  EXPECT_EXIT(
      {
        std::atexit(SayHandlerRan);
        ThrowWhereNothingCatches();
        Say("|after");
      },
      testing::ExitedWithCode(3), "^before$");
}

} // namespace
