#include "HostService.h"

#include <utility>

#include "HostLogic.h"
#include "ScopedHandle.h"

// Constant-initialised, so it is valid before any start-up code runs; only
// its destruction at normal exit is registered.
__constinit WideString BaseDirectory;

namespace {

// What ServiceMain and the handler share. The handler holds Lock across its
// SetServiceStatus call, so its report is one step. ServiceMain never calls
// SetServiceStatus while holding it: Wine's SetServiceStatus can wait for a
// running handler, and that handler may be waiting for this lock.
struct HostState {
  SRWLOCK Lock = SRWLOCK_INIT;
  SERVICE_STATUS Status = {};                   // guarded by Lock
  DWORD NextCheckPoint = 1;                     // guarded by Lock
  SERVICE_STATUS_HANDLE StatusHandle = nullptr; // guarded by Lock
  // Zero, which is no state, until ServiceMain is about to report running;
  // the handler reports nothing while it is zero.
  DWORD ReplyState = 0; // guarded by Lock
  // The server, and the job that holds it and every process it starts;
  // the job is null when the server could not be put in one.
  ScopedHandle ServerProcess; // guarded by Lock
  ScopedHandle ServerJob;     // guarded by Lock
  // A stop or shutdown has arrived: the server is not to be launched, and
  // its end is no failure.
  bool StopRequested = false; // guarded by Lock
  // The stopped report is made or under way: nothing may follow it.
  bool Stopped = false; // guarded by Lock
};

__constinit HostState Host;

class LockHolder {
public:
  LockHolder() { AcquireSRWLockExclusive(&Host.Lock); }
  ~LockHolder() { ReleaseSRWLockExclusive(&Host.Lock); }
  LockHolder(const LockHolder &) = delete;
  LockHolder &operator=(const LockHolder &) = delete;
};

// ServiceMain's reports: the record is filled under the lock and a copy is
// handed to the SCM after the lock is released. A handler's report can come
// between the two only before the stopped report, and then it says running,
// as ServiceMain's own running report does.
void ReportServiceStatus(DWORD state, DWORD waitHint) {
  SERVICE_STATUS report;
  {
    LockHolder hold;
    FillServiceStatus(Host.Status, Host.NextCheckPoint, state, waitHint);
    report = Host.Status;
  }
  SetServiceStatus(Host.StatusHandle, &report);
}

// The stopped report, with the exit codes that tell how the server ended.
// The codes are decided, and the server's handles released, in the same
// step that fills the record, so no other report carries them.
void ReportStopped(DWORD serverError, DWORD serverExitCode) {
  SERVICE_STATUS report;
  {
    LockHolder hold;
    StoppedExitCodes codes = DecideStoppedExitCodes(Host.StopRequested, serverError, serverExitCode);
    // Closing the job ends whatever the server left running in it.
    Host.ServerJob.Reset();
    Host.ServerProcess.Reset();
    Host.Stopped = true;
    Host.Status.dwWin32ExitCode = codes.Win32;
    Host.Status.dwServiceSpecificExitCode = codes.Specific;
    FillServiceStatus(Host.Status, Host.NextCheckPoint, SERVICE_STOPPED, 1000);
    report = Host.Status;
  }
  SetServiceStatus(Host.StatusHandle, &report);
}

// A job that ends every process in it when its last handle closes, so that
// the server and all it started end with the host, however the host ends. A
// process that asks to break away may. Null when the system refuses one.
ScopedHandle CreateServerJob() {
  ScopedHandle job(CreateJobObjectW(nullptr, nullptr));
  if (!job.IsValid())
    return job;
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
  limits.BasicLimitInformation.LimitFlags =
      JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE | JOB_OBJECT_LIMIT_BREAKAWAY_OK;
  if (!SetInformationJobObject(job.Get(), JobObjectExtendedLimitInformation, &limits, sizeof limits))
    job.Reset();
  return job;
}

struct Launch {
  ScopedHandle Process;
  ScopedHandle Job; // null: the server runs outside a job
  DWORD Error = 0;  // what kept the server from running
};

// Starts the server without a window in BaseDirectory. With a job, it is
// created suspended and joins the job before it runs any code of its own,
// so nothing it starts can escape unasked. Without one (none could be made,
// or the server could not join it, as when the host's own job forbids it)
// the server runs all the same.
Launch LaunchServer(WideString &commandLine) {
  Launch launch;
  launch.Job = CreateServerJob();
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process = {};
  DWORD flags = CREATE_NO_WINDOW | (launch.Job.IsValid() ? CREATE_SUSPENDED : 0);
  if (!CreateProcessW(nullptr, commandLine.Data(), nullptr, nullptr, TRUE, flags, nullptr,
                      BaseDirectory.Data(), &startup, &process)) {
    launch.Error = GetLastError();
    launch.Job.Reset();
    return launch;
  }
  launch.Process.Reset(process.hProcess);
  ScopedHandle thread(process.hThread);
  if (launch.Job.IsValid()) {
    if (!AssignProcessToJobObject(launch.Job.Get(), launch.Process.Get()))
      launch.Job.Reset();
    if (ResumeThread(thread.Get()) == static_cast<DWORD>(-1)) {
      // A server that cannot run would keep the service waiting for ever.
      launch.Error = GetLastError();
      TerminateProcess(launch.Process.Get(), 0);
      launch.Process.Reset();
      launch.Job.Reset();
    }
  }
  return launch;
}

// Ends the server with exit code 0, and with it every process of its job.
void EndServer() {
  if (Host.ServerJob.IsValid())
    TerminateJobObject(Host.ServerJob.Get(), 0);
  else if (Host.ServerProcess.IsValid())
    TerminateProcess(Host.ServerProcess.Get(), 0);
}

} // namespace

void WINAPI ServiceControlHandler(DWORD control) {
  LockHolder hold;
  if (Host.Stopped)
    return;
  if (control == SERVICE_CONTROL_STOP || control == SERVICE_CONTROL_SHUTDOWN) {
    Host.StopRequested = true;
    // The server gets no earlier request; its end ends ServiceMain's wait.
    EndServer();
  }
  if (Host.ReplyState == 0)
    return;
  FillServiceStatus(Host.Status, Host.NextCheckPoint, Host.ReplyState, 0);
  SetServiceStatus(Host.StatusHandle, &Host.Status);
}

void WINAPI ServiceMain(DWORD, LPWSTR *) {
  SERVICE_STATUS_HANDLE handle = RegisterServiceCtrlHandlerW(ServiceKeyName, ServiceControlHandler);
  if (handle == nullptr)
    return;
  {
    LockHolder hold;
    Host.StatusHandle = handle;
    Host.Status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    Host.Status.dwServiceSpecificExitCode = 0;
    Host.Status.dwWin32ExitCode = 0;
  }
  ReportServiceStatus(SERVICE_START_PENDING, 1000);

  {
    LockHolder hold;
    Host.ReplyState = SERVICE_RUNNING;
  }
  ReportServiceStatus(SERVICE_RUNNING, 0);

  // The launch may rewrite this buffer in place; it lives until the return.
  WideString ServerCommandLine = ComposeServerCommandLine(BaseDirectory);
  DWORD serverError = 0;
  HANDLE server;
  {
    // Under the lock, a stop either comes first and prevents the launch,
    // or comes after it and finds the server, in its job, to end.
    LockHolder hold;
    if (!Host.StopRequested) {
      Launch launch = LaunchServer(ServerCommandLine);
      serverError = launch.Error;
      Host.ServerProcess = std::move(launch.Process);
      Host.ServerJob = std::move(launch.Job);
    }
    server = Host.ServerProcess.Get();
  }
  // Only ReportStopped closes the handle, after the wait; with no server the
  // wait returns at once.
  WaitForSingleObject(server, INFINITE);
  DWORD exitCode = 0;
  if (server != nullptr && !GetExitCodeProcess(server, &exitCode))
    serverError = GetLastError();
  ReportStopped(serverError, exitCode);
}
