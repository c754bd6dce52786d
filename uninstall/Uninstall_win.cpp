#include <windows.h>

#include "ErrorText.h"
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

  // The result is not examined: a failed query leaves the record as it was.
  void QueryStatus(SERVICE_STATUS_PROCESS &status) {
    DWORD needed = 0;
    QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE *>(&status),
                         ServiceStatusProcessSize, &needed);
  }

  // Refused or not, the wait follows.
  void RequestStop() {
    SERVICE_STATUS reply = {};
    ControlService(service, SERVICE_CONTROL_STOP, &reply);
  }

  void Pause(DWORD milliseconds) { Sleep(milliseconds); }
  uint64_t Milliseconds() { return GetTickCount64(); }
  bool DeleteServiceHandle() { return DeleteService(service) != 0; }

  void CloseHandles() {
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
  }

  NarrowString DescribeLastError() { return ::DescribeLastError(); }
  void ShowErrorBox(const NarrowString &message) { ::ShowErrorBox(message); }
};

} // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  Win32Uninstaller uninstaller;
  return Uninstall(uninstaller);
}
