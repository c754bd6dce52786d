#include "Vector.h"

#include "FatalCheck.h"

void ReportRangeFailure(const char *operation, int32_t a, int32_t b) {
  NarrowString message =
      NarrowString("op=") + operation + " " + NarrowString(int64_t{a}) + " " + NarrowString(int64_t{b});
  FatalCheck(message, "Vector", 5);
}
