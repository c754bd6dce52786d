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
  HKEY eventSource = nullptr;
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

  DWORD CreateEventSourceKey() {
    return RegCreateKeyExW(HKEY_LOCAL_MACHINE, EventSourceKey, 0, nullptr, REG_OPTION_NON_VOLATILE,
                           KEY_SET_VALUE, nullptr, &eventSource, nullptr);
  }

  // The path with its terminator.
  DWORD SetEventSourceValue(const wchar_t *name, const WideString &path) {
    return RegSetValueExW(eventSource, name, 0, REG_EXPAND_SZ, reinterpret_cast<const BYTE *>(path.Data()),
                          static_cast<DWORD>((path.Length() + 1) * sizeof(wchar_t)));
  }

  DWORD SetEventSourceValue(const wchar_t *name, DWORD number) {
    return RegSetValueExW(eventSource, name, 0, REG_DWORD, reinterpret_cast<const BYTE *>(&number),
                          sizeof number);
  }

  DWORD DeleteEventSourceKey() { return RegDeleteKeyW(HKEY_LOCAL_MACHINE, EventSourceKey); }

  DWORD DeleteServiceEntry() { return DeleteService(service) ? ERROR_SUCCESS : GetLastError(); }

  DWORD LastError() { return GetLastError(); }

  void CloseHandles() {
    RegCloseKey(eventSource);
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
  }

  NarrowString DescribeLastError() { return ::DescribeLastError(); }
  NarrowString DescribeError(DWORD error) { return ::DescribeError(error); }
  void ShowErrorBox(const NarrowString &message) { ::ShowErrorBox(message); }
};

} // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  RestrictLibrarySearch();
  Win32Installer installer;
  return Install(installer);
}
