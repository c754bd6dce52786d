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
  bool hostPresent = true;
  DWORD hostError = 0; // when present, what the query gives
  // The object that Everyone owns, or whose security cannot be read.
  std::string object;
  DWORD readError = 0;

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
  // Only the host is there, not jre64.
  DWORD FileAttributes(const WideString &path) {
    Write("Attributes[" + Utf8(path) + "]");
    bool host = Utf8(path).find("orvanel_host.exe") != std::string::npos;
    lastError = !host ? ERROR_PATH_NOT_FOUND : hostPresent ? hostError : ERROR_FILE_NOT_FOUND;
    return lastError == 0 ? 0x20 : INVALID_FILE_ATTRIBUTES;
  }
  WideString FullPath(const WideString &) { return WIDE("C:\\"); }
  DWORD ReadSecurity(const WideString &path, ObjectSecurity &security) {
    security.HasDacl = true;
    security.Owner = Utf8(path) == object ? Sid{1, 1, {0}} : Sid{5, 2, {32, 544}};
    return Utf8(path) == object ? readError : 0;
  }
  DWORD ListDirectory(const WideString &, std::list<DirectoryEntry> &) { return ERROR_PATH_NOT_FOUND; }
  bool LookupAccount(const Sid &, WideString &, WideString &name) {
    name = WIDE("Everyone");
    return true;
  }
  void SetLastError(DWORD error) { lastError = error; }
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
    bool hostPresent;
    DWORD createError;
    int32_t status;
    std::string log;
    std::string object = "";
    DWORD readError = 0;
    DWORD hostError = 0;
  };
  const std::string already = " Box[Orvanel 3.7-b412 service is already installed.\n\n"
                              "Please uninstall the existing version before installing new one.\n]";
  const std::string start = "OpenManager CurrentDirectory Attributes[C:\\orvanel\\orvanel_host.exe] ";
  const std::string create = start + "Attributes[C:\\jre64] Create[\"C:\\orvanel\\orvanel_host.exe\"]";
  const Case cases[] = {
      {false, "C:\\orvanel", true, 0, -1,
       "OpenManager Box[OpenSCManager failed with error: Unknown error (code 5)]"},
      {true, "C:\\orvanel", true, 0, 0, create + " Close"},
      {true, "C:\\Program Files\\\xc3\x96rvanel \xe2\x82\xac", true, 0, 0,
       "OpenManager CurrentDirectory Attributes[C:\\Program Files\\\xc3\x96rvanel "
       "\xe2\x82\xac\\orvanel_host.exe] Attributes[C:\\jre64] "
       "Create[\"C:\\Program Files\\\xc3\x96rvanel \xe2\x82\xac\\orvanel_host.exe\"] Close"},
      // The root keeps its backslash, so two stand in a row.
      {true, "C:\\", true, 0, 0,
       "OpenManager CurrentDirectory Attributes[C:\\\\orvanel_host.exe] Attributes[C:\\jre64] "
       "Create[\"C:\\\\orvanel_host.exe\"] Close"},
      // A service for a missing host could never start: nothing is registered.
      {true, "C:\\Windows\\System32 \xc3\x96", false, 0, -1,
       "OpenManager CurrentDirectory Attributes[C:\\Windows\\System32 \xc3\x96\\orvanel_host.exe] "
       "Box[orvanel_host.exe was not found in C:\\Windows\\System32 \xc3\x96.\n\n"
       "Run orvanel_install.exe from the installation directory.]"},
      {true, "C:\\orvanel", true, ERROR_SERVICE_EXISTS, -1, create + already},
      {true, "C:\\orvanel", true, ERROR_DUPLICATE_SERVICE_NAME, -1, create + already},
      // Every other failure is told, with the system's description.
      {true, "C:\\orvanel", true, ERROR_SERVICE_MARKED_FOR_DELETE, -1,
       create + " Box[CreateService failed with error: Unknown error (code 1072)]"},
      {true, "C:\\orvanel", true, ERROR_ACCESS_DENIED, -1,
       create + " Box[CreateService failed with error: Unknown error (code 5)]"},
      // A path too long to query is not a missing host.
      {true, "C:\\orvanel", true, 0, -1,
       start + "Box[Checking orvanel_host.exe failed with error: Unknown error (code 206)]", "", 0, 206},
      // What ordinary users can change stops the installer before it registers anything.
      {true, "C:\\orvanel", true, 0, -1,
       start + "Box[C:\\orvanel\\orvanel_app.conf can be changed by Everyone (S-1-1-0).\n\nThe service would "
               "run it as LocalSystem. Remove that permission, or install under Program Files.]",
       "C:\\orvanel\\orvanel_app.conf"},
      {true, "C:\\orvanel", true, 0, -1,
       start + "Box[Reading the permissions of C:\\orvanel failed with error: Unknown error (code 5)]",
       "C:\\orvanel", ERROR_ACCESS_DENIED},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.log);
    FakeInstaller platform;
    platform.managerOpens = c.managerOpens;
    platform.directory = c.directory;
    platform.hostPresent = c.hostPresent;
    platform.createError = c.createError;
    platform.hostError = c.hostError;
    platform.object = c.object;
    platform.readError = c.readError;
    EXPECT_EQ(Install(platform), c.status);
    EXPECT_EQ(platform.log, c.log);
  }
}

} // namespace
