// The host's two threads driven step by step, through every window where a
// control can meet ServiceMain. The service objects are the host's own; what
// they ask of the platform (registration, reports, the launch, the wait, the
// job and process calls, the lock) is answered by the double below. It
// records every report and every handle, holds ServiceMain at a chosen
// point, and hands the handler a control on a thread of its own, as the
// dispatcher would. Each scenario runs in a process of its own (a death
// test), since the host's state lives for the whole process.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "HostService.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#endif

namespace {

// How long any step may take before the scenario fails instead of hanging.
constexpr int StepLimitMs = 10000;

#ifdef _WIN32
// The double's own synchronisation: a critical section and a condition
// variable, which the host does not use, so they pass around the slots below.
class Monitor {
public:
  Monitor() {
    InitializeCriticalSection(&section_);
    InitializeConditionVariable(&changed_);
  }
  void Lock() { EnterCriticalSection(&section_); }
  void Unlock() { LeaveCriticalSection(&section_); }
  // Waits, with the monitor locked, until ready() holds; false at the limit.
  template <typename Ready> bool WaitFor(Ready ready) {
    ULONGLONG end = GetTickCount64() + StepLimitMs;
    while (!ready()) {
      ULONGLONG now = GetTickCount64();
      if (now >= end)
        return false;
      SleepConditionVariableCS(&changed_, &section_, static_cast<DWORD>(end - now));
    }
    return true;
  }
  void Changed() { WakeAllConditionVariable(&changed_); }

private:
  CRITICAL_SECTION section_;
  CONDITION_VARIABLE changed_;
};

using ThreadId = DWORD;
ThreadId CurrentThread() { return GetCurrentThreadId(); }

class Thread {
public:
  template <typename F> explicit Thread(F *function) {
    handle_ = CreateThread(nullptr, 0, Run<F>, reinterpret_cast<void *>(function), 0, nullptr);
  }
  bool Join() {
    bool ended = WaitForSingleObject(handle_, StepLimitMs) == WAIT_OBJECT_0;
    CloseHandle(handle_);
    return ended;
  }

private:
  template <typename F> static DWORD WINAPI Run(void *function) {
    reinterpret_cast<F *>(function)();
    return 0;
  }
  HANDLE handle_;
};
#else
class Monitor {
public:
  void Lock() { mutex_.lock(); }
  void Unlock() { mutex_.unlock(); }
  template <typename Ready> bool WaitFor(Ready ready) {
    std::unique_lock<std::mutex> lock(mutex_, std::adopt_lock);
    bool done = changed_.wait_for(lock, std::chrono::milliseconds(StepLimitMs), ready);
    lock.release();
    return done;
  }
  void Changed() { changed_.notify_all(); }

private:
  std::mutex mutex_;
  std::condition_variable changed_;
};

using ThreadId = std::thread::id;
ThreadId CurrentThread() { return std::this_thread::get_id(); }

class Thread {
public:
  template <typename F> explicit Thread(F *function) : thread_(function) {}
  bool Join() {
    thread_.join();
    return true;
  }

private:
  std::thread thread_;
};
#endif

// Where ServiceMain is held while the test hands the handler a control.
enum class Point {
  None,         // not held; no control
  StartPending, // inside the start-pending report, before ReplyState is set
  Running,      // inside the running report, before the launch
  Launch,       // inside CreateProcessW, the lock held
  Wait,         // waiting for the server
  Stopped,      // ServiceMain has made its stopped report and returned
};

enum class Kind { Free, Process, Thread, Job };

// A process, thread or job handed out by the double. Its address is the handle.
struct Object {
  Kind kind = Kind::Free;
  int closes = 0;
  bool resumed = false;
  bool ended = false;
  bool endedByStop = false;
  DWORD exitCode = 0;
  Object *job = nullptr;
};

struct Report {
  DWORD state, accepted, win32, specific, checkPoint, waitHint;
  bool operator==(const Report &o) const {
    return state == o.state && accepted == o.accepted && win32 == o.win32 && specific == o.specific &&
           checkPoint == o.checkPoint && waitHint == o.waitHint;
  }
};

std::string Text(const Report &r) {
  char text[160];
  std::snprintf(text, sizeof text, "{state %lu, accepted %lu, exit %lu/%lu, check-point %lu, hint %lu}",
                static_cast<unsigned long>(r.state), static_cast<unsigned long>(r.accepted),
                static_cast<unsigned long>(r.win32), static_cast<unsigned long>(r.specific),
                static_cast<unsigned long>(r.checkPoint), static_cast<unsigned long>(r.waitHint));
  return text;
}

// Everything the double knows, under Guard.
struct Double {
  Monitor Guard;
  Point Hold = Point::None;
  bool Held = false;      // ServiceMain waits at Hold
  bool Released = false;  // the test let it go on
  bool Waiting = false;   // ServiceMain is in the wait for the server
  bool Finished = false;  // ServiceMain has returned
  DWORD CreateError = 0;  // CreateProcessW fails with this
  bool RefuseJob = false; // CreateJobObjectW fails
  ThreadId ServiceThread{};
  ThreadId DispatcherThread{};
  bool DispatcherBlocked = false;  // the handler waits for the host's lock
  bool DispatcherReturned = false; // the handler has returned
  LPHANDLER_FUNCTION Handler = nullptr;
  std::vector<Report> Reports;
  Object Objects[8];
  Object *Server = nullptr;
  std::vector<std::string> Faults;
};

Double D;

SERVICE_STATUS_HANDLE StatusHandle() { return reinterpret_cast<SERVICE_STATUS_HANDLE>(&D); }

class Guarded {
public:
  Guarded() { D.Guard.Lock(); }
  ~Guarded() { D.Guard.Unlock(); }
  Guarded(const Guarded &) = delete;
  Guarded &operator=(const Guarded &) = delete;
};

void Fault(const std::string &what) { D.Faults.push_back(what); }

Object *New(Kind kind) {
  for (Object &o : D.Objects)
    if (o.kind == Kind::Free) {
      o.kind = kind;
      return &o;
    }
  Fault("too many handles");
  return nullptr;
}

// The object behind a handle of the double, or null for any other handle.
Object *Find(HANDLE handle) {
  for (Object &o : D.Objects)
    if (handle == &o)
      return &o;
  return nullptr;
}

Object *Use(HANDLE handle, Kind kind, const char *call) {
  Object *o = Find(handle);
  if (o == nullptr || o->kind != kind)
    Fault(std::string(call) + " on a handle that is no such object");
  else if (o->closes > 0)
    Fault(std::string(call) + " on a closed handle");
  return o;
}

void End(Object *process, DWORD code, bool byStop) {
  if (process->ended)
    return;
  process->ended = true;
  process->exitCode = code;
  process->endedByStop = byStop;
  D.Guard.Changed();
}

// Called with Guard held: waits there while the test holds ServiceMain.
void Reach(Point point) {
  if (D.Hold != point || CurrentThread() != D.ServiceThread)
    return;
  D.Held = true;
  D.Guard.Changed();
  if (!D.Guard.WaitFor([] { return D.Released; }))
    Fault("ServiceMain was never released");
}

// The double's side of each platform call.

SERVICE_STATUS_HANDLE DoRegister(LPCWSTR, LPHANDLER_FUNCTION handler) {
  Guarded guarded;
  D.Handler = handler;
  return StatusHandle();
}

BOOL DoSetServiceStatus(SERVICE_STATUS_HANDLE handle, SERVICE_STATUS *s) {
  Guarded guarded;
  if (handle != StatusHandle())
    Fault("a report without the registered status handle");
  if (s->dwServiceType != SERVICE_WIN32_OWN_PROCESS)
    Fault("a report of another service type");
  D.Reports.push_back({s->dwCurrentState, s->dwControlsAccepted, s->dwWin32ExitCode,
                       s->dwServiceSpecificExitCode, s->dwCheckPoint, s->dwWaitHint});
  if (CurrentThread() == D.ServiceThread && s->dwCurrentState == SERVICE_START_PENDING)
    Reach(Point::StartPending);
  if (CurrentThread() == D.ServiceThread && s->dwCurrentState == SERVICE_RUNNING)
    Reach(Point::Running);
  return TRUE;
}

BOOL DoCreateProcess(LPWSTR commandLine, DWORD flags, PROCESS_INFORMATION *information) {
  Guarded guarded;
  if (commandLine == nullptr)
    Fault("no command line");
  if (D.CreateError != 0) {
    SetLastError(D.CreateError);
    return FALSE;
  }
  Object *process = New(Kind::Process);
  Object *thread = New(Kind::Thread);
  if (process == nullptr || thread == nullptr)
    return FALSE;
  D.Server = process;
  // Not suspended: it runs at once.
  thread->resumed = !(flags & CREATE_SUSPENDED);
  information->hProcess = process;
  information->hThread = thread;
  Reach(Point::Launch);
  return TRUE;
}

DWORD DoResumeThread(HANDLE handle) {
  Guarded guarded;
  Object *thread = Use(handle, Kind::Thread, "ResumeThread");
  if (thread == nullptr)
    return static_cast<DWORD>(-1);
  thread->resumed = true;
  return 1;
}

DWORD DoWait(HANDLE handle) {
  // With no server the host's wait fails at once, as Win32's does.
  if (handle == nullptr)
    return 0xFFFFFFFF;
  Guarded guarded;
  Object *process = Use(handle, Kind::Process, "WaitForSingleObject");
  if (process == nullptr)
    return 0xFFFFFFFF;
  D.Waiting = true;
  D.Guard.Changed();
  if (!D.Guard.WaitFor([process] { return process->ended; }))
    Fault("the wait for the server never ended");
  D.Waiting = false;
  return 0;
}

BOOL DoGetExitCode(HANDLE handle, DWORD *code) {
  Guarded guarded;
  Object *process = Use(handle, Kind::Process, "GetExitCodeProcess");
  *code = process != nullptr ? process->exitCode : 0;
  return process != nullptr;
}

BOOL DoTerminateProcess(HANDLE handle, unsigned code) {
  Guarded guarded;
  Object *process = Use(handle, Kind::Process, "TerminateProcess");
  if (process != nullptr)
    End(process, code, true);
  return process != nullptr;
}

BOOL DoClose(HANDLE handle) {
  Guarded guarded;
  Object *o = Find(handle);
  if (o == nullptr || o->kind == Kind::Free) {
    Fault("CloseHandle on a handle that is no such object");
    return FALSE;
  }
  if (++o->closes > 1)
    Fault("a handle closed twice");
  // The job's last handle: every process still in it ends.
  if (o->kind == Kind::Job && D.Server != nullptr && D.Server->job == o)
    End(D.Server, 1, false);
  return TRUE;
}

HANDLE DoCreateJob() {
  Guarded guarded;
  return D.RefuseJob ? nullptr : New(Kind::Job);
}

BOOL DoSetJobInformation(HANDLE handle, void *information) {
  Guarded guarded;
  Use(handle, Kind::Job, "SetInformationJobObject");
  DWORD flags =
      static_cast<JOBOBJECT_EXTENDED_LIMIT_INFORMATION *>(information)->BasicLimitInformation.LimitFlags;
  if (flags != (JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE | JOB_OBJECT_LIMIT_BREAKAWAY_OK))
    Fault("the job does not end its processes on close, or forbids breakaway");
  return TRUE;
}

BOOL DoAssign(HANDLE jobHandle, HANDLE processHandle) {
  Guarded guarded;
  Object *job = Use(jobHandle, Kind::Job, "AssignProcessToJobObject");
  Object *process = Use(processHandle, Kind::Process, "AssignProcessToJobObject");
  if (job == nullptr || process == nullptr)
    return FALSE;
  for (Object &o : D.Objects)
    if (o.kind == Kind::Thread && o.resumed)
      Fault("the server joined its job after it had begun to run");
  process->job = job;
  return TRUE;
}

BOOL DoTerminateJob(HANDLE handle, unsigned code) {
  Guarded guarded;
  Object *job = Use(handle, Kind::Job, "TerminateJobObject");
  if (job != nullptr && D.Server != nullptr && D.Server->job == job)
    End(D.Server, code, true);
  return job != nullptr;
}

// The host's lock. The handler's thread says when it has to wait for it:
// that is how the test knows that the handler is held off by the launch.
template <typename Try, typename Acquire> void DoAcquire(Try tryAcquire, Acquire acquire) {
  if (tryAcquire())
    return;
  {
    Guarded guarded;
    if (CurrentThread() == D.DispatcherThread) {
      D.DispatcherBlocked = true;
      D.Guard.Changed();
    }
  }
  acquire();
}

} // namespace

#ifdef _WIN32
// The Win32 import slots of these calls point here. Handles that are not the
// double's pass to the real calls: the test's own threads use them too.
namespace {
template <typename F> F Real(const char *name, const wchar_t *module = L"kernel32.dll") {
  return reinterpret_cast<F>(reinterpret_cast<void *>(GetProcAddress(GetModuleHandleW(module), name)));
}

SERVICE_STATUS_HANDLE WINAPI SlotRegister(LPCWSTR name, LPHANDLER_FUNCTION handler) {
  return DoRegister(name, handler);
}
BOOL WINAPI SlotSetServiceStatus(SERVICE_STATUS_HANDLE handle, SERVICE_STATUS *status) {
  return DoSetServiceStatus(handle, status);
}
BOOL WINAPI SlotCreateProcess(LPCWSTR, LPWSTR commandLine, LPSECURITY_ATTRIBUTES, LPSECURITY_ATTRIBUTES, BOOL,
                              DWORD flags, LPVOID, LPCWSTR, LPSTARTUPINFOW,
                              LPPROCESS_INFORMATION information) {
  return DoCreateProcess(commandLine, flags, information);
}
DWORD WINAPI SlotResumeThread(HANDLE handle) {
  return Find(handle) ? DoResumeThread(handle) : Real<DWORD(WINAPI *)(HANDLE)>("ResumeThread")(handle);
}
DWORD WINAPI SlotWait(HANDLE handle, DWORD milliseconds) {
  return Find(handle) ? DoWait(handle)
                      : Real<DWORD(WINAPI *)(HANDLE, DWORD)>("WaitForSingleObject")(handle, milliseconds);
}
BOOL WINAPI SlotGetExitCode(HANDLE handle, DWORD *code) {
  return Find(handle) ? DoGetExitCode(handle, code)
                      : Real<BOOL(WINAPI *)(HANDLE, DWORD *)>("GetExitCodeProcess")(handle, code);
}
BOOL WINAPI SlotTerminateProcess(HANDLE handle, UINT code) {
  return Find(handle) ? DoTerminateProcess(handle, code)
                      : Real<BOOL(WINAPI *)(HANDLE, UINT)>("TerminateProcess")(handle, code);
}
BOOL WINAPI SlotClose(HANDLE handle) {
  return Find(handle) ? DoClose(handle) : Real<BOOL(WINAPI *)(HANDLE)>("CloseHandle")(handle);
}
HANDLE WINAPI SlotCreateJob(LPSECURITY_ATTRIBUTES, LPCWSTR) { return DoCreateJob(); }
BOOL WINAPI SlotSetJobInformation(HANDLE job, JOBOBJECTINFOCLASS, LPVOID information, DWORD) {
  return DoSetJobInformation(job, information);
}
BOOL WINAPI SlotAssign(HANDLE job, HANDLE process) { return DoAssign(job, process); }
BOOL WINAPI SlotTerminateJob(HANDLE job, UINT code) { return DoTerminateJob(job, code); }
} // namespace

// The headers declare this one without an import slot: it is defined here.
extern "C" void WINAPI AcquireSRWLockExclusive(PSRWLOCK lock) {
  DoAcquire([lock] { return Real<BOOLEAN(WINAPI *)(PSRWLOCK)>("TryAcquireSRWLockExclusive")(lock) != 0; },
            [lock] { Real<void(WINAPI *)(PSRWLOCK)>("AcquireSRWLockExclusive")(lock); });
}

extern "C" {
void *__imp_RegisterServiceCtrlHandlerW = reinterpret_cast<void *>(&SlotRegister);
void *__imp_SetServiceStatus = reinterpret_cast<void *>(&SlotSetServiceStatus);
void *__imp_CreateProcessW = reinterpret_cast<void *>(&SlotCreateProcess);
void *__imp_ResumeThread = reinterpret_cast<void *>(&SlotResumeThread);
void *__imp_WaitForSingleObject = reinterpret_cast<void *>(&SlotWait);
void *__imp_GetExitCodeProcess = reinterpret_cast<void *>(&SlotGetExitCode);
void *__imp_TerminateProcess = reinterpret_cast<void *>(&SlotTerminateProcess);
void *__imp_CloseHandle = reinterpret_cast<void *>(&SlotClose);
void *__imp_CreateJobObjectW = reinterpret_cast<void *>(&SlotCreateJob);
void *__imp_SetInformationJobObject = reinterpret_cast<void *>(&SlotSetJobInformation);
void *__imp_AssignProcessToJobObject = reinterpret_cast<void *>(&SlotAssign);
void *__imp_TerminateJobObject = reinterpret_cast<void *>(&SlotTerminateJob);
}
#else
// Natively the double is the platform: these are the host's calls.
namespace {
std::mutex HostLock;
thread_local DWORD LastError = 0;
} // namespace

SERVICE_STATUS_HANDLE RegisterServiceCtrlHandlerW(LPCWSTR name, LPHANDLER_FUNCTION handler) {
  return DoRegister(name, handler);
}
BOOL SetServiceStatus(SERVICE_STATUS_HANDLE handle, SERVICE_STATUS *status) {
  return DoSetServiceStatus(handle, status);
}
BOOL CreateProcessW(LPCWSTR, LPWSTR commandLine, void *, void *, BOOL, DWORD flags, void *, LPCWSTR,
                    STARTUPINFOW *, PROCESS_INFORMATION *information) {
  return DoCreateProcess(commandLine, flags, information);
}
DWORD ResumeThread(HANDLE handle) { return DoResumeThread(handle); }
DWORD WaitForSingleObject(HANDLE handle, DWORD) { return DoWait(handle); }
BOOL GetExitCodeProcess(HANDLE handle, DWORD *code) { return DoGetExitCode(handle, code); }
BOOL TerminateProcess(HANDLE handle, unsigned code) { return DoTerminateProcess(handle, code); }
BOOL CloseHandle(HANDLE handle) { return DoClose(handle); }
HANDLE CreateJobObjectW(void *, LPCWSTR) { return DoCreateJob(); }
BOOL SetInformationJobObject(HANDLE job, JOBOBJECTINFOCLASS, void *information, DWORD) {
  return DoSetJobInformation(job, information);
}
BOOL AssignProcessToJobObject(HANDLE job, HANDLE process) { return DoAssign(job, process); }
BOOL TerminateJobObject(HANDLE job, unsigned code) { return DoTerminateJob(job, code); }
DWORD GetLastError() { return LastError; }
void SetLastError(DWORD error) { LastError = error; }
void AcquireSRWLockExclusive(SRWLOCK *) {
  DoAcquire([] { return HostLock.try_lock(); }, [] { HostLock.lock(); });
}
void ReleaseSRWLockExclusive(SRWLOCK *) { HostLock.unlock(); }
#endif

namespace {

constexpr DWORD NoControl = 0xFFFFFFFF;

constexpr Report StartPending = {SERVICE_START_PENDING, 0, 0, 0, 1, 1000};
constexpr Report Running = {SERVICE_RUNNING, 5, 0, 0, 0, 0};
constexpr Report Stopped(DWORD win32 = 0, DWORD specific = 0) {
  return {SERVICE_STOPPED, 5, win32, specific, 0, 1000};
}

struct Scenario {
  const char *name;
  Point point;
  DWORD control;
  std::vector<Report> reports;
  bool launched;          // the server was created
  bool endedByStop;       // and the control ended it
  DWORD exitCode = 0;     // the server's own end, when nothing else ends it
  DWORD createError = 0;  // the launch fails with this
  bool refuseJob = false; // no job can be made
};

void ServiceThreadMain() {
  {
    Guarded guarded;
    D.ServiceThread = CurrentThread();
  }
  ServiceMain(0, nullptr);
  Guarded guarded;
  D.Finished = true;
  D.Guard.Changed();
}

DWORD PendingControl = NoControl;
void DispatcherThreadMain() {
  {
    Guarded guarded;
    D.DispatcherThread = CurrentThread();
  }
  D.Handler(PendingControl);
  Guarded guarded;
  D.DispatcherReturned = true;
  D.Guard.Changed();
}

// A step that does not happen within its limit ends the scenario at once.
#define CHECK_STEP(condition, what)                                                                          \
  if (!(condition)) {                                                                                        \
    std::fprintf(stderr, "%s\n", what);                                                                      \
    std::fflush(stderr);                                                                                     \
    std::_Exit(2);                                                                                           \
  }

// Plays one scenario and ends the process: status 0 when everything held,
// otherwise a list of what did not on standard error.
[[noreturn]] void Play(const Scenario &s) {
  D.Guard.Lock();
  D.Hold = s.point;
  D.CreateError = s.createError;
  D.RefuseJob = s.refuseJob;
  D.Guard.Unlock();

  Thread service(&ServiceThreadMain);
  D.Guard.Lock();
  bool reached = true;
  switch (s.point) {
  case Point::StartPending:
  case Point::Running:
  case Point::Launch:
    reached = D.Guard.WaitFor([] { return D.Held; });
    break;
  case Point::Wait:
    reached = D.Guard.WaitFor([] { return D.Waiting; });
    break;
  case Point::Stopped:
    reached = D.Guard.WaitFor([] { return D.Waiting; });
    if (reached) {
      End(D.Server, s.exitCode, false);
      reached = D.Guard.WaitFor([] { return D.Finished; });
    }
    break;
  case Point::None:
    break;
  }
  D.Guard.Unlock();
  CHECK_STEP(reached, "ServiceMain did not reach the point");

  if (s.control != NoControl) {
    PendingControl = s.control;
    Thread dispatcher(&DispatcherThreadMain);
    // The handler runs to its end, or waits for the lock that ServiceMain
    // holds where it is held; only then does ServiceMain go on.
    D.Guard.Lock();
    bool placed = D.Guard.WaitFor([] { return D.DispatcherBlocked || D.DispatcherReturned; });
    D.Released = true;
    D.Guard.Changed();
    D.Guard.Unlock();
    CHECK_STEP(placed, "the handler neither returned nor waited for the lock");
    CHECK_STEP(dispatcher.Join(), "the handler did not return");
  } else {
    D.Guard.Lock();
    D.Released = true;
    D.Guard.Changed();
    D.Guard.Unlock();
  }

  // What the control did not end ends by itself.
  D.Guard.Lock();
  bool done = D.Guard.WaitFor([] { return D.Finished || D.Waiting; });
  if (!D.Finished && D.Server != nullptr && !D.Server->ended)
    End(D.Server, s.exitCode, false);
  done = done && D.Guard.WaitFor([] { return D.Finished; });
  D.Guard.Unlock();
  CHECK_STEP(done, "ServiceMain did not return");
  CHECK_STEP(service.Join(), "the service thread did not end");

  Guarded guarded;
  std::vector<std::string> faults = D.Faults;
  if (D.Reports != s.reports) {
    std::string text = "reports:";
    for (const Report &r : D.Reports)
      text += " " + Text(r);
    faults.push_back(text);
  }
  if ((D.Server != nullptr) != s.launched)
    faults.push_back(s.launched ? "the server was not launched" : "the server was launched");
  if (D.Server != nullptr && D.Server->endedByStop != s.endedByStop)
    faults.push_back(s.endedByStop ? "the stop did not end the server"
                                   : "the server was ended without a stop");
  for (const Object &o : D.Objects)
    if (o.kind != Kind::Free && o.closes != 1)
      faults.push_back("a handle was closed " + std::to_string(o.closes) + " times");
  for (const std::string &f : faults)
    std::fprintf(stderr, "%s\n", f.c_str());
  std::fflush(stderr);
  std::_Exit(faults.empty() ? 0 : 1);
}

TEST(HostThreads, EveryWindowEndsAsItMust) {
  const Scenario scenarios[] = {
      // Before ReplyState is set: a stop prevents the launch and is not answered.
      {"interrogate before the reply state",
       Point::StartPending,
       SERVICE_CONTROL_INTERROGATE,
       {StartPending, Running, Stopped()},
       true,
       false},
      {"stop before the reply state",
       Point::StartPending,
       SERVICE_CONTROL_STOP,
       {StartPending, Running, Stopped()},
       false,
       false},
      {"shutdown before the reply state",
       Point::StartPending,
       SERVICE_CONTROL_SHUTDOWN,
       {StartPending, Running, Stopped()},
       false,
       false},
      // After the running report, before the launch: the launch does not happen.
      {"stop before the launch",
       Point::Running,
       SERVICE_CONTROL_STOP,
       {StartPending, Running, Running, Stopped()},
       false,
       false},
      {"shutdown before the launch",
       Point::Running,
       SERVICE_CONTROL_SHUTDOWN,
       {StartPending, Running, Running, Stopped()},
       false,
       false},
      // During the launch: the handler waits for it, then ends the server.
      {"stop during the launch",
       Point::Launch,
       SERVICE_CONTROL_STOP,
       {StartPending, Running, Running, Stopped()},
       true,
       true},
      {"shutdown during the launch",
       Point::Launch,
       SERVICE_CONTROL_SHUTDOWN,
       {StartPending, Running, Running, Stopped()},
       true,
       true},
      {"stop during the launch, no job",
       Point::Launch,
       SERVICE_CONTROL_STOP,
       {StartPending, Running, Running, Stopped()},
       true,
       true,
       0,
       0,
       true},
      // During the wait.
      {"stop during the wait",
       Point::Wait,
       SERVICE_CONTROL_STOP,
       {StartPending, Running, Running, Stopped()},
       true,
       true},
      {"shutdown during the wait",
       Point::Wait,
       SERVICE_CONTROL_SHUTDOWN,
       {StartPending, Running, Running, Stopped()},
       true,
       true},
      {"interrogate during the wait",
       Point::Wait,
       SERVICE_CONTROL_INTERROGATE,
       {StartPending, Running, Running, Stopped(ERROR_SERVICE_SPECIFIC_ERROR, 7)},
       true,
       false,
       7},
      // After the stopped report nothing is reported and nothing is ended.
      {"stop after the stopped report",
       Point::Stopped,
       SERVICE_CONTROL_STOP,
       {StartPending, Running, Stopped()},
       true,
       false},
      {"interrogate after the stopped report",
       Point::Stopped,
       SERVICE_CONTROL_INTERROGATE,
       {StartPending, Running, Stopped()},
       true,
       false},
      {"shutdown after the stopped report",
       Point::Stopped,
       SERVICE_CONTROL_SHUTDOWN,
       {StartPending, Running, Stopped(ERROR_SERVICE_SPECIFIC_ERROR, 3)},
       true,
       false,
       3},
      // A launch that fails stops the service at once with its error.
      {"failed launch", Point::None, NoControl, {StartPending, Running, Stopped(2)}, false, false, 0, 2},
  };
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  for (const Scenario &s : scenarios)
    EXPECT_EXIT(Play(s), ::testing::ExitedWithCode(0), "") << s.name;
}

} // namespace
