#include <windows.h>

#include <cstdlib>
#include <cwchar>

#include "ErrorText.h"
#include "Install.h"
#include "SecurityPlatform.h"
#include "SystemLibrary.h"

namespace {

// The installer's calls into Win32. The handles stay open on failure
// paths: the process ends right after and the system releases them.
struct Win32Installer {
  SC_HANDLE manager = nullptr;
  SC_HANDLE service = nullptr;
  Win32Security security{Naming::AskAnyone};

  Win32Security &Security() { return security; }

  bool OpenManager() {
    manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    return manager != nullptr;
  }

  // A null result fails the string's null-text check, which ends the
  // process with status 1.
  WideString CurrentDirectory() {
    wchar_t *directory = _wgetcwd(nullptr, 4096);
    WideString copy(directory);
    std::free(directory);
    return copy;
  }

  bool CreateServiceEntry(const WideString &imagePath) {
    service = CreateServiceW(manager, ServiceKeyName, ServiceDisplayName, SERVICE_ALL_ACCESS,
                             SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL,
                             imagePath.Data(), nullptr, nullptr, nullptr, nullptr, nullptr);
    return service != nullptr;
  }

  DWORD LastError() { return GetLastError(); }

  void CloseHandles() {
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
  }

  NarrowString DescribeLastError() { return ::DescribeLastError(); }
  void ShowErrorBox(const NarrowString &message) { ::ShowErrorBox(message); }
};

} // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  RestrictLibrarySearch();
  Win32Installer installer;
  return Install(installer);
}
