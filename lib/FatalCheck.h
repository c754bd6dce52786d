#pragma once

#include "String.h"

// Print the message (its bytes only) to standard output, flush, and end the
// process with status 1 through exit(), so exit handlers still run. The
// source name and line identify the check in the source; they are not printed.
[[noreturn]] void FatalCheck(const NarrowString &message, const char *source, int32_t line);
[[noreturn]] void FatalCheck(const char *message, const char *source, int32_t line);
