#pragma once

#include <windows.h>

// Libraries from System32 alone: a program started from a folder that
// others can write must not load what was planted beside it.
void RestrictLibrarySearch();
HMODULE LoadSystemLibrary(const wchar_t *name);

// A procedure of a loaded library, as its own type; false when it has none.
template <typename Function> bool FindProcedure(HMODULE library, const char *name, Function *&procedure) {
  procedure = reinterpret_cast<Function *>(reinterpret_cast<void *>(GetProcAddress(library, name)));
  return procedure != nullptr;
}
