#include <windows.h>

#include "ErrorText.h"
#include "SystemLibrary.h"
#include "Uninstall.h"

namespace {

// The uninstaller's calls into Win32. The handles stay open on failure
// paths: the process ends right after and the system releases them.
struct Win32Uninstaller {
  SC_HANDLE manager = nullptr;
  SC_HANDLE service = nullptr;

  bool OpenManager() {
    manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    return manager != nullptr;
  }

  bool OpenServiceHandle() {
    service = OpenServiceW(manager, ServiceKeyName, SERVICE_ALL_ACCESS);
    return service != nullptr;
  }

  DWORD LastError() { return GetLastError(); }

  DWORD QueryState() { return QueryServiceState(service); }

  // Refused or not, the wait follows.
  void RequestStop() {
    SERVICE_STATUS reply = {};
    ControlService(service, SERVICE_CONTROL_STOP, &reply);
  }

  void Pause(DWORD milliseconds) { Sleep(milliseconds); }
  uint64_t Milliseconds() { return GetTickCount64(); }
  bool DeleteServiceHandle() { return DeleteService(service) != 0; }
  DWORD DeleteEventSourceKey() { return RegDeleteKeyW(HKEY_LOCAL_MACHINE, EventSourceKey); }

  void CloseHandles() {
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
  Win32Uninstaller uninstaller;
  return Uninstall(uninstaller);
}
