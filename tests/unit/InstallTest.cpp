#include <gtest/gtest.h>

#include <string>

#include "Encoding.h"
#include "ErrorText.h"
#include "Install.h"

namespace {

std::string Utf8(const WideString &s) { return Utf16ToUtf8(s).Data(); }

// The SCM as the installer sees it, for the failures Wine cannot be made to
// give (a refused manager, other codes). Every call is written to the log.
struct FakeInstaller {
  bool managerOpens = true;
  const char *directory = "C:\\orvanel";
  DWORD createError = 0; // 0: the service is created

  std::string log;
  DWORD lastError = 0;

  void Write(const std::string &call) { log += log.empty() ? call : " " + call; }

  bool OpenManager() {
    Write("OpenManager");
    lastError = ERROR_ACCESS_DENIED;
    return managerOpens;
  }
  WideString CurrentDirectory() {
    Write("CurrentDirectory");
    return Utf8ToUtf16(NarrowString(directory));
  }
  bool CreateServiceEntry(const WideString &imagePath) {
    Write("Create[" + Utf8(imagePath) + "]");
    lastError = createError;
    return createError == 0;
  }
  DWORD LastError() { return lastError; }
  void CloseHandles() { Write("Close"); }
  NarrowString DescribeLastError() { return ShapeErrorDescription(nullptr, lastError); }
  void ShowErrorBox(const NarrowString &message) { Write("Box[" + std::string(message.Data()) + "]"); }
};

TEST(Install, RegistersTheHostOfTheCurrentDirectory) {
  struct Case {
    bool managerOpens;
    const char *directory;
    DWORD createError;
    int32_t status;
    std::string log;
  };
  const std::string already = " Box[Orvanel 3.7-b412 service is already installed.\n\n"
                              "Please uninstall the existing version before installing new one.\n]";
  const std::string start = "OpenManager CurrentDirectory ";
  const Case cases[] = {
      {false, "C:\\orvanel", 0, -1,
       "OpenManager Box[OpenSCManager failed with error: Unknown error (code 5)]"},
      {true, "C:\\orvanel", 0, 0, start + "Create[\"C:\\orvanel\\orvanel_host.exe\"] Close"},
      {true, "C:\\Program Files\\\xc3\x96rvanel \xe2\x82\xac", 0, 0,
       start + "Create[\"C:\\Program Files\\\xc3\x96rvanel \xe2\x82\xac\\orvanel_host.exe\"] Close"},
      // The root keeps its backslash, so two stand in a row.
      {true, "C:\\", 0, 0, start + "Create[\"C:\\\\orvanel_host.exe\"] Close"},
      {true, "C:\\orvanel", ERROR_SERVICE_EXISTS, -1,
       start + "Create[\"C:\\orvanel\\orvanel_host.exe\"]" + already},
      {true, "C:\\orvanel", ERROR_DUPLICATE_SERVICE_NAME, -1,
       start + "Create[\"C:\\orvanel\\orvanel_host.exe\"]" + already},
      {true, "C:\\orvanel", ERROR_SERVICE_MARKED_FOR_DELETE, -1,
       start + "Create[\"C:\\orvanel\\orvanel_host.exe\"]"},
      {true, "C:\\orvanel", ERROR_ACCESS_DENIED, -1, start + "Create[\"C:\\orvanel\\orvanel_host.exe\"]"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.log);
    FakeInstaller platform;
    platform.managerOpens = c.managerOpens;
    platform.directory = c.directory;
    platform.createError = c.createError;
    EXPECT_EQ(Install(platform), c.status);
    EXPECT_EQ(platform.log, c.log);
  }
}

} // namespace
