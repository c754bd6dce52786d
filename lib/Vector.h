#pragma once

#include <cstdint>

// Ends the process with "op=<operation> <a> <b>" on standard output.
[[noreturn]] void ReportRangeFailure(const char *operation, int32_t a, int32_t b);
