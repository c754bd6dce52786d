#pragma once

// The installer's check of what the service runs, made again at every
// start: permissions loosened after the installation would otherwise hand
// LocalSystem to whoever loosened them. On Windows StartCheck_win.cpp makes
// it; a test of the service objects gives its own definition.

#include "PermissionCheck.h"
#include "String.h"

// The Win32 exit code of a start that the check refused: ERROR_REQUEST_REFUSED,
// "The operator or administrator has refused the request." No launch of the
// runtime gives it (Wine's failed creation gives ERROR_INTERNAL_ERROR), and
// its text says that the start was refused on purpose, not that something
// broke; the event that the host writes says why.
constexpr DWORD StartRefusedError = 4320;

// Judges the installation in directory; refused with the installer's text.
// Ends early, stopped, once stopping() says so; stopping() must not wait.
Verdict CheckStart(const WideString &directory, bool (*stopping)(), NarrowString &refusal);
