#pragma once

// A double of the platform for the host's own service objects: what they
// ask of it (registration, reports, the launch, the wait, the job and
// process calls, the lock) is answered here. It records every report and
// every handle, holds ServiceMain at a chosen point, fails the calls it is
// told to, and keeps a clock of its own. HostDouble.cpp answers the calls.

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "Encoding.h"
#include "EventLog.h"
#include "HostService.h"
#include "StartCheck.h"

#ifndef _WIN32
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#endif

// How long any step may take before the scenario fails instead of hanging.
constexpr int StepLimitMs = 10000;

#ifdef _WIN32
// The double's own synchronisation: a critical section and a condition
// variable, which the host does not use, so they pass around the double.
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
inline ThreadId CurrentThread() { return GetCurrentThreadId(); }

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
inline ThreadId CurrentThread() { return std::this_thread::get_id(); }

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
  Running,      // inside the running report, before the check
  Check,        // inside the check at the start, before it looks for a stop
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

// The server's child, in its job: how long it takes to end once its job is
// ended.
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

// An event of the Application log: its id, and its text in UTF-8.
using Event = std::pair<DWORD, std::string>;

// What the double's check names when it refuses a start.
constexpr const char *RefusalText =
    "C:\\Orvanel\\server\\lib\\extra.jar can be changed by Everyone (S-1-1-0).";

// Everything the double knows, under Guard.
struct Double {
  Monitor Guard;
  Point Hold = Point::None;
  bool Held = false;     // ServiceMain waits at Hold
  bool Released = false; // the test let it go on
  bool Waiting = false;  // ServiceMain is in the wait for the server
  bool Finished = false; // ServiceMain has returned
  DWORD CreateError = 0; // CreateProcessW fails with this
  bool Refuses = false;  // the check at the start refuses it
  bool Checked = false;  // the check at the start has run
  unsigned Fails = 0;    // Call bits
  int64_t ChildEnd = NoChild;
  bool JoinsLate = false; // a process joins the job while it is listed, and never ends
  uint64_t Clock = ClockStart;
  std::string Calls; // the launch's calls, in order
  HANDLE AttributeJob = nullptr;
  ThreadId ServiceThread{};
  ThreadId DispatcherThread{};
  bool DispatcherBlocked = false;  // the handler waits for the host's lock
  bool DispatcherReturned = false; // the handler has returned
  LPHANDLER_FUNCTION Handler = nullptr;
  std::vector<Report> Reports;
  std::vector<Event> Events; // every event written, in order
  Object Objects[16];
  Object *Server = nullptr;
  Object *ServerThread = nullptr;
  Object *Child = nullptr;
  Object *Late = nullptr;     // the process that joins late
  Object *Stranger = nullptr; // listed by the job, outside it when opened
  std::vector<std::string> Faults;
};

extern Double D;

class Guarded {
public:
  Guarded() { D.Guard.Lock(); }
  ~Guarded() { D.Guard.Unlock(); }
  Guarded(const Guarded &) = delete;
  Guarded &operator=(const Guarded &) = delete;
};

// A new object of the double, or null (and a fault) when all are in use.
Object *New(Kind kind);
// Ends a process by itself (byHost false) or by the host's call.
void End(Object *process, DWORD code, bool byHost);
