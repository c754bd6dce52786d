#include "HostService.h"

#include "HostLogic.h"

// Constant-initialised, so it is valid before any start-up code runs; only
// its destruction at normal exit is registered.
__constinit WideString BaseDirectory;

namespace {

// StatusLock guards everything below it. The handler holds it across its
// SetServiceStatus call, so its report is one step. ServiceMain never calls
// SetServiceStatus while holding it: Wine's SetServiceStatus can wait for a
// running handler, and that handler may be waiting for this lock.
SRWLOCK StatusLock = SRWLOCK_INIT;
SERVICE_STATUS ServiceStatus;
DWORD NextCheckPoint = 1;
SERVICE_STATUS_HANDLE StatusHandle;
HANDLE ServerProcess;
// Zero, which is no state, until ServiceMain is about to report running;
// the handler reports nothing while it is zero.
DWORD ReplyState;
// A stop or shutdown has arrived: the server is not to be launched.
bool StopRequested;
// The stopped report is made or under way: nothing may be reported after it.
bool Stopped;

class StatusLockHolder {
public:
  StatusLockHolder() { AcquireSRWLockExclusive(&StatusLock); }
  ~StatusLockHolder() { ReleaseSRWLockExclusive(&StatusLock); }
  StatusLockHolder(const StatusLockHolder &) = delete;
  StatusLockHolder &operator=(const StatusLockHolder &) = delete;
};

// ServiceMain's reports: the record is filled under the lock and a copy is
// handed to the SCM after the lock is released. A handler's report can come
// between the two only before the stopped report, and then it says running,
// as ServiceMain's own running report does.
void ReportServiceStatus(DWORD state, DWORD waitHint) {
  SERVICE_STATUS report;
  {
    StatusLockHolder hold;
    if (state == SERVICE_STOPPED)
      Stopped = true;
    FillServiceStatus(ServiceStatus, NextCheckPoint, state, waitHint);
    report = ServiceStatus;
  }
  SetServiceStatus(StatusHandle, &report);
}

} // namespace

void WINAPI ServiceControlHandler(DWORD control) {
  StatusLockHolder hold;
  if (Stopped)
    return;
  if (control == SERVICE_CONTROL_STOP || control == SERVICE_CONTROL_SHUTDOWN) {
    StopRequested = true;
    // The server gets no earlier request; its end ends ServiceMain's wait.
    if (ServerProcess != nullptr)
      TerminateProcess(ServerProcess, 0);
  }
  if (ReplyState == 0)
    return;
  FillServiceStatus(ServiceStatus, NextCheckPoint, ReplyState, 0);
  SetServiceStatus(StatusHandle, &ServiceStatus);
}

void WINAPI ServiceMain(DWORD, LPWSTR *) {
  SERVICE_STATUS_HANDLE handle = RegisterServiceCtrlHandlerW(ServiceKeyName, ServiceControlHandler);
  if (handle == nullptr)
    return;
  {
    StatusLockHolder hold;
    StatusHandle = handle;
    ServiceStatus.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    ServiceStatus.dwServiceSpecificExitCode = 0;
    ServiceStatus.dwWin32ExitCode = 0;
  }
  ReportServiceStatus(SERVICE_START_PENDING, 1000);

  {
    StatusLockHolder hold;
    ReplyState = SERVICE_RUNNING;
  }
  ReportServiceStatus(SERVICE_RUNNING, 0);

  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process = {};
  // The launch may rewrite this buffer in place; it lives until the return.
  WideString ServerCommandLine = ComposeServerCommandLine(BaseDirectory);

  HANDLE server;
  {
    // Under the lock, a stop either comes first and prevents the launch,
    // or comes after and finds the process to end.
    StatusLockHolder hold;
    if (!StopRequested) {
      CreateProcessW(nullptr, ServerCommandLine.Data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr,
                     BaseDirectory.Data(), &startup, &process);
      if (process.hThread != nullptr)
        CloseHandle(process.hThread);
      ServerProcess = process.hProcess;
    }
    server = ServerProcess;
  }
  // Only this thread closes the handle, and only after the wait.
  WaitForSingleObject(server, INFINITE);

  {
    StatusLockHolder hold;
    if (ServerProcess != nullptr)
      CloseHandle(ServerProcess);
    ServerProcess = nullptr;
  }
  ReportServiceStatus(SERVICE_STOPPED, 1000);
}
