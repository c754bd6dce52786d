#include "SystemLibrary.h"

// Imported, not looked up: Windows 7 without KB2533623 lacks it, and there
// the loader refuses to start the program rather than let it run with its
// own folder on the search path.
void RestrictLibrarySearch() { SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32); }

HMODULE LoadSystemLibrary(const wchar_t *name) {
  return LoadLibraryExW(name, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
}
