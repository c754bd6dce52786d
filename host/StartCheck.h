#pragma once

// The installer's check of what the service runs, made again at every
// start: permissions loosened after the installation would otherwise hand
// LocalSystem to whoever loosened them. On Windows StartCheck_win.cpp makes
// it; a test of the service objects gives its own definition.

#include "PermissionCheck.h"
#include "String.h"

// The Win32 exit code of a start that the check refused. No launch of the
// runtime gives it, and its text ("An internal error occurred.") sends no
// one looking elsewhere: the event that the host writes says what.
constexpr DWORD StartRefusedError = 1359; // ERROR_INTERNAL_ERROR

// Judges the installation in directory; refused with the installer's text.
// Ends early, stopped, once stopping() says so; stopping() must not wait.
Verdict CheckStart(const WideString &directory, bool (*stopping)(), NarrowString &refusal);
