#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "ErrorText.h"
#include "Uninstall.h"

namespace {

// A query that fails and leaves the record as it is.
constexpr int64_t Fails = -1;

// The SCM as the uninstaller sees it, for what Wine cannot be made to do:
// failing queries and opens, and a clock the test controls. Every call is
// written to the log.
struct FakeUninstaller {
  bool managerOpens = true;
  DWORD serviceError = 0;      // 0: the service opens
  std::vector<int64_t> states; // one per query; the last one repeats
  bool deletes = true;
  uint64_t queryCost = 0; // milliseconds a query takes

  std::string log;
  DWORD lastError = 0;
  uint64_t clock = 1000;
  size_t queries = 0;
  bool firstRecordZeroed = false;

  void Write(const std::string &call) { log += log.empty() ? call : " " + call; }

  bool OpenManager() {
    Write("OpenManager");
    lastError = ERROR_ACCESS_DENIED;
    return managerOpens;
  }
  bool OpenServiceHandle() {
    Write("OpenService");
    lastError = serviceError;
    return serviceError == 0;
  }
  DWORD LastError() { return lastError; }
  void QueryStatus(SERVICE_STATUS_PROCESS &status) {
    if (queries == 0) {
      SERVICE_STATUS_PROCESS zero;
      std::memset(&zero, 0, sizeof zero);
      firstRecordZeroed = std::memcmp(&status, &zero, sizeof zero) == 0;
    }
    int64_t state = states[queries < states.size() ? queries : states.size() - 1];
    ++queries;
    clock += queryCost;
    Write("Query");
    if (state != Fails)
      status.dwCurrentState = static_cast<DWORD>(state);
  }
  void RequestStop() { Write("Stop"); }
  void Pause(DWORD milliseconds) {
    Write("Pause" + std::to_string(milliseconds));
    clock += milliseconds;
  }
  uint64_t Milliseconds() { return clock; }
  bool DeleteServiceHandle() {
    Write("Delete");
    lastError = ERROR_SERVICE_MARKED_FOR_DELETE;
    return deletes;
  }
  void CloseHandles() { Write("Close"); }
  NarrowString DescribeLastError() { return ShapeErrorDescription(nullptr, lastError); }
  void ShowErrorBox(const NarrowString &message) { Write("Box[" + std::string(message.Data()) + "]"); }
};

// n status queries of the wait that find the service not stopped.
std::string Polls(int n) {
  std::string s;
  for (int i = 0; i < n; ++i)
    s += " Query Pause100";
  return s;
}

const std::string TimedOut =
    " Query Box[Orvanel 3.7-b412 service did not stop within 30 seconds and was not removed]";

TEST(Uninstall, FollowsTheServiceStateToDeletion) {
  struct Case {
    const char *name;
    FakeUninstaller platform;
    int32_t status;
    std::string log;
  };
  auto With = [](std::vector<int64_t> states) {
    FakeUninstaller f;
    f.states = std::move(states);
    return f;
  };
  FakeUninstaller noManager = With({SERVICE_RUNNING});
  noManager.managerOpens = false;
  FakeUninstaller missing = With({SERVICE_RUNNING});
  missing.serviceError = ERROR_SERVICE_DOES_NOT_EXIST;
  FakeUninstaller invalidName = With({SERVICE_RUNNING});
  invalidName.serviceError = ERROR_INVALID_NAME;
  FakeUninstaller denied = With({SERVICE_RUNNING});
  denied.serviceError = ERROR_ACCESS_DENIED;
  FakeUninstaller marked = With({SERVICE_STOPPED});
  marked.deletes = false;
  FakeUninstaller slowQueries = With({SERVICE_RUNNING});
  slowQueries.queryCost = 50;

  const std::string opened = "OpenManager OpenService";
  const std::string deleted = " Delete Close";
  Case cases[] = {
      {"manager refused", noManager, -1,
       "OpenManager Box[OpenSCManager failed with error: Unknown error (code 5)]"},
      {"no such service", missing, -1, opened + " Box[Orvanel 3.7-b412 service is not installed]"},
      {"invalid name", invalidName, -1, opened + " Box[Orvanel 3.7-b412 service is not installed]"},
      {"other open failure is told", denied, -1,
       opened + " Box[OpenService failed with error: Unknown error (code 5)]"},
      {"stopped: deleted at once", With({SERVICE_STOPPED}), 0, opened + " Query" + deleted},
      {"running: one stop, polls",
       With({SERVICE_RUNNING, SERVICE_RUNNING, SERVICE_STOP_PENDING, SERVICE_STOPPED}), 0,
       opened + " Query Stop" + Polls(2) + " Query" + deleted},
      {"running: stopped at the first poll", With({SERVICE_RUNNING, SERVICE_STOPPED}), 0,
       opened + " Query Stop Query" + deleted},
      {"stop pending: no stop", With({SERVICE_STOP_PENDING, SERVICE_STOP_PENDING, SERVICE_STOPPED}), 0,
       opened + " Query" + Polls(1) + " Query" + deleted},
      {"start pending", With({SERVICE_START_PENDING, SERVICE_RUNNING, SERVICE_STOPPED}), 0,
       opened + " Query Stop" + Polls(1) + " Query" + deleted},
      {"continue pending", With({SERVICE_CONTINUE_PENDING, SERVICE_STOPPED}), 0,
       opened + " Query Stop Query" + deleted},
      {"pause pending", With({SERVICE_PAUSE_PENDING, SERVICE_STOPPED}), 0,
       opened + " Query Stop Query" + deleted},
      {"paused", With({SERVICE_PAUSED, SERVICE_STOPPED}), 0, opened + " Query Stop Query" + deleted},
      {"unknown state", With({99, SERVICE_STOPPED}), 0, opened + " Query Stop Query" + deleted},
      {"deletion refused", marked, -1,
       opened + " Query Delete Box[DeleteService failed with error: Unknown error (code 1072)]"},
      // 30 s of 100 ms pauses: 300 polls, then the last query at the limit.
      {"never stops", With({SERVICE_RUNNING}), -1, opened + " Query Stop" + Polls(300) + TimedOut},
      {"stays stop pending", With({SERVICE_STOP_PENDING}), -1, opened + " Query" + Polls(300) + TimedOut},
      // The limit is time, not a count: slow queries mean fewer polls.
      {"slow queries", slowQueries, -1, opened + " Query Stop" + Polls(200) + TimedOut},
      // A failed first query leaves the zeroed record: a state to stop from.
      {"first query fails", With({Fails, SERVICE_STOPPED}), 0, opened + " Query Stop Query" + deleted},
      {"every query fails", With({Fails}), -1, opened + " Query Stop" + Polls(300) + TimedOut},
      // A failed query leaves the previous state in the record.
      {"later queries fail", With({SERVICE_STOP_PENDING, Fails, Fails, SERVICE_STOPPED}), 0,
       opened + " Query" + Polls(2) + " Query" + deleted},
  };
  for (Case &c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(Uninstall(c.platform), c.status);
    EXPECT_EQ(c.platform.log, c.log);
    if (c.platform.queries > 0) {
      EXPECT_TRUE(c.platform.firstRecordZeroed);
    }
  }
}

} // namespace
