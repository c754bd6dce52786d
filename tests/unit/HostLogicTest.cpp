#include <gtest/gtest.h>

#include <string>

#include "HostLogic.h"

namespace {

using Text = std::basic_string<WideUnit>;

Text Of(const WideString &s) { return Text(s.Data(), static_cast<size_t>(s.Length())); }

TEST(HostLogic, BaseDirectoryIsEverythingBeforeTheLastBackslash) {
  struct Case {
    const WideUnit *path;
    const WideUnit *directory;
  };
  const Case cases[] = {
      {WIDE("C:\\Program Files\\Svc\\bin\\orvanel_host.exe"), WIDE("C:\\Program Files\\Svc\\bin")},
      {WIDE("orvanel_host.exe"), WIDE("")},
      {WIDE("C:/Svc/orvanel_host.exe"), WIDE("")},
      {WIDE("C:\\Svc/bin/orvanel_host.exe"), WIDE("C:")},
      {WIDE("\\orvanel_host.exe"), WIDE("")},
      {WIDE("C:\\Svc\\bin\\"), WIDE("C:\\Svc\\bin")},
      {WIDE("C:\\orvanel_host.exe"), WIDE("C:")},
      {WIDE("C:\\\\orvanel_host.exe"), WIDE("C:\\")},
      {WIDE(""), WIDE("")},
      {WIDE("C:\\Dienste f\u00fcr \u00c4mter\\\U0001F680\\orvanel_host.exe"),
       WIDE("C:\\Dienste f\u00fcr \u00c4mter\\\U0001F680")},
  };
  for (const Case &c : cases) {
    WideString directory = DeriveBaseDirectory(c.path);
    EXPECT_EQ(Of(directory), Text(c.directory)) << Of(WideString(c.path)).size();
    EXPECT_EQ(directory.Data()[directory.Length()], 0);
  }
}

// 19 units and a terminator still fit inline; 20 units need a heap block.
TEST(HostLogic, LongBaseDirectoryMovesToTheHeap) {
  struct Case {
    const WideUnit *path;
    int32_t length;
    bool inlined;
  };
  const Case cases[] = {
      {WIDE("C:\\123456789012345\\orvanel_host.exe"), 18, true},
      {WIDE("C:\\1234567890123456\\orvanel_host.exe"), 19, true},
      {WIDE("C:\\12345678901234567\\orvanel_host.exe"), 20, false},
  };
  for (const Case &c : cases) {
    WideString directory = DeriveBaseDirectory(c.path);
    EXPECT_EQ(directory.Length(), c.length);
    EXPECT_EQ(directory.IsInline(), c.inlined) << c.length;
  }
}

TEST(HostLogic, ServerCommandLineQuotesEachPathAndKeepsTheDirectoryAsItIs) {
  struct Case {
    const WideUnit *directory;
    const WideUnit *commandLine;
  };
  const Case cases[] = {
      {WIDE("C:\\Svc\\bin"),
       WIDE("\"C:\\Svc\\bin\\..\\jre64\\bin\\java.exe\" -Xrs -jar \"C:\\Svc\\bin\\orvanel_app.jar\" "
            "\"C:\\Svc\\bin\\orvanel_app.conf\"")},
      {WIDE("C:\\Program Files\\Svc"), WIDE("\"C:\\Program Files\\Svc\\..\\jre64\\bin\\java.exe\" -Xrs -jar "
                                            "\"C:\\Program Files\\Svc\\orvanel_app.jar\" "
                                            "\"C:\\Program Files\\Svc\\orvanel_app.conf\"")},
      {WIDE(""),
       WIDE("\"\\..\\jre64\\bin\\java.exe\" -Xrs -jar \"\\orvanel_app.jar\" \"\\orvanel_app.conf\"")},
      {WIDE("D:\\a \"b\"/c"),
       WIDE("\"D:\\a \"b\"/c\\..\\jre64\\bin\\java.exe\" -Xrs -jar \"D:\\a \"b\"/c\\orvanel_app.jar\" "
            "\"D:\\a \"b\"/c\\orvanel_app.conf\"")},
      {WIDE("C:\\\u00c4\U0001F680"),
       WIDE("\"C:\\\u00c4\U0001F680\\..\\jre64\\bin\\java.exe\" -Xrs -jar "
            "\"C:\\\u00c4\U0001F680\\orvanel_app.jar\" \"C:\\\u00c4\U0001F680\\orvanel_app.conf\"")},
  };
  for (const Case &c : cases) {
    WideString commandLine = ComposeServerCommandLine(WideString(c.directory));
    EXPECT_EQ(Of(commandLine), Text(c.commandLine));
    EXPECT_FALSE(commandLine.IsInline());
  }
}

// One run's reports in order, then more reports in a counting state: each
// row is what the record holds after that report and what the counter holds.
TEST(HostLogic, ReportRulesFillTheRecord) {
  struct Case {
    DWORD state, waitHint;
    DWORD accepted, checkPoint, nextCheckPoint;
  };
  const Case cases[] = {
      {SERVICE_START_PENDING, 1000, 0, 1, 2}, {SERVICE_RUNNING, 0, 5, 0, 2},
      {SERVICE_RUNNING, 0, 5, 0, 2},          {SERVICE_STOPPED, 1000, 5, 0, 2},
      {SERVICE_START_PENDING, 3000, 0, 2, 3}, {SERVICE_STOP_PENDING, 7, 5, 3, 4},
      {SERVICE_STOPPED, 0, 5, 0, 4},
  };
  // Type and exit codes hold values no report may change.
  SERVICE_STATUS record = {SERVICE_WIN32_OWN_PROCESS, 99, 99, 11, 12, 99, 99};
  DWORD nextCheckPoint = 1;
  for (const Case &c : cases) {
    FillServiceStatus(record, nextCheckPoint, c.state, c.waitHint);
    EXPECT_EQ(record.dwCurrentState, c.state);
    EXPECT_EQ(record.dwWaitHint, c.waitHint);
    EXPECT_EQ(record.dwControlsAccepted, c.accepted) << c.state;
    EXPECT_EQ(record.dwCheckPoint, c.checkPoint) << c.state;
    EXPECT_EQ(nextCheckPoint, c.nextCheckPoint) << c.state;
    EXPECT_EQ(record.dwServiceType, SERVICE_WIN32_OWN_PROCESS);
    EXPECT_EQ(record.dwWin32ExitCode, 11u);
    EXPECT_EQ(record.dwServiceSpecificExitCode, 12u);
  }
}

TEST(HostLogic, StoppedExitCodesTellAFailureFromACleanEnd) {
  struct Case {
    bool stopRequested;
    DWORD serverError, serverExitCode;
    DWORD win32, specific;
  };
  const Case cases[] = {
      {false, 0, 0, 0, 0},
      {false, 0, 7, ERROR_SERVICE_SPECIFIC_ERROR, 7},
      {false, 0, 0xFFFFFFFF, ERROR_SERVICE_SPECIFIC_ERROR, 0xFFFFFFFF},
      // A failed launch: the file or path is missing, access is denied, not a program.
      {false, 2, 0, 2, 0},
      {false, 3, 0, 3, 0},
      {false, 5, 0, 5, 0},
      {false, 193, 0, 193, 0},
      // A stop is no failure, whatever the server's end looked like.
      {true, 0, 0, 0, 0},
      {true, 0, 1, 0, 0},
      {true, 2, 0, 0, 0},
  };
  for (const Case &c : cases) {
    StoppedExitCodes codes = DecideStoppedExitCodes(c.stopRequested, c.serverError, c.serverExitCode);
    EXPECT_EQ(codes.Win32, c.win32) << c.stopRequested << " " << c.serverError << " " << c.serverExitCode;
    EXPECT_EQ(codes.Specific, c.specific)
        << c.stopRequested << " " << c.serverError << " " << c.serverExitCode;
  }
}

} // namespace
