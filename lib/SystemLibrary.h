#pragma once

// Windows only: for the programs' Windows sources.
//
// The programs run from the installation directory, elevated or as
// LocalSystem, and Windows looks for a library in the program's own folder
// first. A library planted there under the name of one that the system
// loads by name (user32 loads uxtheme.dll behind every message box) would
// run with the program's rights. So the programs load libraries from
// System32 only.

#include <windows.h>

// Makes System32 the only place where this process looks for a library
// loaded by name, the system's own loads included. Call it first thing in
// the entry point, before anything can load a library.
void RestrictLibrarySearch();

// The library of that name from System32, or null on failure with the
// thread's last error saying why.
HMODULE LoadSystemLibrary(const wchar_t *name);

// A procedure of a loaded library, as its own type; false when it has none.
template <typename Function> bool FindProcedure(HMODULE library, const char *name, Function *&procedure) {
  procedure = reinterpret_cast<Function *>(reinterpret_cast<void *>(GetProcAddress(library, name)));
  return procedure != nullptr;
}
