// The host's two threads driven step by step, through every window where a
// control can meet ServiceMain. The service objects are the host's own; what
// they ask of the platform (registration, reports, the launch, the wait, the
// job and process calls, the lock) is answered by the double below. It
// records every report and every handle, holds ServiceMain at a chosen
// point, and hands the handler a control on a thread of its own, as the
// dispatcher would. Each scenario runs in a process of its own (a death
// test), since the host's state lives for the whole process.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
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
  // GetTickCount: the host's GetTickCount64 is the double's clock.
  template <typename Ready> bool WaitFor(Ready ready) {
    DWORD start = GetTickCount();
    while (!ready()) {
      DWORD spent = GetTickCount() - start;
      if (spent >= StepLimitMs)
        return false;
      SleepConditionVariableCS(&changed_, &section_, StepLimitMs - spent);
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
  JobWait,      // the server has failed by itself; waiting for its job's processes
  Stopped,      // ServiceMain has made its stopped report and returned
};

// Platform calls that a scenario makes fail, one bit each.
enum Call : unsigned {
  CreateJob = 1,
  SetLimits = 2,
  JobAttribute = 4, // UpdateProcThreadAttribute
  CreateInJob = 8,  // CreateProcessW with the job attribute
  Assign = 16,
  Resume = 32,
  QueryJob = 64,
  TerminateJob = 128,
};

// A process the server starts, in its job: how long it takes to end once
// its job is ended.
constexpr int64_t NoChild = -2, NeverEnds = -1;
// The double's clock at the start, and the host's bound on its wait for the
// job's processes.
constexpr uint64_t ClockStart = 1000, JobEndBound = 5000;

// Child: a process that is no handle of the host's, the server's own child
// or one outside the job.
enum class Kind { Free, Process, Thread, Job, Child };

// A process, thread or job handed out by the double. Its address is the
// handle; OpenProcess hands out a further handle of the same process.
struct Object {
  Kind kind = Kind::Free;
  int closes = 0;
  bool resumed = false;
  bool ended = false;
  bool endedByHost = false;
  DWORD exitCode = 0;
  Object *job = nullptr;
  Object *of = nullptr; // a handle from OpenProcess: its process
  int64_t endsAt = -1;  // being ended: the time it will have ended
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
  bool Held = false;     // ServiceMain waits at Hold
  bool Released = false; // the test let it go on
  bool Waiting = false;  // ServiceMain is in the wait for the server
  bool Finished = false; // ServiceMain has returned
  DWORD CreateError = 0; // CreateProcessW fails with this
  unsigned Fails = 0;    // Call bits
  int64_t ChildEnd = NoChild;
  uint64_t Clock = ClockStart;
  std::string Calls; // the launch's calls, in order
  HANDLE AttributeJob = nullptr;
  ThreadId ServiceThread{};
  ThreadId DispatcherThread{};
  bool DispatcherBlocked = false;  // the handler waits for the host's lock
  bool DispatcherReturned = false; // the handler has returned
  LPHANDLER_FUNCTION Handler = nullptr;
  std::vector<Report> Reports;
  Object Objects[16];
  Object *Server = nullptr;
  Object *ServerThread = nullptr;
  Object *Child = nullptr;
  Object *Stranger = nullptr; // listed by the job, outside it when opened
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
  return o != nullptr && o->of != nullptr ? o->of : o;
}

bool Fails(Call call, DWORD error = ERROR_ACCESS_DENIED) {
  if (D.Fails & call)
    SetLastError(error);
  return D.Fails & call;
}

void Log(const char *call) { D.Calls += D.Calls.empty() ? call : std::string(" ") + call; }

DWORD Pid(const Object *o) { return 0x7F000000 + static_cast<DWORD>(o - D.Objects); }

void End(Object *process, DWORD code, bool byHost) {
  if (process->ended)
    return;
  process->ended = true;
  process->exitCode = code;
  process->endedByHost = byHost;
  D.Guard.Changed();
}

// The server runs: it starts its child now, in whatever job it is in.
void Run(Object *thread) {
  thread->resumed = true;
  if (D.ChildEnd != NoChild && D.Child == nullptr && (D.Child = New(Kind::Child)) != nullptr)
    D.Child->job = D.Server->job;
}

// The job ends: the server at once, its child when ChildEnd says.
void EndJob(Object *job, DWORD code, bool byHost) {
  if (D.Server != nullptr && D.Server->job == job)
    End(D.Server, code, byHost);
  Object *child = D.Child;
  if (child != nullptr && child->job == job && !child->ended && child->endsAt < 0 && D.ChildEnd != NeverEnds)
    child->endsAt = static_cast<int64_t>(D.Clock) + D.ChildEnd;
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
  if (s->dwCurrentState == SERVICE_STOPPED && D.Child != nullptr && !D.Child->ended &&
      D.Clock < ClockStart + JobEndBound)
    Fault("stopped before every process of the job had ended");
  if (s->dwCurrentState == SERVICE_STOPPED && D.Clock > ClockStart + JobEndBound)
    Fault("stopped after the bound on the wait for the job's processes");
  if (s->dwCurrentState == SERVICE_STOPPED && D.Stranger != nullptr && D.Clock != ClockStart)
    Fault("waited for a process outside the job");
  if (CurrentThread() == D.ServiceThread && s->dwCurrentState == SERVICE_START_PENDING)
    Reach(Point::StartPending);
  if (CurrentThread() == D.ServiceThread && s->dwCurrentState == SERVICE_RUNNING)
    Reach(Point::Running);
  return TRUE;
}

BOOL DoUpdateAttribute(DWORD_PTR attribute, void *value) {
  Guarded guarded;
  Log("attribute");
  if (attribute != PROC_THREAD_ATTRIBUTE_JOB_LIST)
    Fault("an attribute other than the job list");
  if (Fails(JobAttribute, ERROR_NOT_SUPPORTED))
    return FALSE;
  D.AttributeJob = *static_cast<HANDLE *>(value);
  return TRUE;
}

BOOL DoCreateProcess(LPWSTR commandLine, DWORD flags, PROCESS_INFORMATION *information) {
  Guarded guarded;
  bool inJob = flags & EXTENDED_STARTUPINFO_PRESENT;
  Log(inJob ? "create-in-job" : flags & CREATE_SUSPENDED ? "create-suspended" : "create");
  if (commandLine == nullptr)
    Fault("no command line");
  if (D.CreateError != 0 || (inJob && Fails(CreateInJob))) {
    SetLastError(D.CreateError != 0 ? D.CreateError : ERROR_ACCESS_DENIED);
    return FALSE;
  }
  Object *process = New(Kind::Process);
  Object *thread = New(Kind::Thread);
  if (process == nullptr || thread == nullptr)
    return FALSE;
  D.Server = process;
  D.ServerThread = thread;
  if (inJob)
    process->job = Use(D.AttributeJob, Kind::Job, "the job attribute");
  if (!(flags & CREATE_SUSPENDED))
    Run(thread);
  information->hProcess = process;
  information->hThread = thread;
  Reach(Point::Launch);
  return TRUE;
}

DWORD DoResumeThread(HANDLE handle) {
  Guarded guarded;
  Log("resume");
  Object *thread = Use(handle, Kind::Thread, "ResumeThread");
  if (thread == nullptr || Fails(Resume))
    return static_cast<DWORD>(-1);
  Run(thread);
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
  if (o->kind == Kind::Job)
    EndJob(o, 1, false);
  return TRUE;
}

HANDLE DoCreateJob() {
  Guarded guarded;
  return Fails(CreateJob) ? nullptr : New(Kind::Job);
}

BOOL DoSetJobInformation(HANDLE handle, void *information) {
  Guarded guarded;
  Use(handle, Kind::Job, "SetInformationJobObject");
  DWORD flags =
      static_cast<JOBOBJECT_EXTENDED_LIMIT_INFORMATION *>(information)->BasicLimitInformation.LimitFlags;
  if (flags != (JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE | JOB_OBJECT_LIMIT_BREAKAWAY_OK))
    Fault("the job does not end its processes on close, or forbids breakaway");
  return !Fails(SetLimits);
}

BOOL DoAssign(HANDLE jobHandle, HANDLE processHandle) {
  Guarded guarded;
  Log("assign");
  Object *job = Use(jobHandle, Kind::Job, "AssignProcessToJobObject");
  Object *process = Use(processHandle, Kind::Process, "AssignProcessToJobObject");
  if (job == nullptr || process == nullptr || Fails(Assign))
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
  if (job == nullptr || Fails(TerminateJob))
    return FALSE;
  EndJob(job, code, true);
  return TRUE;
}

// The processes of the job that have not ended: the server and its child.
BOOL DoQueryJob(HANDLE handle, JOBOBJECTINFOCLASS kind, void *information, DWORD size) {
  Guarded guarded;
  Object *job = Use(handle, Kind::Job, "QueryInformationJobObject");
  if (job == nullptr || Fails(QueryJob))
    return FALSE;
  DWORD active = 0;
  struct IdList {
    DWORD assigned, listed;
    ULONG_PTR ids[3];
  } list = {};
  for (Object *o : {D.Server, D.Child})
    if (o != nullptr && o->job == job && !o->ended)
      list.ids[active++] = Pid(o);
  list.assigned = list.listed = active;
  // A process of the job that ends once listed, and whose id is given again.
  if (D.Stranger != nullptr)
    list.ids[list.listed++] = Pid(D.Stranger);
  if (kind == JobObjectBasicAccountingInformation) {
    static_cast<JOBOBJECT_BASIC_ACCOUNTING_INFORMATION *>(information)->ActiveProcesses = active;
    return TRUE;
  }
  std::memcpy(information, &list, std::min<size_t>(size, sizeof list));
  return TRUE;
}

HANDLE DoOpenProcess(DWORD pid) {
  Guarded guarded;
  for (Object &o : D.Objects)
    if ((o.kind == Kind::Process || o.kind == Kind::Child) && o.of == nullptr && Pid(&o) == pid && !o.ended) {
      Object *handle = New(Kind::Process);
      if (handle != nullptr)
        handle->of = &o;
      return handle;
    }
  return nullptr;
}

BOOL DoIsInJob(HANDLE process, HANDLE job, BOOL *result) {
  Guarded guarded;
  Object *o = Use(process, Kind::Process, "IsProcessInJob");
  *result = o != nullptr && o->job == Find(job);
  return o != nullptr;
}

// Time passes only here: up to the end of the last process, or by the whole
// timeout when one of them does not end within it.
DWORD DoWaitMultiple(DWORD count, const HANDLE *handles, DWORD milliseconds) {
  Guarded guarded;
  Reach(Point::JobWait);
  int64_t last = static_cast<int64_t>(D.Clock);
  bool endless = false;
  Object *waited[MAXIMUM_WAIT_OBJECTS] = {};
  for (DWORD i = 0; i < count && i < MAXIMUM_WAIT_OBJECTS; ++i) {
    Object *o = waited[i] = Use(handles[i], Kind::Process, "WaitForMultipleObjects");
    if (o != nullptr && !o->ended) {
      endless = endless || o->endsAt < 0;
      last = std::max(last, o->endsAt);
    }
  }
  if (endless || last > static_cast<int64_t>(D.Clock + milliseconds)) {
    if (milliseconds == INFINITE)
      Fault("a wait for the job's processes without a bound");
    D.Clock += milliseconds;
    return WAIT_TIMEOUT;
  }
  D.Clock = static_cast<uint64_t>(last);
  for (Object *o : waited)
    if (o != nullptr)
      End(o, 0, true);
  return WAIT_OBJECT_0;
}

ULONGLONG DoClock() {
  Guarded guarded;
  return D.Clock;
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
BOOL WINAPI SlotUpdateAttribute(LPPROC_THREAD_ATTRIBUTE_LIST, DWORD, DWORD_PTR attribute, PVOID value, SIZE_T,
                                PVOID, PSIZE_T) {
  return DoUpdateAttribute(attribute, value);
}
BOOL WINAPI SlotQueryJob(HANDLE job, JOBOBJECTINFOCLASS kind, LPVOID information, DWORD size, LPDWORD) {
  return DoQueryJob(job, kind, information, size);
}
HANDLE WINAPI SlotOpenProcess(DWORD access, BOOL inherit, DWORD pid) {
  HANDLE process = DoOpenProcess(pid);
  return process ? process : Real<HANDLE(WINAPI *)(DWORD, BOOL, DWORD)>("OpenProcess")(access, inherit, pid);
}
BOOL WINAPI SlotIsInJob(HANDLE process, HANDLE job, PBOOL result) { return DoIsInJob(process, job, result); }
DWORD WINAPI SlotWaitMultiple(DWORD count, const HANDLE *handles, BOOL all, DWORD milliseconds) {
  return Find(handles[0]) ? DoWaitMultiple(count, handles, milliseconds)
                          : Real<DWORD(WINAPI *)(DWORD, const HANDLE *, BOOL, DWORD)>(
                                "WaitForMultipleObjects")(count, handles, all, milliseconds);
}
ULONGLONG WINAPI SlotClock() { return DoClock(); }
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
void *__imp_UpdateProcThreadAttribute = reinterpret_cast<void *>(&SlotUpdateAttribute);
void *__imp_QueryInformationJobObject = reinterpret_cast<void *>(&SlotQueryJob);
void *__imp_OpenProcess = reinterpret_cast<void *>(&SlotOpenProcess);
void *__imp_IsProcessInJob = reinterpret_cast<void *>(&SlotIsInJob);
void *__imp_WaitForMultipleObjects = reinterpret_cast<void *>(&SlotWaitMultiple);
void *__imp_GetTickCount64 = reinterpret_cast<void *>(&SlotClock);
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
BOOL InitializeProcThreadAttributeList(LPPROC_THREAD_ATTRIBUTE_LIST list, DWORD, DWORD, SIZE_T *size) {
  *size = 48;
  return list != nullptr;
}
BOOL UpdateProcThreadAttribute(LPPROC_THREAD_ATTRIBUTE_LIST, DWORD, DWORD_PTR attribute, void *value, SIZE_T,
                               void *, SIZE_T *) {
  return DoUpdateAttribute(attribute, value);
}
void DeleteProcThreadAttributeList(LPPROC_THREAD_ATTRIBUTE_LIST) {}
BOOL QueryInformationJobObject(HANDLE job, JOBOBJECTINFOCLASS kind, void *information, DWORD size, DWORD *) {
  return DoQueryJob(job, kind, information, size);
}
HANDLE OpenProcess(DWORD, BOOL, DWORD pid) { return DoOpenProcess(pid); }
BOOL IsProcessInJob(HANDLE process, HANDLE job, BOOL *result) { return DoIsInJob(process, job, result); }
DWORD WaitForMultipleObjects(DWORD count, const HANDLE *handles, BOOL, DWORD milliseconds) {
  return DoWaitMultiple(count, handles, milliseconds);
}
ULONGLONG GetTickCount64() { return DoClock(); }
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
  bool launched;         // the server was created
  bool endedByHost;      // and the host ended it
  DWORD exitCode = 0;    // the server's own end, when nothing else ends it
  DWORD createError = 0; // the launch fails with this
  unsigned fails = 0;    // Call bits
  int64_t childEnd = NoChild;
  const char *calls = nullptr; // the launch's calls, when they matter
  bool stranger = false;       // the job lists an id that names a process outside it
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
  D.Fails = s.fails;
  D.ChildEnd = s.childEnd;
  D.Stranger = s.stranger ? New(Kind::Child) : nullptr;
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
  case Point::JobWait:
  case Point::Stopped:
    // The server ends by itself first.
    reached = D.Guard.WaitFor([] { return D.Waiting; });
    if (reached) {
      End(D.Server, s.exitCode, false);
      reached = D.Guard.WaitFor([&s] { return s.point == Point::JobWait ? D.Held : D.Finished; });
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

  // What the control did not end ends by itself, if it ever ran.
  D.Guard.Lock();
  bool done = D.Guard.WaitFor([] { return D.Finished || D.Waiting; });
  if (!D.Finished && D.Server != nullptr && !D.Server->ended && D.ServerThread->resumed)
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
  if (D.Server != nullptr && D.Server->endedByHost != s.endedByHost)
    faults.push_back(s.endedByHost ? "the host did not end the server" : "the host ended the server");
  if (s.calls != nullptr && D.Calls != s.calls)
    faults.push_back("the launch called: " + D.Calls);
  for (const Object &o : D.Objects)
    if (o.kind != Kind::Free && o.kind != Kind::Child && o.closes != 1)
      faults.push_back("a handle was closed " + std::to_string(o.closes) + " times");
  for (const std::string &f : faults)
    std::fprintf(stderr, "%s\n", f.c_str());
  std::fflush(stderr);
  std::_Exit(faults.empty() ? 0 : 1);
}

TEST(HostThreads, EveryWindowEndsAsItMust) {
  // name, where ServiceMain is held, the control, the reports, launched, ended by the host, then as
  // needed: the server's own exit code, the launch's error, the calls that fail, the child, the launch's
  // calls, an id listed by the job that names a process outside it.
  // clang-format off
  const Scenario scenarios[] = {
      // Before ReplyState is set: a stop prevents the launch and is not answered.
      {"interrogate before the reply state", Point::StartPending, SERVICE_CONTROL_INTERROGATE,
       {StartPending, Running, Stopped()}, true, false},
      {"stop before the reply state", Point::StartPending, SERVICE_CONTROL_STOP,
       {StartPending, Running, Stopped()}, false, false},
      {"shutdown before the reply state", Point::StartPending, SERVICE_CONTROL_SHUTDOWN,
       {StartPending, Running, Stopped()}, false, false},
      // After the running report, before the launch: the launch does not happen.
      {"stop before the launch", Point::Running, SERVICE_CONTROL_STOP,
       {StartPending, Running, Running, Stopped()}, false, false},
      {"shutdown before the launch", Point::Running, SERVICE_CONTROL_SHUTDOWN,
       {StartPending, Running, Running, Stopped()}, false, false},
      // During the launch: the handler waits for it, then ends the server.
      {"stop during the launch", Point::Launch, SERVICE_CONTROL_STOP,
       {StartPending, Running, Running, Stopped()}, true, true},
      {"shutdown during the launch", Point::Launch, SERVICE_CONTROL_SHUTDOWN,
       {StartPending, Running, Running, Stopped()}, true, true},
      {"stop during the launch, no job", Point::Launch, SERVICE_CONTROL_STOP,
       {StartPending, Running, Running, Stopped()}, true, true, 0, 0, CreateJob, NoChild, "create"},
      // During the wait.
      {"stop during the wait", Point::Wait, SERVICE_CONTROL_STOP,
       {StartPending, Running, Running, Stopped()}, true, true},
      {"shutdown during the wait", Point::Wait, SERVICE_CONTROL_SHUTDOWN,
       {StartPending, Running, Running, Stopped()}, true, true},
      {"interrogate during the wait", Point::Wait, SERVICE_CONTROL_INTERROGATE,
       {StartPending, Running, Running, Stopped(ERROR_SERVICE_SPECIFIC_ERROR, 7)}, true, false, 7},
      // After the stopped report nothing is reported and nothing is ended.
      {"stop after the stopped report", Point::Stopped, SERVICE_CONTROL_STOP,
       {StartPending, Running, Stopped()}, true, false},
      {"interrogate after the stopped report", Point::Stopped, SERVICE_CONTROL_INTERROGATE,
       {StartPending, Running, Stopped()}, true, false},
      {"shutdown after the stopped report", Point::Stopped, SERVICE_CONTROL_SHUTDOWN,
       {StartPending, Running, Stopped(ERROR_SERVICE_SPECIFIC_ERROR, 3)}, true, false, 3},
      // A launch that fails stops the service at once with its error.
      {"failed launch", Point::None, NoControl, {StartPending, Running, Stopped(2)}, false, false, 0, 2},
      // The server is created in its job; where the system refuses that, it
      // is created suspended and joins the job before it runs.
      {"in its job from its creation", Point::Wait, SERVICE_CONTROL_STOP,
       {StartPending, Running, Running, Stopped()}, true, true, 0, 0, 0, NoChild, "attribute create-in-job"},
      {"job attribute refused", Point::Wait, SERVICE_CONTROL_STOP,
       {StartPending, Running, Running, Stopped()}, true, true, 0, 0, JobAttribute, NoChild,
       "attribute create-suspended assign resume"},
      {"creation in the job refused", Point::Wait, SERVICE_CONTROL_STOP,
       {StartPending, Running, Running, Stopped()}, true, true, 0, 0, CreateInJob, NoChild,
       "attribute create-in-job create-suspended assign resume"},
      {"job limits refused", Point::Wait, SERVICE_CONTROL_STOP,
       {StartPending, Running, Running, Stopped()}, true, true, 0, 0, SetLimits, NoChild, "create"},
      // A server that cannot join the job runs without one, and a stop ends it.
      {"assignment refused", Point::Wait, SERVICE_CONTROL_STOP,
       {StartPending, Running, Running, Stopped()}, true, true, 0, 0, JobAttribute | Assign},
      // A suspended server that cannot be resumed is ended, and the launch fails.
      {"resume fails", Point::None, NoControl,
       {StartPending, Running, Stopped(ERROR_ACCESS_DENIED)}, true, true, 0, 0, JobAttribute | Resume},
      // Stopped only once every process of the job has ended, or after the bound.
      {"a process of the job ends late", Point::Wait, SERVICE_CONTROL_STOP,
       {StartPending, Running, Running, Stopped()}, true, true, 0, 0, 0, 300},
      {"a process of the job never ends", Point::Wait, SERVICE_CONTROL_STOP,
       {StartPending, Running, Running, Stopped()}, true, true, 0, 0, 0, NeverEnds},
      {"the job cannot be listed", Point::Wait, SERVICE_CONTROL_STOP,
       {StartPending, Running, Running, Stopped()}, true, true, 0, 0, QueryJob},
      {"the job cannot be ended", Point::Wait, SERVICE_CONTROL_STOP,
       {StartPending, Running, Running, Stopped()}, true, true, 0, 0, TerminateJob},
      {"a listed id no longer the job's", Point::Wait, SERVICE_CONTROL_STOP,
       {StartPending, Running, Running, Stopped()}, true, true, 0, 0, 0, NoChild, nullptr, true},
      // A stop while the job of a failed server ends is answered, and the
      // failure is still told.
      {"stop while the job of a failed server ends", Point::JobWait, SERVICE_CONTROL_STOP,
       {StartPending, Running, Running, Stopped(ERROR_SERVICE_SPECIFIC_ERROR, 7)}, true, false, 7, 0, 0, 300},
  };
  // clang-format on
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  for (const Scenario &s : scenarios)
    EXPECT_EXIT(Play(s), ::testing::ExitedWithCode(0), "") << s.name;
}

} // namespace
