#include <cerrno>
#include <cstdio>
#include <cstring>

#include "ErrorText.h"

// Stand-ins: errno is the per-thread last error, glibc's description table
// the system texts (it has none for an unknown code), and standard error
// the box.

NarrowString DescribeLastError() { return DescribeError(static_cast<DWORD>(errno)); }

NarrowString DescribeError(DWORD code) {
  const char *text = strerrordesc_np(static_cast<int>(code));
  if (text == nullptr)
    return ShapeErrorDescription(nullptr, code);
  NarrowString systemText(text);
  return ShapeErrorDescription(&systemText, code);
}

void ShowErrorBox(const NarrowString &message) {
  std::fprintf(stderr, "%s\n%s\n", ProductCaption, message.Data());
  std::fflush(stderr);
}

// There is no service manager here, so every query fails.
DWORD QueryServiceState(SC_HANDLE) { return 0; }
