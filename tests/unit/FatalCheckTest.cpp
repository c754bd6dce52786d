#include <gtest/gtest.h>

#include <cstdlib>

#include "FatalCheck.h"
#include "StdoutCapture.h"
#include "Vector.h"

namespace {

void SayHandlerRan() { std::fputs("|exit handler ran", stderr); }

// Each case writes something, then ends through a check; the regex is the
// whole of what reached the output, so nothing may be added or lost.
TEST(FatalCheck, PrintsExactlyTheMessageAndExitsWithOne) {
  struct Case {
    void (*run)();
    const char *output;
  };
  const Case cases[] = {
      {[] { FatalCheck(NarrowString("plain text"), "Test", 1); }, "^plain text$"},
      {[] { FatalCheck("zero-terminated", "Test", 2); }, "^zero-terminated$"},
      {[] { FatalCheck("", "Test", 3); }, "^$"},
      {[] { StringCheck(84); }, "^assertion failed$"},
      {[] { ReportRangeFailure("get", 5, 3); }, "^op=get 5 3$"},
      {[] { ReportRangeFailure("NAME", -1, 0); }, "^op=NAME -1 0$"},
      {[] { ReportRangeFailure("at", INT32_MIN, INT32_MAX); }, "^op=at -2147483648 2147483647$"},
      {[] { ReportRangeFailure(nullptr, 1, 2); }, "^assertion failed$"},
      {[] {
         std::printf("before ");
         StringCheck(1);
       },
       "^before assertion failed$"},
  };
  for (const Case &c : cases) {
    EXPECT_EXIT(
        {
          StdoutToStderr();
          c.run();
        },
        testing::ExitedWithCode(1), c.output);
  }
}

TEST(FatalCheck, EndsThroughNormalTerminationSoExitHandlersRun) {
  EXPECT_EXIT(
      {
        StdoutToStderr();
        std::atexit(SayHandlerRan);
        StringCheck(120);
      },
      testing::ExitedWithCode(1), "^assertion failed\\|exit handler ran$");
}

} // namespace
