#include <gtest/gtest.h>

#include <string>

#include "Encoding.h"
#include "ErrorText.h"
#include "Install.h"
#include "RowName.h"

namespace {

std::string Utf8(const WideString &s) { return Utf16ToUtf8(s).Data(); }

// Beside the installation directory C:\orvanel, jre64 holds bin\java.exe,
// bin\back (a link back to jre64) and lib (a link to C:\other, which holds
// modules). C:\orvanel holds lib\extra.jar and plugins, a link to a folder
// elsewhere; C:\Lnk is a link to C:\Hidden\Real, C:\Net one to N:\orvanel.
// N: is a network drive, S: a subst letter.
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
                      {"C:\\", "Lnk", Link, "C:\\Hidden\\Real"},
                      {"C:\\", "Net", Link, "N:\\orvanel"}};

// Where a path leads through every link on its way, and the entry it names.
std::string Resolve(const std::string &path, const Entry **named = nullptr) {
  size_t cut = path.rfind('\\');
  if (cut + 1 >= path.size() || path.rfind("\\\\", 0) == 0)
    return path; // the root, or a share
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

// One row: what the SCM and the files do, and the exit status and calls
// that must come of it. Unset, everything succeeds for C:\orvanel.
struct Row {
  const char *name;
  const char *directory = "C:\\orvanel";
  bool managerOpens = true;
  bool hostPresent = true;
  DWORD hostError = 0;   // when present, what the host's query gives
  DWORD createError = 0; // 0: the service is created
  // What Everyone can change, or what fails with readError: a path,
  // "<path> (link)" for a link itself, "<path>\*" for a listing,
  // "<path> (final)" for its final path; "<path> (no id)" reads id zero.
  std::string object;
  DWORD readError = 0;
  // What the event source's key, its values and the service's deletion give.
  DWORD keyError = 0, valueError = 0, undoError = 0;
  int32_t status = 0;
  std::string log;

  explicit Row(const char *rowName) : name(rowName) {}
  Row &In(const char *path) { return directory = path, *this; }
  Row &ManagerRefused() { return managerOpens = false, *this; }
  Row &NoHost() { return hostPresent = false, *this; }
  Row &HostQueryFails(DWORD error) { return hostError = error, *this; }
  Row &CreateFails(DWORD error) { return createError = error, *this; }
  Row &Open(std::string what) { return object = std::move(what), *this; }
  Row &Unreadable(std::string what, DWORD error) {
    return object = std::move(what), readError = error, *this;
  }
  Row &SourceFails(DWORD key, DWORD value, DWORD undo = 0) {
    return keyError = key, valueError = value, undoError = undo, *this;
  }
  Row &Gives(int32_t exitStatus, std::string calls) {
    return status = exitStatus, log = std::move(calls), *this;
  }
};

// The SCM and the files as the installer sees them, for what Wine cannot give
// (a refused manager, other codes, links, failed reads). The SCM's calls are logged.
struct FakeInstaller {
  explicit FakeInstaller(const Row &r) : row(r) {}
  const Row &row;
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
    return row.managerOpens;
  }
  WideString CurrentDirectory() {
    Write("CurrentDirectory");
    return Utf8ToUtf16(NarrowString(row.directory));
  }
  DWORD FileAttributes(const WideString &path, DWORD &attributes) {
    std::string text = Plain(path, "Attributes");
    bool host = text.find("orvanel_host.exe") != std::string::npos;
    DWORD error = text == row.object ? row.readError
                  : !host            ? 0
                  : row.hostPresent  ? row.hostError
                                     : ERROR_FILE_NOT_FOUND;
    const Entry *entry = nullptr;
    Resolve(text, &entry);
    attributes = error != 0 ? INVALID_FILE_ATTRIBUTES : entry != nullptr ? entry->attributes : 0x20;
    return error;
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
    return text + " (final)" == row.object ? row.readError : 0;
  }
  DWORD ReadSecurity(const WideString &path, Side side, ObjectSecurity &security, FileId *id) {
    bool link = side == Side::Link;
    std::string text = Plain(path, "Read");
    bool named = text + (link ? " (link)" : "") == row.object;
    security.HasDacl = true;
    security.Owner = Sid{5, 2, {32, 544}};
    // Write attributes counts for a link alone.
    if (named)
      security.Aces = {
          {ACCESS_ALLOWED_ACE_TYPE, 0, DWORD(link ? FILE_WRITE_ATTRIBUTES : WRITE_DAC), Sid{1, 1, {0}}}};
    if (id != nullptr)
      id->Low = text + " (no id)" == row.object ? 0 : std::hash<std::string>()(Resolve(text));
    return named ? row.readError : 0;
  }
  // Bounded, so that a walk that loops fails its row, not the stack.
  DWORD ListDirectory(const WideString &path, std::list<DirectoryEntry> &entries) {
    std::string text = Plain(path, "List");
    if (text + "\\*" == row.object || ++listings > 50)
      return row.readError != 0 ? row.readError : ERROR_ACCESS_DENIED;
    for (const Entry &entry : Tree)
      if (Resolve(text) == entry.directory)
        entries.push_back({Utf8ToUtf16(NarrowString(entry.name)), entry.attributes});
    return 0;
  }
  DWORD LookupAccount(const Sid &, WideString &, WideString &name) {
    name = WIDE("Everyone");
    return 0;
  }
  DWORD IsAdministratorsMember(const Sid &, bool &member) { return member = false, 0; }
  UINT DriveType(const WideString &root) { return Utf8(root) == "N:\\" ? DRIVE_REMOTE : DRIVE_FIXED; }
  DWORD VolumeName(const WideString &root) { return Utf8(root) == "S:\\" ? ERROR_INVALID_NAME : 0; }
  NarrowString DescribeError(DWORD error) { return ShapeErrorDescription(nullptr, error); }
  bool Stopping() { return false; }
  FakeInstaller &Security() { return *this; }
  bool CreateServiceEntry(const WideString &imagePath) {
    Write("Create[" + Utf8(imagePath) + "]");
    lastError = row.createError;
    return row.createError == 0;
  }
  DWORD CreateEventSourceKey() { return Write("CreateKey"), row.keyError; }
  // The values themselves are read back from Wine's registry end to end.
  template <typename T> DWORD SetEventSourceValue(const WideUnit *, const T &) {
    return Write("Set"), row.valueError;
  }
  DWORD DeleteEventSourceKey() { return Write("DeleteKey"), 0; }
  DWORD DeleteServiceEntry() { return Write("DeleteService"), row.undoError; }
  DWORD LastError() { return lastError; }
  void CloseHandles() { Write("Close"); }
  NarrowString DescribeLastError() { return ShapeErrorDescription(nullptr, lastError); }
  void ShowErrorBox(const NarrowString &message) { Write("Box[" + std::string(message.Data()) + "]"); }
};

std::string Begin(const std::string &directory) {
  return "OpenManager CurrentDirectory Attributes[" + directory + "\\orvanel_host.exe] ";
}
const std::string Start = Begin("C:\\orvanel");
const std::string Created = Start + "Create[\"C:\\orvanel\\orvanel_host.exe\"]";
const std::string Source = " CreateKey Set Set";
const std::string Already = " Box[Orvanel 3.7-b412 service is already installed.\n\n"
                            "Please uninstall the existing version before installing new one.\n]";
std::string Read(const std::string &path, int code) {
  return "Box[Reading the permissions of " + path + " failed with error: Unknown error (code " +
         std::to_string(code) + ")]";
}
std::string Changed(const std::string &path) {
  return "Box[" + path +
         " can be changed by Everyone (S-1-1-0).\n\nThe service would run it as LocalSystem. "
         "Remove that permission, or install under Program Files.]";
}
std::string NotLocal(const std::string &path) {
  return "Box[" + path +
         " is not on a local fixed drive.\n\nThe service could not rely on finding it, or on who may change "
         "it, "
         "at every start. Install on a local fixed drive, under Program Files.]";
}
std::string Renamed(const std::string &path) {
  return "Box[" + path +
         " can be renamed or replaced by Everyone (S-1-1-0).\n\nThe service would then run what is put in "
         "its place as LocalSystem. Remove that permission, or install under Program Files.]";
}

// clang-format off
const Row Rows[] = {
    Row("manager refused").ManagerRefused()
        .Gives(-1, "OpenManager Box[OpenSCManager failed with error: Unknown error (code 5)]"),
    Row("registers").Gives(0, Created + Source + " Close"),
    Row("non-ASCII directory").In("C:\\Program Files\\\xc3\x96rvanel \xe2\x82\xac")
        .Gives(0, "OpenManager CurrentDirectory Attributes[C:\\Program Files\\\xc3\x96rvanel \xe2\x82\xac\\orvanel_host.exe] "
                  "Create[\"C:\\Program Files\\\xc3\x96rvanel \xe2\x82\xac\\orvanel_host.exe\"]" + Source + " Close"),
    // The root keeps its backslash, so two stand in a row.
    Row("drive root").In("C:\\")
        .Gives(0, "OpenManager CurrentDirectory Attributes[C:\\\\orvanel_host.exe] Create[\"C:\\\\orvanel_host.exe\"]" + Source + " Close"),
    // A service for a missing host could never start: nothing is registered.
    Row("no host").In("C:\\Windows\\System32 \xc3\x96").NoHost()
        .Gives(-1, "OpenManager CurrentDirectory Attributes[C:\\Windows\\System32 \xc3\x96\\orvanel_host.exe] "
                   "Box[orvanel_host.exe was not found in C:\\Windows\\System32 \xc3\x96.\n\n"
                   "Run orvanel_install.exe from the installation directory.]"),
    Row("service exists").CreateFails(ERROR_SERVICE_EXISTS).Gives(-1, Created + Already),
    Row("display name taken").CreateFails(ERROR_DUPLICATE_SERVICE_NAME).Gives(-1, Created + Already),
    // Every other failure is told, with the system's description.
    Row("marked for delete").CreateFails(ERROR_SERVICE_MARKED_FOR_DELETE)
        .Gives(-1, Created + " Box[CreateService failed with error: Unknown error (code 1072)]"),
    Row("create denied").CreateFails(ERROR_ACCESS_DENIED)
        .Gives(-1, Created + " Box[CreateService failed with error: Unknown error (code 5)]"),
    // The event source cannot be written: the new service is deleted again.
    Row("event source key fails").SourceFails(ERROR_ACCESS_DENIED, 0)
        .Gives(-1, Created + " CreateKey DeleteService Box[RegCreateKeyEx failed with error: Unknown error (code 5)]"),
    Row("event source value fails").SourceFails(0, ERROR_ACCESS_DENIED)
        .Gives(-1, Created + " CreateKey Set DeleteKey DeleteService "
                   "Box[RegSetValueEx failed with error: Unknown error (code 5)]"),
    Row("deletion fails as well").SourceFails(ERROR_ACCESS_DENIED, 0, ERROR_SERVICE_MARKED_FOR_DELETE)
        .Gives(-1, Created + " CreateKey DeleteService Box[RegCreateKeyEx failed with error: Unknown error (code 5)\n\n"
                   "The service stays registered: DeleteService failed with error: Unknown error (code 1072)]"),
    // A path too long to query is not a missing host.
    Row("host query fails").HostQueryFails(206)
        .Gives(-1, Start + "Box[Checking orvanel_host.exe failed with error: Unknown error (code 206)]"),
    // What ordinary users can change stops the installer before it registers anything.
    Row("open configuration").Open("C:\\orvanel\\orvanel_app.conf")
        .Gives(-1, Start + Changed("C:\\orvanel\\orvanel_app.conf")),
    Row("unreadable directory").Unreadable("C:\\orvanel", ERROR_ACCESS_DENIED).Gives(-1, Start + Read("C:\\orvanel", 5)),
    // What was listed is read, whatever fails; links lead on and are judged themselves.
    Row("listed runtime missing").Unreadable("C:\\jre64\\bin\\java.exe", 3)
        .Gives(-1, Start + Read("C:\\jre64\\bin\\java.exe", 3)),
    Row("listing fails").Unreadable("C:\\jre64\\bin\\*", 5).Gives(-1, Start + Read("C:\\jre64\\bin", 5)),
    Row("open behind a link").Open("C:\\jre64\\lib\\modules").Gives(-1, Start + Changed("C:\\jre64\\lib\\modules")),
    Row("open link itself").Open("C:\\jre64\\lib (link)").Gives(-1, Start + Changed("C:\\jre64\\lib")),
    Row("link target without id").Open("C:\\jre64\\lib (no id)").Gives(-1, Start + Read("C:\\jre64\\lib", 50)),
    // Every directory above, on the registered path with its links, and above where it leads.
    Row("open ancestor").In("C:\\Apps\\Orv\\server").Open("C:\\Apps")
        .Gives(-1, Begin("C:\\Apps\\Orv\\server") + Renamed("C:\\Apps")),
    Row("open link on the path").In("C:\\Lnk\\Orv\\server").Open("C:\\Lnk (link)")
        .Gives(-1, Begin("C:\\Lnk\\Orv\\server") + Changed("C:\\Lnk")),
    Row("open above the final path").In("C:\\Lnk\\server").Open("C:\\Hidden")
        .Gives(-1, Begin("C:\\Lnk\\server") + Renamed("C:\\Hidden")),
    Row("final path unreadable").Unreadable("C:\\orvanel (final)", 1).Gives(-1, Start + Read("C:\\orvanel", 1)),
    // The installation directory's whole tree, and above where its links lead.
    Row("open file below").Open("C:\\orvanel\\lib\\extra.jar").Gives(-1, Start + Changed("C:\\orvanel\\lib\\extra.jar")),
    Row("open file behind a link below").Open("C:\\orvanel\\plugins\\plugin.jar")
        .Gives(-1, Start + Changed("C:\\orvanel\\plugins\\plugin.jar")),
    Row("open above a link's target").Open("C:\\elsewhere").Gives(-1, Start + Renamed("C:\\elsewhere")),
    // The SCM must find it at every start, with no one logged on, and only the trusted may change it.
    Row("network drive").In("N:\\orvanel").Gives(-1, Begin("N:\\orvanel") + NotLocal("N:\\orvanel")),
    Row("UNC path").In("\\\\server\\share\\orvanel")
        .Gives(-1, Begin("\\\\server\\share\\orvanel") + NotLocal("\\\\server\\share\\orvanel")),
    Row("subst letter").In("S:\\orvanel").Gives(-1, Begin("S:\\orvanel") + NotLocal("S:\\orvanel")),
    Row("final path on a network drive").In("C:\\Net").Gives(-1, Begin("C:\\Net") + NotLocal("N:\\orvanel")),
};
// clang-format on

void PrintTo(const Row &row, std::ostream *out) { *out << row.name; }

class Install : public testing::TestWithParam<Row> {};

TEST_P(Install, RegistersTheHostOfTheCurrentDirectory) {
  FakeInstaller platform(GetParam());
  EXPECT_EQ(::Install(platform), GetParam().status);
  EXPECT_EQ(platform.log, GetParam().log);
}

INSTANTIATE_TEST_SUITE_P(Rows, Install, testing::ValuesIn(Rows), RowName());

} // namespace
