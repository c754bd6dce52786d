#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "ErrorText.h"
#include "RowName.h"
#include "Uninstall.h"

namespace {

// A query that fails: the library's query then gives 0.
constexpr int64_t Fails = -1;

// One row: what the SCM does, and the exit status and calls that must
// come of it. Unset, everything succeeds and the service runs.
struct Row {
  const char *name;
  std::vector<int64_t> states = {SERVICE_RUNNING}; // one per query; the last one repeats
  bool managerOpens = true;
  DWORD serviceError = 0; // 0: the service opens
  bool deletes = true;
  DWORD keyError = 0;     // what removing the event source gives
  uint64_t queryCost = 0; // milliseconds a query takes
  int32_t status = 0;
  std::string log;

  explicit Row(const char *rowName) : name(rowName) {}
  Row &States(std::vector<int64_t> s) { return states = std::move(s), *this; }
  Row &ManagerRefused() { return managerOpens = false, *this; }
  Row &OpenFails(DWORD error) { return serviceError = error, *this; }
  Row &DeletionRefused() { return deletes = false, *this; }
  Row &KeyRemoval(DWORD error) { return keyError = error, *this; }
  Row &QueriesTake(uint64_t ms) { return queryCost = ms, *this; }
  Row &Gives(int32_t exitStatus, std::string calls) {
    return status = exitStatus, log = std::move(calls), *this;
  }
};

// The SCM as the uninstaller sees it, for what Wine cannot be made to do:
// failing queries and opens, and a clock the test controls. Every call is
// written to the log.
struct FakeUninstaller {
  explicit FakeUninstaller(const Row &r) : row(r) {}
  const Row &row;
  std::string log;
  DWORD lastError = 0;
  uint64_t clock = 1000;
  size_t queries = 0;

  void Write(const std::string &call) { log += log.empty() ? call : " " + call; }

  bool OpenManager() {
    Write("OpenManager");
    lastError = ERROR_ACCESS_DENIED;
    return row.managerOpens;
  }
  bool OpenServiceHandle() {
    Write("OpenService");
    lastError = row.serviceError;
    return row.serviceError == 0;
  }
  DWORD LastError() { return lastError; }
  DWORD QueryState() {
    int64_t state = row.states[std::min(queries, row.states.size() - 1)];
    ++queries;
    clock += row.queryCost;
    Write("Query");
    return state == Fails ? 0 : static_cast<DWORD>(state);
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
    return row.deletes;
  }
  DWORD DeleteEventSourceKey() { return Write("DeleteKey"), row.keyError; }
  void CloseHandles() { Write("Close"); }
  NarrowString DescribeLastError() { return ShapeErrorDescription(nullptr, lastError); }
  NarrowString DescribeError(DWORD error) { return ShapeErrorDescription(nullptr, error); }
  void ShowErrorBox(const NarrowString &message) { Write("Box[" + std::string(message.Data()) + "]"); }
};

// n status queries of the wait that find the service not stopped.
std::string Polls(int n) {
  std::string s;
  for (int i = 0; i < n; ++i)
    s += " Query Pause100";
  return s;
}

const std::string Opened = "OpenManager OpenService";
const std::string Deleted = " Delete DeleteKey Close";
const std::string NotInstalled = " Box[Orvanel 3.7-b412 service is not installed]";
const std::string TimedOut =
    " Query Box[Orvanel 3.7-b412 service did not stop within 30 seconds and was not removed]";

// clang-format off
const Row Rows[] = {
    Row("manager refused").ManagerRefused()
        .Gives(-1, "OpenManager Box[OpenSCManager failed with error: Unknown error (code 5)]"),
    Row("no such service").OpenFails(ERROR_SERVICE_DOES_NOT_EXIST).Gives(-1, Opened + NotInstalled),
    Row("invalid name").OpenFails(ERROR_INVALID_NAME).Gives(-1, Opened + NotInstalled),
    Row("other open failure is told").OpenFails(ERROR_ACCESS_DENIED)
        .Gives(-1, Opened + " Box[OpenService failed with error: Unknown error (code 5)]"),
    Row("stopped: deleted at once").States({SERVICE_STOPPED}).Gives(0, Opened + " Query" + Deleted),
    Row("running: one stop, polls").States({SERVICE_RUNNING, SERVICE_RUNNING, SERVICE_STOP_PENDING, SERVICE_STOPPED})
        .Gives(0, Opened + " Query Stop" + Polls(2) + " Query" + Deleted),
    Row("running: stopped at the first poll").States({SERVICE_RUNNING, SERVICE_STOPPED})
        .Gives(0, Opened + " Query Stop Query" + Deleted),
    Row("stop pending: no stop").States({SERVICE_STOP_PENDING, SERVICE_STOP_PENDING, SERVICE_STOPPED})
        .Gives(0, Opened + " Query" + Polls(1) + " Query" + Deleted),
    Row("start pending").States({SERVICE_START_PENDING, SERVICE_RUNNING, SERVICE_STOPPED})
        .Gives(0, Opened + " Query Stop" + Polls(1) + " Query" + Deleted),
    Row("continue pending").States({SERVICE_CONTINUE_PENDING, SERVICE_STOPPED}).Gives(0, Opened + " Query Stop Query" + Deleted),
    Row("pause pending").States({SERVICE_PAUSE_PENDING, SERVICE_STOPPED}).Gives(0, Opened + " Query Stop Query" + Deleted),
    Row("paused").States({SERVICE_PAUSED, SERVICE_STOPPED}).Gives(0, Opened + " Query Stop Query" + Deleted),
    Row("unknown state").States({99, SERVICE_STOPPED}).Gives(0, Opened + " Query Stop Query" + Deleted),
    Row("deletion refused").States({SERVICE_STOPPED}).DeletionRefused()
        .Gives(-1, Opened + " Query Delete Box[DeleteService failed with error: Unknown error (code 1072)]"),
    // The event source goes after the service; one never registered is no failure.
    Row("event source already gone").States({SERVICE_STOPPED}).KeyRemoval(ERROR_FILE_NOT_FOUND)
        .Gives(0, Opened + " Query" + Deleted),
    Row("event source removal fails").States({SERVICE_STOPPED}).KeyRemoval(ERROR_ACCESS_DENIED)
        .Gives(-1, Opened + " Query Delete DeleteKey Box[RegDeleteKey failed with error: Unknown error (code 5)]"),
    // 30 s of 100 ms pauses: 300 polls, then the last query at the limit.
    Row("never stops").Gives(-1, Opened + " Query Stop" + Polls(300) + TimedOut),
    Row("stays stop pending").States({SERVICE_STOP_PENDING}).Gives(-1, Opened + " Query" + Polls(300) + TimedOut),
    // The limit is time, not a count: slow queries mean fewer polls.
    Row("slow queries").QueriesTake(50).Gives(-1, Opened + " Query Stop" + Polls(200) + TimedOut),
    // A failed first query gives no state: one to stop from.
    Row("first query fails").States({Fails, SERVICE_STOPPED}).Gives(0, Opened + " Query Stop Query" + Deleted),
    Row("every query fails").States({Fails}).Gives(-1, Opened + " Query Stop" + Polls(300) + TimedOut),
    // A failed query while stopping is no stop: the polls go on.
    Row("later queries fail").States({SERVICE_STOP_PENDING, Fails, Fails, SERVICE_STOPPED})
        .Gives(0, Opened + " Query" + Polls(2) + " Query" + Deleted),
};
// clang-format on

void PrintTo(const Row &row, std::ostream *out) { *out << row.name; }

class Uninstall : public testing::TestWithParam<Row> {};

TEST_P(Uninstall, FollowsTheServiceStateToDeletion) {
  FakeUninstaller platform(GetParam());
  EXPECT_EQ(::Uninstall(platform), GetParam().status);
  EXPECT_EQ(platform.log, GetParam().log);
}

INSTANTIATE_TEST_SUITE_P(Rows, Uninstall, testing::ValuesIn(Rows), RowName());

} // namespace
