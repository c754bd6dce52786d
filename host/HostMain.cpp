#include <fcntl.h>
#include <io.h>

#include <cstdio>

#include "HostLogic.h"
#include "HostService.h"
#include "SystemLibrary.h"

int wmain(int, wchar_t **argv, wchar_t **) {
  RestrictLibrarySearch();
  BaseDirectory = DeriveBaseDirectory(argv[0]);

  SERVICE_TABLE_ENTRYW ServiceTable[] = {
      {const_cast<LPWSTR>(ServiceKeyName), ServiceMain},
      {nullptr, nullptr},
  };
  if (StartServiceCtrlDispatcherW(ServiceTable))
    return 0;
  // Binary, so that the line end reaches standard error as the one "\n"
  // written, not as the C runtime's text-mode "\r\n".
  _setmode(_fileno(stderr), _O_BINARY);
  std::fputs(ORVANEL_DISPLAY_NAME " can be launched only as a Windows service\n", stderr);
  return -1;
}
