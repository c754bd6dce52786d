#include "HostService.h"

#include <atomic>
#include <utility>

#include "Encoding.h"
#include "ErrorText.h"
#include "EventLog.h"
#include "HostLogic.h"
#include "ScopedHandle.h"
#include "StartCheck.h"

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
  SERVICE_STATUS Status = {}; // guarded by Lock
  DWORD NextCheckPoint = 1;   // guarded by Lock
  // Written once by ServiceMain before its first report, and before the
  // handler answers anything (it answers nothing while ReplyState is 0);
  // read without the lock afterwards.
  SERVICE_STATUS_HANDLE StatusHandle = nullptr;
  // Zero, which is no state, until ServiceMain is about to report running;
  // the handler reports nothing while it is zero.
  DWORD ReplyState = 0; // guarded by Lock
  // The server, and the job that holds it and every process it starts;
  // the job is null when the server could not be put in one. Only the
  // stopped report closes them, so ServiceMain uses them outside the lock.
  ScopedHandle ServerProcess; // guarded by Lock
  ScopedHandle ServerJob;     // guarded by Lock
  // A stop or shutdown has arrived: the server is not to be launched, and
  // its end is no failure.
  // Written under Lock; the check at the start reads it without the lock.
  std::atomic<bool> StopRequested{false};
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
void ReportStopped(bool stopRequested, DWORD serverError, DWORD serverExitCode) {
  SERVICE_STATUS report;
  {
    LockHolder hold;
    StoppedExitCodes codes = DecideStoppedExitCodes(stopRequested, serverError, serverExitCode);
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

// The server without a window in BaseDirectory. False, with the cause in the
// last error, when it could not be created.
bool CreateServer(WideString &commandLine, DWORD flags, STARTUPINFOW *startup, PROCESS_INFORMATION &process) {
  process = {};
  return CreateProcessW(nullptr, commandLine.Data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW | flags,
                        nullptr, BaseDirectory.Data(), startup, &process);
}

// The server created inside its job, so that it never exists outside it,
// not even suspended: a host that ended between a creation and an
// assignment would leave it behind for ever. False when the system refuses
// the job at creation (the attribute is unknown before Windows 10, or the
// job cannot be nested in the host's own).
bool CreateServerInJob(WideString &commandLine, HANDLE job, PROCESS_INFORMATION &process) {
  alignas(void *) unsigned char storage[128];
  SIZE_T size = 0;
  InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
  auto list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(storage);
  if (size > sizeof storage || !InitializeProcThreadAttributeList(list, 1, 0, &size))
    return false;
  STARTUPINFOEXW startup = {};
  startup.StartupInfo.cb = sizeof startup;
  startup.lpAttributeList = list;
  bool created = UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_JOB_LIST, &job, sizeof job, nullptr,
                                           nullptr) &&
                 CreateServer(commandLine, EXTENDED_STARTUPINFO_PRESENT, &startup.StartupInfo, process);
  DeleteProcThreadAttributeList(list);
  return created;
}

// Starts the server, in a job when the system gives one. Where the job
// cannot be given at creation, the server is created suspended and joins
// the job before it runs any code of its own. Without a job (none could be
// made, or the server could not join it) the server runs all the same.
Launch LaunchServer(WideString &commandLine) {
  Launch launch;
  launch.Job = CreateServerJob();
  PROCESS_INFORMATION process;
  if (launch.Job.IsValid() && CreateServerInJob(commandLine, launch.Job.Get(), process)) {
    launch.Process.Reset(process.hProcess);
    ScopedHandle thread(process.hThread);
    return launch;
  }
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  if (!CreateServer(commandLine, launch.Job.IsValid() ? CREATE_SUSPENDED : 0, &startup, process)) {
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

// Tells the Application log which program could not be started, and why:
// the stopped report carries only the code.
void ReportLaunchFailure(DWORD error) {
  ReportErrorEvent(MSG_LAUNCH_FAILED, WideString(WIDE("Starting ")) + RuntimePath(BaseDirectory) +
                                          WIDE(" failed with error: ") + Utf8ToUtf16(DescribeError(error)));
}

// How long the stopped report waits for the processes of the job: one stuck
// in a driver must not keep the service from stopping.
constexpr ULONGLONG JobEndLimit = 5000;

// The ids of a job's processes, laid out as JOBOBJECT_BASIC_PROCESS_ID_LIST
// with room for as many as one wait can take.
struct JobProcessIds {
  DWORD Assigned;
  DWORD Listed;
  ULONG_PTR Ids[MAXIMUM_WAIT_OBJECTS];
};

// Handles of a job's processes, as many as one wait can take, in the plain
// array that WaitForMultipleObjects reads. Each is closed once, with the set.
class JobProcesses {
public:
  JobProcesses() = default;
  JobProcesses(const JobProcesses &) = delete;
  JobProcesses &operator=(const JobProcesses &) = delete;
  ~JobProcesses() {
    for (DWORD i = 0; i < count_; ++i)
      CloseHandle(handles_[i]);
  }

  void Add(ScopedHandle process) { handles_[count_++] = process.Release(); }
  DWORD Count() const { return count_; }
  const HANDLE *Handles() const { return handles_; }

private:
  HANDLE handles_[MAXIMUM_WAIT_OBJECTS];
  DWORD count_ = 0;
};

// Opens the processes the job lists, before the job is ended, so that each
// handle is signalled only once its process is gone. An id that no longer
// names a process of the job (it ended and its id was given again) is left
// out.
void OpenJobProcesses(HANDLE job, JobProcesses &processes) {
  JobProcessIds list = {};
  // A list too long for the room is still filled as far as it goes.
  QueryInformationJobObject(job, JobObjectBasicProcessIdList, &list, sizeof list, nullptr);
  for (DWORD i = 0; i < list.Listed && i < MAXIMUM_WAIT_OBJECTS; ++i) {
    // Wine's IsProcessInJob asks for full query access; Windows also
    // takes the limited right.
    ScopedHandle process(
        OpenProcess(SYNCHRONIZE | PROCESS_QUERY_INFORMATION, FALSE, static_cast<DWORD>(list.Ids[i])));
    BOOL inJob = FALSE;
    if (process.IsValid() && IsProcessInJob(process.Get(), job, &inJob) && inJob)
      processes.Add(std::move(process));
  }
}

// Waits until each of the processes has ended, or until the deadline.
void WaitForJobProcesses(const JobProcesses &processes, ULONGLONG deadline) {
  ULONGLONG now = GetTickCount64();
  if (processes.Count() > 0)
    WaitForMultipleObjects(processes.Count(), processes.Handles(), TRUE,
                           now < deadline ? static_cast<DWORD>(deadline - now) : 0);
}

// Ends every process of the job and waits until each has ended, or until
// JobEndLimit has passed: a process that is still ending can hold the
// server's port and files. One more round takes what the job still counts
// afterwards (a process started while the first was listed, or more than
// one wait can take). A job of more than 128 processes is ended, but only
// partly awaited.
void EndJobAndWait(HANDLE job) {
  ULONGLONG deadline = GetTickCount64() + JobEndLimit;
  for (int round = 0; round < 2; ++round) {
    {
      JobProcesses processes;
      OpenJobProcesses(job, processes);
      TerminateJobObject(job, 0);
      WaitForJobProcesses(processes, deadline);
    }
    JOBOBJECT_BASIC_ACCOUNTING_INFORMATION accounting = {};
    if (!QueryInformationJobObject(job, JobObjectBasicAccountingInformation, &accounting, sizeof accounting,
                                   nullptr) ||
        accounting.ActiveProcesses == 0 || GetTickCount64() >= deadline)
      return;
  }
}

// Ends the server with exit code 0, and with it every process of its job.
// Where the job cannot be ended, the server still is, and its children end
// when the stopped report closes the job. The caller holds Lock.
void EndServer() {
  if (Host.ServerJob.IsValid() && TerminateJobObject(Host.ServerJob.Get(), 0))
    return;
  // Fails when the process is already ending, which is as good.
  if (Host.ServerProcess.IsValid())
    TerminateProcess(Host.ServerProcess.Get(), 0);
}

bool StopHasCome() { return Host.StopRequested; }

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

  // What the server runs as LocalSystem is judged again at every start:
  // permissions loosened since the installation would hand it to whoever
  // loosened them. Outside the lock, so that a stop meanwhile is answered,
  // and ends the check early.
  NarrowString refusal;
  Verdict verdict = CheckStart(BaseDirectory, StopHasCome, refusal);
  if (verdict == Verdict::Refused)
    ReportErrorEvent(MSG_START_REFUSED, Utf8ToUtf16(refusal));

  // The launch may rewrite this buffer in place; it lives until the return.
  WideString commandLine = ComposeServerCommandLine(BaseDirectory);
  DWORD serverError = verdict == Verdict::Refused ? StartRefusedError : 0;
  HANDLE server;
  HANDLE job;
  {
    // Under the lock, a stop either comes first and prevents the launch,
    // or comes after it and finds the server, in its job, to end.
    LockHolder hold;
    if (!Host.StopRequested && verdict == Verdict::Permitted) {
      Launch launch = LaunchServer(commandLine);
      serverError = launch.Error;
      Host.ServerProcess = std::move(launch.Process);
      Host.ServerJob = std::move(launch.Job);
    }
    server = Host.ServerProcess.Get();
    job = Host.ServerJob.Get();
  }
  // Outside the lock: the event log may take its time, and a control
  // meanwhile is answered as before.
  if (serverError != 0 && verdict == Verdict::Permitted)
    ReportLaunchFailure(serverError);
  // With no server the wait returns at once.
  WaitForSingleObject(server, INFINITE);
  // How the server ended is settled now: a stop that comes while its job
  // ends below does not make a failed server a clean end.
  bool stopRequested;
  {
    LockHolder hold;
    stopRequested = Host.StopRequested;
  }
  DWORD exitCode = 0;
  if (server != nullptr && !GetExitCodeProcess(server, &exitCode))
    serverError = GetLastError();
  // Outside the lock, so that a control meanwhile is answered as before.
  if (job != nullptr)
    EndJobAndWait(job);
  ReportStopped(stopRequested, serverError, exitCode);
}
