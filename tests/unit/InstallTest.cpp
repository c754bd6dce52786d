#include <gtest/gtest.h>

#include <string>

#include "Encoding.h"
#include "ErrorText.h"
#include "Install.h"

namespace {

std::string Utf8(const WideString &s) { return Utf16ToUtf8(s).Data(); }

// Beside the installation directory, jre64 holds bin\java.exe, bin\back (a
// link back to jre64) and lib (a link to C:\other, which holds modules).
struct Entry {
  const char *directory, *name;
  DWORD attributes;   // 0x410: a link to a directory
  const char *target; // where a directory leads
};
const Entry Tree[] = {{"C:", "jre64", FILE_ATTRIBUTE_DIRECTORY, "C:\\jre64"},
                      {"C:\\jre64", "bin", FILE_ATTRIBUTE_DIRECTORY, "C:\\jre64\\bin"},
                      {"C:\\jre64", "lib", 0x410, "C:\\other"},
                      {"C:\\jre64\\bin", "back", 0x410, "C:\\jre64"},
                      {"C:\\jre64\\bin", "java.exe", 0x20, ""},
                      {"C:\\other", "modules", 0x20, ""}};

// Where a path leads through every link on its way, and the entry it names.
std::string Resolve(const std::string &path, const Entry **named = nullptr) {
  size_t cut = path.rfind('\\');
  for (const Entry &entry : Tree)
    if (cut != std::string::npos && path.substr(cut + 1) == entry.name &&
        Resolve(path.substr(0, cut)) == entry.directory) {
      if (named != nullptr)
        *named = &entry;
      return entry.target[0] != 0 ? entry.target : path;
    }
  return path;
}

// The SCM and the files as the installer sees them, for what Wine cannot give
// (a refused manager, other codes, links, failed reads). The SCM's calls are logged.
struct FakeInstaller {
  bool managerOpens = true;
  const char *directory = "C:\\orvanel";
  DWORD createError = 0; // 0: the service is created
  bool hostPresent = true;
  DWORD hostError = 0; // when present, what the query gives
  // What Everyone can change, or what fails with readError: a path,
  // "<path> (link)" for a link itself, "<path>\*" for a listing.
  std::string object;
  DWORD readError = 0;

  std::string log;
  DWORD lastError = 0;
  int listings = 0;

  void Write(const std::string &call) { log += log.empty() ? call : " " + call; }

  // The permission check's paths come in the \\?\ form, the host check's not.
  std::string Plain(const WideString &path, const char *call) {
    std::string text = Utf8(path);
    if (text.rfind("\\\\?\\", 0) != 0)
      Write(std::string(call) + "[" + text + "]");
    return text.substr(text.rfind("\\\\?\\", 0) == 0 ? 4 : 0);
  }
  bool OpenManager() {
    Write("OpenManager");
    lastError = ERROR_ACCESS_DENIED;
    return managerOpens;
  }
  WideString CurrentDirectory() {
    Write("CurrentDirectory");
    return Utf8ToUtf16(NarrowString(directory));
  }
  DWORD FileAttributes(const WideString &path) {
    std::string text = Plain(path, "Attributes");
    bool host = text.find("orvanel_host.exe") != std::string::npos;
    lastError = text == object ? readError : !host ? 0 : hostPresent ? hostError : ERROR_FILE_NOT_FOUND;
    const Entry *entry = nullptr;
    Resolve(text, &entry);
    return lastError != 0 ? INVALID_FILE_ATTRIBUTES : entry != nullptr ? entry->attributes : 0x20;
  }
  WideString FullPath(const WideString &) { return WIDE("C:\\"); }
  DWORD ReadSecurity(const WideString &path, bool link, ObjectSecurity &security, FileId *id) {
    std::string text = Plain(path, "Read");
    bool named = text + (link ? " (link)" : "") == object;
    security.HasDacl = true;
    // Write attributes counts for a link alone.
    if (named)
      security.Aces = {
          {ACCESS_ALLOWED_ACE_TYPE, 0, DWORD(link ? FILE_WRITE_ATTRIBUTES : WRITE_DAC), Sid{1, 1, {0}}}};
    if (id != nullptr)
      id->Low = std::hash<std::string>()(Resolve(text));
    return named ? readError : 0;
  }
  // Bounded, so that a walk that loops fails its row, not the stack.
  DWORD ListDirectory(const WideString &path, std::list<DirectoryEntry> &entries) {
    std::string text = Plain(path, "List");
    if (text + "\\*" == object || ++listings > 50)
      return readError != 0 ? readError : ERROR_ACCESS_DENIED;
    for (const Entry &entry : Tree)
      if (Resolve(text) == entry.directory)
        entries.push_back({Utf8ToUtf16(NarrowString(entry.name)), entry.attributes});
    return 0;
  }
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
  const std::string create = start + "Create[\"C:\\orvanel\\orvanel_host.exe\"]";
  auto read = [](const std::string &path, int code) {
    return "Box[Reading the permissions of " + path + " failed with error: Unknown error (code " +
           std::to_string(code) + ")]";
  };
  auto changed = [](const std::string &path) {
    return "Box[" + path +
           " can be changed by Everyone (S-1-1-0).\n\nThe service would run it as LocalSystem. "
           "Remove that permission, or install under Program Files.]";
  };
  const Case cases[] = {
      {false, "C:\\orvanel", true, 0, -1,
       "OpenManager Box[OpenSCManager failed with error: Unknown error (code 5)]"},
      {true, "C:\\orvanel", true, 0, 0, create + " Close"},
      {true, "C:\\Program Files\\\xc3\x96rvanel \xe2\x82\xac", true, 0, 0,
       "OpenManager CurrentDirectory Attributes[C:\\Program Files\\\xc3\x96rvanel "
       "\xe2\x82\xac\\orvanel_host.exe] "
       "Create[\"C:\\Program Files\\\xc3\x96rvanel \xe2\x82\xac\\orvanel_host.exe\"] Close"},
      // The root keeps its backslash, so two stand in a row.
      {true, "C:\\", true, 0, 0,
       "OpenManager CurrentDirectory Attributes[C:\\\\orvanel_host.exe] "
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
      {true, "C:\\orvanel", true, 0, -1, start + changed("C:\\orvanel\\orvanel_app.conf"),
       "C:\\orvanel\\orvanel_app.conf"},
      {true, "C:\\orvanel", true, 0, -1, start + read("C:\\orvanel", 5), "C:\\orvanel", ERROR_ACCESS_DENIED},
      // What was listed is read, whatever fails; links lead on and are judged themselves.
      {true, "C:\\orvanel", true, 0, -1, start + read("C:\\jre64\\bin\\java.exe", 3),
       "C:\\jre64\\bin\\java.exe", 3},
      {true, "C:\\orvanel", true, 0, -1, start + read("C:\\jre64\\bin", 5), "C:\\jre64\\bin\\*", 5},
      {true, "C:\\orvanel", true, 0, -1, start + changed("C:\\jre64\\lib\\modules"),
       "C:\\jre64\\lib\\modules"},
      {true, "C:\\orvanel", true, 0, -1, start + changed("C:\\jre64\\lib"), "C:\\jre64\\lib (link)"},
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
