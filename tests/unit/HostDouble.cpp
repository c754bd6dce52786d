// The double's side of each platform call, and the forwarding of the host's
// calls to it: through the import slots under Wine, as the definitions of
// the calls natively. Both come from the one list of calls below.
#include "HostDouble.h"

#include <algorithm>
#include <cstring>

Double D;

namespace {
void Fault(const std::string &what) { D.Faults.push_back(what); }
} // namespace

Object *New(Kind kind) {
  for (Object &o : D.Objects)
    if (o.kind == Kind::Free) {
      o.kind = kind;
      return &o;
    }
  Fault("too many handles");
  return nullptr;
}

void End(Object *process, DWORD code, bool byHost) {
  if (process->ended)
    return;
  process->ended = true;
  process->exitCode = code;
  process->endedByHost = byHost;
  D.Guard.Changed();
}

namespace {

SERVICE_STATUS_HANDLE StatusHandle() { return reinterpret_cast<SERVICE_STATUS_HANDLE>(&D); }

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

} // namespace

// Each call of the double is defined once, with the platform's signature:
// natively it is the call itself; under Wine the host's import slot of the
// call points at it.
#ifdef _WIN32
#define DOUBLE(result, name)                                                                                 \
  decltype(::name) Double##name;                                                                             \
  extern "C" {                                                                                               \
  void *__imp_##name = reinterpret_cast<void *>(&Double##name);                                              \
  }                                                                                                          \
  result WINAPI Double##name
// Under Wine what is not the double's goes on to Win32's call: the test's
// own threads and GoogleTest's death tests use these calls too.
#define OTHERS_GO_ON(name, ours, args)                                                                       \
  if (!(ours))                                                                                               \
  return reinterpret_cast<decltype(&::name)>(                                                                \
      reinterpret_cast<void *>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), #name))) args
#else
#define DOUBLE(result, name) result name
#define OTHERS_GO_ON(name, ours, args) Unused args
template <typename... T> void Unused(const T &...) {}
#endif

DOUBLE(SERVICE_STATUS_HANDLE, RegisterServiceCtrlHandlerW)(LPCWSTR, LPHANDLER_FUNCTION handler) {
  Guarded guarded;
  D.Handler = handler;
  return StatusHandle();
}

DOUBLE(BOOL, SetServiceStatus)(SERVICE_STATUS_HANDLE handle, SERVICE_STATUS *s) {
  Guarded guarded;
  if (handle != StatusHandle())
    Fault("a report without the registered status handle");
  if (s->dwServiceType != SERVICE_WIN32_OWN_PROCESS)
    Fault("a report of another service type");
  D.Reports.push_back({s->dwCurrentState, s->dwControlsAccepted, s->dwWin32ExitCode,
                       s->dwServiceSpecificExitCode, s->dwCheckPoint, s->dwWaitHint});
  for (const Object *o : {D.Child, D.Late})
    if (s->dwCurrentState == SERVICE_STOPPED && o != nullptr && !o->ended &&
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

DOUBLE(BOOL, UpdateProcThreadAttribute)
(LPPROC_THREAD_ATTRIBUTE_LIST, DWORD, DWORD_PTR attribute, PVOID value, SIZE_T, PVOID, PSIZE_T) {
  Guarded guarded;
  Log("attribute");
  if (attribute != PROC_THREAD_ATTRIBUTE_JOB_LIST)
    Fault("an attribute other than the job list");
  if (Fails(JobAttribute, ERROR_NOT_SUPPORTED))
    return FALSE;
  D.AttributeJob = *static_cast<HANDLE *>(value);
  return TRUE;
}

DOUBLE(BOOL, CreateProcessW)
(LPCWSTR, LPWSTR commandLine, LPSECURITY_ATTRIBUTES, LPSECURITY_ATTRIBUTES, BOOL, DWORD flags, LPVOID,
 LPCWSTR, LPSTARTUPINFOW, LPPROCESS_INFORMATION information) {
  Guarded guarded;
  if (!D.Checked)
    Fault("launched before the check");
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

DOUBLE(DWORD, ResumeThread)(HANDLE handle) {
  OTHERS_GO_ON(ResumeThread, Find(handle), (handle));
  Guarded guarded;
  Log("resume");
  Object *thread = Use(handle, Kind::Thread, "ResumeThread");
  if (thread == nullptr || Fails(Resume))
    return static_cast<DWORD>(-1);
  Run(thread);
  return 1;
}

DOUBLE(DWORD, WaitForSingleObject)(HANDLE handle, DWORD milliseconds) {
  OTHERS_GO_ON(WaitForSingleObject, Find(handle), (handle, milliseconds));
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

DOUBLE(BOOL, GetExitCodeProcess)(HANDLE handle, LPDWORD code) {
  OTHERS_GO_ON(GetExitCodeProcess, Find(handle), (handle, code));
  Guarded guarded;
  Object *process = Use(handle, Kind::Process, "GetExitCodeProcess");
  *code = process != nullptr ? process->exitCode : 0;
  return process != nullptr;
}

DOUBLE(BOOL, TerminateProcess)(HANDLE handle, UINT code) {
  OTHERS_GO_ON(TerminateProcess, Find(handle), (handle, code));
  Guarded guarded;
  Object *process = Use(handle, Kind::Process, "TerminateProcess");
  if (process != nullptr)
    End(process, code, true);
  return process != nullptr;
}

DOUBLE(BOOL, CloseHandle)(HANDLE handle) {
  OTHERS_GO_ON(CloseHandle, Find(handle), (handle));
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

DOUBLE(HANDLE, CreateJobObjectW)(LPSECURITY_ATTRIBUTES, LPCWSTR) {
  Guarded guarded;
  return Fails(CreateJob) ? nullptr : New(Kind::Job);
}

DOUBLE(BOOL, SetInformationJobObject)(HANDLE handle, JOBOBJECTINFOCLASS, LPVOID information, DWORD) {
  Guarded guarded;
  Use(handle, Kind::Job, "SetInformationJobObject");
  DWORD flags =
      static_cast<JOBOBJECT_EXTENDED_LIMIT_INFORMATION *>(information)->BasicLimitInformation.LimitFlags;
  if (flags != (JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE | JOB_OBJECT_LIMIT_BREAKAWAY_OK))
    Fault("the job does not end its processes on close, or forbids breakaway");
  return !Fails(SetLimits);
}

DOUBLE(BOOL, AssignProcessToJobObject)(HANDLE jobHandle, HANDLE processHandle) {
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

DOUBLE(BOOL, TerminateJobObject)(HANDLE handle, UINT code) {
  Guarded guarded;
  Object *job = Use(handle, Kind::Job, "TerminateJobObject");
  if (job == nullptr || Fails(TerminateJob))
    return FALSE;
  EndJob(job, code, true);
  return TRUE;
}

// The processes of the job that have not ended: the server, its child and the late one.
DOUBLE(BOOL, QueryInformationJobObject)
(HANDLE handle, JOBOBJECTINFOCLASS kind, LPVOID information, DWORD size, LPDWORD) {
  Guarded guarded;
  Object *job = Use(handle, Kind::Job, "QueryInformationJobObject");
  if (job == nullptr || Fails(QueryJob))
    return FALSE;
  DWORD active = 0;
  struct IdList {
    DWORD assigned, listed;
    ULONG_PTR ids[3];
  } list = {};
  for (Object *o : {D.Server, D.Child, D.Late})
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
  // Started while the job was listed: in the job, but only a further round
  // finds it.
  if (D.JoinsLate && D.Late == nullptr && (D.Late = New(Kind::Child)) != nullptr)
    D.Late->job = job;
  return TRUE;
}

DOUBLE(HANDLE, OpenProcess)(DWORD access, BOOL inherit, DWORD pid) {
  Object *handle = nullptr;
  {
    Guarded guarded;
    for (Object &o : D.Objects)
      if ((o.kind == Kind::Process || o.kind == Kind::Child) && o.of == nullptr && Pid(&o) == pid &&
          !o.ended) {
        if ((handle = New(Kind::Process)) != nullptr)
          handle->of = &o;
        break;
      }
  }
  OTHERS_GO_ON(OpenProcess, handle != nullptr, (access, inherit, pid));
  return handle;
}

DOUBLE(BOOL, IsProcessInJob)(HANDLE process, HANDLE job, PBOOL result) {
  Guarded guarded;
  Object *o = Use(process, Kind::Process, "IsProcessInJob");
  *result = o != nullptr && o->job == Find(job);
  return o != nullptr;
}

// Time passes only here: up to the end of the last process, or by the whole
// timeout when one of them does not end within it.
DOUBLE(DWORD, WaitForMultipleObjects)(DWORD count, const HANDLE *handles, BOOL all, DWORD milliseconds) {
  OTHERS_GO_ON(WaitForMultipleObjects, Find(handles[0]), (count, handles, all, milliseconds));
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

DOUBLE(ULONGLONG, GetTickCount64)() {
  Guarded guarded;
  return D.Clock;
}

// The check asks for a stop between objects, without the host's lock.
Verdict CheckStart(const WideString &, bool (*stopping)(), NarrowString &refusal) {
  {
    Guarded guarded;
    D.Checked = true;
    Reach(Point::Check);
  }
  if (stopping())
    return Verdict::Stopped;
  Guarded guarded;
  refusal = NarrowString(RefusalText);
  return D.Refuses ? Verdict::Refused : Verdict::Permitted;
}

void ReportErrorEvent(DWORD eventId, const WideString &text) {
  Guarded guarded;
  D.Events.push_back({eventId, Utf16ToUtf8(text).Data()});
}

namespace {

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
// The headers declare this one without an import slot: it is defined here.
extern "C" void WINAPI AcquireSRWLockExclusive(PSRWLOCK lock) {
  auto real = [](const char *name) {
    return reinterpret_cast<void *>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), name));
  };
  DoAcquire(
      [&] {
        return reinterpret_cast<BOOLEAN(WINAPI *)(PSRWLOCK)>(real("TryAcquireSRWLockExclusive"))(lock) != 0;
      },
      [&] { reinterpret_cast<void(WINAPI *)(PSRWLOCK)>(real("AcquireSRWLockExclusive"))(lock); });
}
#else
// Natively the rest of the host's platform: the attribute list, the last
// error and the lock.
namespace {
std::mutex HostLock;
thread_local DWORD LastError = 0;
} // namespace

BOOL InitializeProcThreadAttributeList(LPPROC_THREAD_ATTRIBUTE_LIST list, DWORD, DWORD, PSIZE_T size) {
  *size = 48;
  return list != nullptr;
}
void DeleteProcThreadAttributeList(LPPROC_THREAD_ATTRIBUTE_LIST) {}
DWORD GetLastError() { return LastError; }
void SetLastError(DWORD error) { LastError = error; }
void AcquireSRWLockExclusive(PSRWLOCK) {
  DoAcquire([] { return HostLock.try_lock(); }, [] { HostLock.lock(); });
}
void ReleaseSRWLockExclusive(PSRWLOCK) { HostLock.unlock(); }
#endif
