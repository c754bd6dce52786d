#include <gtest/gtest.h>

#include <string>

#include "Encoding.h"
#include "ErrorText.h"
#include "Install.h"

namespace {

std::string Utf8(const WideString &s) { return Utf16ToUtf8(s).Data(); }

// Beside the installation directory C:\orvanel, jre64 holds bin\java.exe,
// bin\back (a link back to jre64) and lib (a link to C:\other, which holds
// modules). C:\orvanel holds lib\extra.jar and plugins, a link to a folder
// elsewhere; C:\Lnk is a link to C:\Hidden\Real.
struct Entry {
  const char *directory, *name;
  DWORD attributes;   // 0x410: a link to a directory
  const char *target; // where a link leads
};
const DWORD Folder = FILE_ATTRIBUTE_DIRECTORY, Link = 0x410, File = 0x20;
const Entry Tree[] = {{"C:\\", "jre64", Folder, ""},
                      {"C:\\jre64", "bin", Folder, ""},
                      {"C:\\jre64", "lib", Link, "C:\\other"},
                      {"C:\\jre64\\bin", "back", Link, "C:\\jre64"},
                      {"C:\\jre64\\bin", "java.exe", File, ""},
                      {"C:\\other", "modules", File, ""},
                      {"C:\\orvanel", "lib", Folder, ""},
                      {"C:\\orvanel\\lib", "extra.jar", File, ""},
                      {"C:\\orvanel", "plugins", Link, "C:\\elsewhere\\plugins"},
                      {"C:\\elsewhere\\plugins", "plugin.jar", File, ""},
                      {"C:\\", "Lnk", Link, "C:\\Hidden\\Real"}};

// Where a path leads through every link on its way, and the entry it names.
std::string Resolve(const std::string &path, const Entry **named = nullptr) {
  size_t cut = path.rfind('\\');
  if (cut + 1 >= path.size())
    return path; // the root
  std::string directory = Resolve(path.substr(0, cut < 3 ? 3 : cut)), name = path.substr(cut + 1);
  std::string joined = directory + (cut < 3 ? "" : "\\") + name;
  for (const Entry &entry : Tree)
    if (name == entry.name && directory == entry.directory) {
      if (named != nullptr)
        *named = &entry;
      return entry.target[0] != 0 ? entry.target : joined;
    }
  return joined;
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
  // "<path> (link)" for a link itself, "<path>\*" for a listing,
  // "<path> (final)" for its final path; "<path> (no id)" reads id zero.
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
  WideString FullPath(const WideString &path) {
    std::string text = Utf8(path);
    text.resize(text.size() - 3); // without "\.."
    size_t cut = text.rfind('\\');
    text = cut == std::string::npos || cut < 3 ? text.substr(0, 2) + "\\" : text.substr(0, cut);
    return Utf8ToUtf16(NarrowString(text.c_str()));
  }
  DWORD FinalPath(const WideString &path, WideString &final) {
    std::string text = Plain(path, "Final");
    final = Utf8ToUtf16(NarrowString(("\\\\?\\" + Resolve(text)).c_str()));
    return text + " (final)" == object ? readError : 0;
  }
  DWORD ReadSecurity(const WideString &path, bool link, ObjectSecurity &security, FileId *id) {
    std::string text = Plain(path, "Read");
    bool named = text + (link ? " (link)" : "") == object;
    security.HasDacl = true;
    // Write attributes counts for a link alone.
    if (named)
      security.Aces = {
          {ACCESS_ALLOWED_ACE_TYPE, 0, DWORD(link ? FILE_WRITE_ATTRIBUTES : WRITE_DAC), Sid{1, 1, {0}}}};
    if (id != nullptr)
      id->Low = text + " (no id)" == object ? 0 : std::hash<std::string>()(Resolve(text));
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
  auto begin = [](const std::string &directory) {
    return "OpenManager CurrentDirectory Attributes[" + directory + "\\orvanel_host.exe] ";
  };
  const std::string start = begin("C:\\orvanel");
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
  auto renamed = [](const std::string &path) {
    return "Box[" + path +
           " can be renamed or replaced by Everyone (S-1-1-0).\n\nThe service would then run what is put in "
           "its place as LocalSystem. Remove that permission, or install under Program Files.]";
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
      {true, "C:\\orvanel", true, 0, -1, start + read("C:\\jre64\\lib", 50), "C:\\jre64\\lib (no id)"},
      // Every directory above, on the registered path with its links, and above where it leads.
      {true, "C:\\Apps\\Orv\\server", true, 0, -1, begin("C:\\Apps\\Orv\\server") + renamed("C:\\Apps"),
       "C:\\Apps"},
      {true, "C:\\Lnk\\Orv\\server", true, 0, -1, begin("C:\\Lnk\\Orv\\server") + changed("C:\\Lnk"),
       "C:\\Lnk (link)"},
      {true, "C:\\Lnk\\server", true, 0, -1, begin("C:\\Lnk\\server") + renamed("C:\\Hidden"), "C:\\Hidden"},
      {true, "C:\\orvanel", true, 0, -1, start + read("C:\\orvanel", 1), "C:\\orvanel (final)", 1},
      // The installation directory's whole tree, and above where its links lead.
      {true, "C:\\orvanel", true, 0, -1, start + changed("C:\\orvanel\\lib\\extra.jar"),
       "C:\\orvanel\\lib\\extra.jar"},
      {true, "C:\\orvanel", true, 0, -1, start + changed("C:\\orvanel\\plugins\\plugin.jar"),
       "C:\\orvanel\\plugins\\plugin.jar"},
      {true, "C:\\orvanel", true, 0, -1, start + renamed("C:\\elsewhere"), "C:\\elsewhere"},
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
