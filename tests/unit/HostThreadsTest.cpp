// The host's two threads driven step by step, through every window where a
// control can meet ServiceMain. The service objects are the host's own; the
// platform is the double of HostDouble.h, which hands the handler a control
// on a thread of its own, as the dispatcher would. Each row runs in a
// process of its own (a death test), since the host's state lives for the
// whole process.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "ErrorText.h"
#include "HostDouble.h"
#include "RowName.h"

namespace {

constexpr DWORD NoControl = 0xFFFFFFFF;

constexpr Report StartPending = {SERVICE_START_PENDING, 0, 0, 0, 1, 1000};
constexpr Report Running = {SERVICE_RUNNING, 5, 0, 0, 0, 0};
constexpr Report Stopped(DWORD win32 = 0, DWORD specific = 0) {
  return {SERVICE_STOPPED, 5, win32, specific, 0, 1000};
}
std::string Text(const Report &r) {
  auto n = [](DWORD v) { return std::to_string(v); };
  return "{state " + n(r.state) + ", accepted " + n(r.accepted) + ", exit " + n(r.win32) + "/" +
         n(r.specific) + ", check-point " + n(r.checkPoint) + ", hint " + n(r.waitHint) + "}";
}

// The event of a launch that failed with code for the host C:\orvanel_host.exe
// (".." stays at the drive): MSG_LAUNCH_FAILED, with the error severity.
Event LaunchFailed(DWORD code) {
  return {0xC0000002,
          "Starting C:\\jre64\\bin\\java.exe failed with error: " + std::string(DescribeError(code).Data())};
}

// The handler's answer between ServiceMain's running and stopped reports.
const std::vector<Report> Answered = {StartPending, Running, Running, Stopped()};
// No answer: the control came before the reply state or after the stopped report.
const std::vector<Report> Unanswered = {StartPending, Running, Stopped()};

// One row: where ServiceMain is held and the control it meets there, what
// the double does, and what must come of it. Unset, the server is launched,
// the host ends it, and the handler's answer comes between the reports.
struct Scenario {
  const char *name;
  Point point = Point::None;
  DWORD control = NoControl;
  std::vector<Report> reports = Answered;
  bool launched = true;
  bool endedByHost = true;
  DWORD exitCode = 0;    // the server's own end, when nothing else ends it
  DWORD createError = 0; // the launch fails with this
  unsigned fails = 0;    // Call bits
  int64_t childEnd = NoChild;
  const char *calls = nullptr; // the launch's calls, when they matter
  bool stranger = false;       // the job lists an id that names a process outside it
  bool joinsLate = false;      // a process joins the job once it is ended, and never ends
  bool refuses = false;        // the check at the start refuses it
  std::vector<Event> events;   // none unless the row says

  explicit Scenario(const char *rowName) : name(rowName) {}
  Scenario &At(Point p, DWORD c) { return point = p, control = c, *this; }
  Scenario &Reports(std::vector<Report> r) { return reports = std::move(r), *this; }
  Scenario &NotLaunched() { return launched = false, endedByHost = false, *this; }
  Scenario &EndsByItself(DWORD code = 0) { return endedByHost = false, exitCode = code, *this; }
  Scenario &LaunchFails(DWORD error) { return createError = error, NotLaunched(); }
  Scenario &Refused() { return refuses = true, NotLaunched(); }
  Scenario &Failing(unsigned calls) { return fails = calls, *this; }
  Scenario &ChildEndsAfter(int64_t ms) { return childEnd = ms, *this; }
  Scenario &Calls(const char *launch) { return calls = launch, *this; }
  Scenario &Stranger() { return stranger = true, *this; }
  Scenario &JoinsLate() { return joinsLate = true, *this; }
  Scenario &Logs(Event e) { return events.push_back(std::move(e)), *this; }
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
  D.JoinsLate = s.joinsLate;
  D.Refuses = s.refuses;
  D.Stranger = s.stranger ? New(Kind::Child) : nullptr;
  D.Guard.Unlock();
  BaseDirectory = WideString(WIDE("C:"));

  Thread service(&ServiceThreadMain);
  D.Guard.Lock();
  bool reached = true;
  switch (s.point) {
  case Point::StartPending:
  case Point::Running:
  case Point::Check:
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
  if (D.Events != s.events)
    faults.push_back("events: " + (D.Events.empty() ? "none" : D.Events[0].second));
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

constexpr DWORD Stop = SERVICE_CONTROL_STOP, Shutdown = SERVICE_CONTROL_SHUTDOWN,
                Interrogate = SERVICE_CONTROL_INTERROGATE;

// clang-format off
const Scenario Scenarios[] = {
    // Before ReplyState is set: a stop prevents the launch and is not answered.
    Scenario("interrogate before the reply state").At(Point::StartPending, Interrogate).Reports(Unanswered).EndsByItself(),
    Scenario("stop before the reply state").At(Point::StartPending, Stop).Reports(Unanswered).NotLaunched(),
    Scenario("shutdown before the reply state").At(Point::StartPending, Shutdown).Reports(Unanswered).NotLaunched(),
    // After the running report, before the launch: the launch does not happen.
    Scenario("stop before the launch").At(Point::Running, Stop).NotLaunched(),
    Scenario("shutdown before the launch").At(Point::Running, Shutdown).NotLaunched(),
    // During the launch: the handler waits for it, then ends the server.
    Scenario("stop during the launch").At(Point::Launch, Stop),
    Scenario("shutdown during the launch").At(Point::Launch, Shutdown),
    Scenario("stop during the launch, no job").At(Point::Launch, Stop).Failing(CreateJob).Calls("create"),
    // During the wait.
    Scenario("stop during the wait").At(Point::Wait, Stop),
    Scenario("shutdown during the wait").At(Point::Wait, Shutdown),
    Scenario("interrogate during the wait").At(Point::Wait, Interrogate).EndsByItself(7)
        .Reports({StartPending, Running, Running, Stopped(ERROR_SERVICE_SPECIFIC_ERROR, 7)}),
    // After the stopped report nothing is reported and nothing is ended.
    Scenario("stop after the stopped report").At(Point::Stopped, Stop).Reports(Unanswered).EndsByItself(),
    Scenario("interrogate after the stopped report").At(Point::Stopped, Interrogate).Reports(Unanswered).EndsByItself(),
    Scenario("shutdown after the stopped report").At(Point::Stopped, Shutdown).EndsByItself(3)
        .Reports({StartPending, Running, Stopped(ERROR_SERVICE_SPECIFIC_ERROR, 3)}),
    // A launch that fails stops the service at once with its error, and logs which program failed and why.
    Scenario("an event for a failed launch").LaunchFails(2).Reports({StartPending, Running, Stopped(2)})
        .Logs(LaunchFailed(2)),
    // The check at every start: a refusal is logged and nothing is launched;
    // a stop during the check, without the host's lock, ends it, and nothing
    // is launched or logged.
    Scenario("the check passes").Reports(Unanswered).EndsByItself(),
    Scenario("refused check").Refused().Reports({StartPending, Running, Stopped(StartRefusedError)})
        .Logs({MSG_START_REFUSED, RefusalText}),
    Scenario("stop during the check").At(Point::Check, Stop).NotLaunched(),
    // The server is created in its job; where the system refuses that, it
    // is created suspended and joins the job before it runs.
    Scenario("in its job from its creation").At(Point::Wait, Stop).Calls("attribute create-in-job"),
    Scenario("job attribute refused").At(Point::Wait, Stop).Failing(JobAttribute)
        .Calls("attribute create-suspended assign resume"),
    Scenario("creation in the job refused").At(Point::Wait, Stop).Failing(CreateInJob)
        .Calls("attribute create-in-job create-suspended assign resume"),
    Scenario("job limits refused").At(Point::Wait, Stop).Failing(SetLimits).Calls("create"),
    // A server that cannot join the job runs without one, and a stop ends it.
    Scenario("assignment refused").At(Point::Wait, Stop).Failing(JobAttribute | Assign),
    // A suspended server that cannot be resumed is ended, and the launch fails.
    Scenario("resume fails").Failing(JobAttribute | Resume).Reports({StartPending, Running, Stopped(ERROR_ACCESS_DENIED)})
        .Logs(LaunchFailed(ERROR_ACCESS_DENIED)),
    // Stopped only once every process of the job has ended, or after the bound.
    Scenario("a process of the job ends late").At(Point::Wait, Stop).ChildEndsAfter(300),
    Scenario("a process of the job never ends").At(Point::Wait, Stop).ChildEndsAfter(NeverEnds),
    Scenario("the job cannot be listed").At(Point::Wait, Stop).Failing(QueryJob),
    Scenario("the job cannot be ended").At(Point::Wait, Stop).Failing(TerminateJob),
    Scenario("a listed id no longer the job's").At(Point::Wait, Stop).Stranger(),
    // The bound holds for both rounds together: the second begins with the
    // time the first spent on the child, and waits only for what is left.
    Scenario("second round with time spent").At(Point::Wait, Stop).ChildEndsAfter(3000).JoinsLate(),
    // A stop while the job of a failed server ends is answered, and the
    // failure is still told.
    Scenario("stop while the job of a failed server ends").At(Point::JobWait, Stop).EndsByItself(7).ChildEndsAfter(300)
        .Reports({StartPending, Running, Running, Stopped(ERROR_SERVICE_SPECIFIC_ERROR, 7)}),
};
// clang-format on

void PrintTo(const Scenario &row, std::ostream *out) { *out << row.name; }

class HostThreads : public testing::TestWithParam<Scenario> {};

TEST_P(HostThreads, EndsAsItMust) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(Play(GetParam()), testing::ExitedWithCode(0), "");
}

INSTANTIATE_TEST_SUITE_P(Windows, HostThreads, testing::ValuesIn(Scenarios), RowName());

// The library's handle owner on the double's handles, which count their
// closes and fault on a close of anything else.
TEST(ScopedHandle, ClosesWhatItHoldsOnceKeepingTheLastError) {
  Object *first = New(Kind::Job), *second = New(Kind::Job);
  {
    ScopedHandle handle(first);
    handle.Reset(first);
    EXPECT_EQ(first->closes, 0) << "reset to its own handle";
    SetLastError(7);
    handle.Reset(second);
    EXPECT_EQ(first->closes, 1);
    EXPECT_EQ(GetLastError(), 7u);
    ScopedHandle moved(std::move(handle));
    EXPECT_FALSE(handle.IsValid());
    EXPECT_EQ(moved.Get(), second);
  }
  EXPECT_EQ(second->closes, 1);
  for (HANDLE none : {HANDLE{}, INVALID_HANDLE_VALUE}) {
    ScopedHandle handle(none);
    EXPECT_FALSE(handle.IsValid());
  }
  EXPECT_EQ(D.Faults, std::vector<std::string>{});
}

} // namespace
