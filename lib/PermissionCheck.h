#pragma once

// The check of everything the service runs as LocalSystem, and of where it
// lives, that the installer makes before it registers the service and the
// host at every start.

#include <cstdint>
#include <initializer_list>
#include <list>

#include "AccessEntries.h"
#include "Encoding.h"
#include "PathForms.h"
#include "Sid.h"

constexpr const char *RemoveOrMove = "Remove that permission, or install under Program Files.";

inline NarrowString ChangeableMessage(const NarrowString &path, const NarrowString &principal) {
  return path + " can be changed by " + principal + ".\n\nThe service would run it as LocalSystem. " +
         RemoveOrMove;
}

inline NarrowString CreatedMessage(const NarrowString &path, const NarrowString &principal) {
  return NarrowString("What is created in ") + path + " could be changed by " + principal +
         ".\n\nThe service would run it as LocalSystem. " + RemoveOrMove;
}

inline NarrowString RenamedMessage(const NarrowString &path, const NarrowString &principal) {
  return path + " can be renamed or replaced by " + principal +
         ".\n\nThe service would then run what is put in its place as LocalSystem. " + RemoveOrMove;
}

inline bool IsMissing(DWORD error) { return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND; }

struct DirectoryEntry {
  WideString Name;
  DWORD Attributes;
};

// Plain order of the UTF-16 units: the same on every run and file system.
inline bool NameBefore(const DirectoryEntry &a, const DirectoryEntry &b) {
  const WideUnit *x = a.Name.Data();
  const WideUnit *y = b.Name.Data();
  while (*x != 0 && *x == *y)
    ++x, ++y;
  return *x < *y;
}

inline ObjectRole RoleOf(DWORD attributes) {
  return (attributes & FILE_ATTRIBUTE_DIRECTORY) ? ObjectRole::Directory : ObjectRole::File;
}

// Any reparse point, whatever its tag (Wine gives none).
inline bool IsLink(DWORD attributes) { return attributes & FILE_ATTRIBUTE_REPARSE_POINT; }

// What identifies a directory on its volume, whichever path leads to it.
struct FileId {
  uint64_t Volume = 0;
  uint64_t Low = 0;
  uint64_t High = 0;
};

inline bool IsKnown(const FileId &id) { return id.Low != 0 || id.High != 0; }

// Adds the id unless it is there; false when it was. An id of zero (some
// SMB servers give none) is never taken as seen.
inline bool Insert(std::list<FileId> &ids, const FileId &id) {
  for (const FileId &seen : ids)
    if (IsKnown(id) && seen.Volume == id.Volume && seen.Low == id.Low && seen.High == id.High)
      return false;
  ids.push_back(id);
  return true;
}

// One run of the check: the directories judged as ancestors, each once,
// the directories walked (a directory can be in both: a link from the tree
// to an ancestor still walks it), what the machine said of each principal,
// and how the run ended.
struct CheckRun {
  std::list<FileId> Ancestors;
  std::list<FileId> Walked;
  std::list<Placement> Principals;
  NarrowString Refusal; // the text the installer shows
  bool Stopped = false; // a stop came first
};

// Which side of a path is read: what it leads to, or a link itself.
enum class Side { Target, Link };

// Whether an object is named before the walks or met in one: a link met in
// a walk also leads the check above where it points.
enum class Place { Named, Walked };

// Whether an object named before the walks must be there. Whoever could
// add a missing one is caught at its directory.
enum class Presence { Required, Optional };

// How a check ended.
enum class Verdict { Permitted, Refused, Stopped };

// Always false, with the refusal.
inline bool Refuse(CheckRun &run, NarrowString text) {
  run.Refusal = static_cast<NarrowString &&>(text);
  return false;
}

// Always false: what cannot be read cannot be trusted.
template <typename Platform>
bool ReadFails(Platform &platform, const WideString &path, DWORD error, CheckRun &run) {
  return Refuse(run, NarrowString("Reading the permissions of ") + Utf16ToUtf8(path) +
                         " failed with error: " + platform.DescribeError(error));
}

// False once a stop has come: the walk ends early.
template <typename Platform> bool GoesOn(Platform &platform, CheckRun &run) {
  run.Stopped = run.Stopped || platform.Stopping();
  return !run.Stopped;
}

constexpr const char *NotLocalText =
    " is not on a local fixed drive.\n\nThe service could not rely on finding "
    "it, or on who may change it, at every start. Install on a local fixed "
    "drive, under Program Files.";

// A share, or a drive letter that is not a local fixed volume: a network,
// removable or optical drive, or a letter made by subst or mapped to a
// share, which lives only in the logon session that made it and names no
// volume. The SCM finds none of them at boot, and on a share its server
// decides who may change the files.
template <typename Platform> bool IsLocalFixed(Platform &platform, const WideString &path) {
  const WideUnit *text = path.Data();
  if (text[0] == '\\' || path.Length() < 3)
    return false;
  WideString root = path.Substring(0, 3);
  return platform.DriveType(root) == DRIVE_FIXED && platform.VolumeName(root) == 0;
}

// Where the path finally leads, through every link on its way, in the
// plain form.
template <typename Platform>
bool ReadFinalPath(Platform &platform, const WideString &path, WideString &plain, CheckRun &run) {
  WideString final;
  DWORD error = platform.FinalPath(LongPath(path), final);
  if (error != 0)
    return ReadFails(platform, path, error, run);
  plain = PlainPath(final);
  return true;
}

// Where the installation directory lives, as registered and where it
// finally leads, which it gives for the rest of the check.
template <typename Platform>
bool OnLocalFixedDrive(Platform &platform, const WideString &directory, WideString &final, CheckRun &run) {
  if (!IsLocalFixed(platform, directory))
    return Refuse(run, Utf16ToUtf8(directory) + NotLocalText);
  return ReadFinalPath(platform, directory, final, run) &&
         (IsLocalFixed(platform, final) || Refuse(run, Utf16ToUtf8(final) + NotLocalText));
}

// Judges what was read of the object.
template <typename Platform>
bool Judge(Platform &platform, const WideString &path, const ObjectSecurity &security, ObjectRole role,
           Rights rights, CheckRun &run) {
  Changer changer = WhoCanChange(security, rights,
                                 [&](const Sid &sid) { return IsTrusted(platform, run.Principals, sid); });
  if (!changer.Changeable)
    return true;
  WideString domain;
  WideString name;
  bool found = platform.LookupAccount(changer.By, domain, name) == 0;
  NarrowString principal = PrincipalName(changer.By, found, Utf16ToUtf8(domain), Utf16ToUtf8(name));
  NarrowString text = Utf16ToUtf8(path);
  return Refuse(run, role == ObjectRole::Ancestor ? RenamedMessage(text, principal)
                     : changer.Created            ? CreatedMessage(text, principal)
                                                  : ChangeableMessage(text, principal));
}

// Reads one side of the object (and then its id, when asked) and judges
// it. A link itself is judged as a file or directory of the walk, whatever
// it leads to.
template <typename Platform>
bool PermitsSide(Platform &platform, const WideString &path, Side side, ObjectRole role, CheckRun &run,
                 FileId *id = nullptr) {
  if (!GoesOn(platform, run))
    return false;
  ObjectSecurity security;
  bool link = side == Side::Link;
  DWORD error = platform.ReadSecurity(LongPath(path), side, security, id);
  if (error != 0)
    return ReadFails(platform, path, error, run);
  Rights rights = link ? Rights{RightsOf(role).Own, 0} : RightsOf(role, IsRoot(path));
  return Judge(platform, path, security, role, rights, run);
}

// A directory above the directory above, judged once: whoever can rename
// or replace it can put a tree of their own in its place. A link on the
// path is judged itself first.
template <typename Platform> bool PermitsAncestor(Platform &platform, const WideString &path, CheckRun &run) {
  DWORD attributes = 0;
  DWORD error = platform.FileAttributes(LongPath(path), attributes);
  if (error != 0)
    return ReadFails(platform, path, error, run);
  if (IsLink(attributes) && !PermitsSide(platform, path, Side::Link, ObjectRole::Directory, run))
    return false;
  ObjectSecurity security;
  FileId id;
  error = platform.ReadSecurity(LongPath(path), Side::Target, security, &id);
  if (error != 0)
    return ReadFails(platform, path, error, run);
  return !Insert(run.Ancestors, id) || Judge(platform, path, security, ObjectRole::Ancestor,
                                             RightsOf(ObjectRole::Ancestor, IsRoot(path)), run);
}

// The directory and every one above it, nearest first, up to its volume's
// root.
template <typename Platform> bool PermitsAncestors(Platform &platform, WideString path, CheckRun &run) {
  while (PermitsAncestor(platform, path, run)) {
    if (IsRoot(path))
      return true;
    path = ParentPath(path);
  }
  return false;
}

// The directories above a final path: Windows follows every link on the
// way at every start.
template <typename Platform> bool PermitsAbove(Platform &platform, const WideString &final, CheckRun &run) {
  return IsRoot(final) || PermitsAncestors(platform, ParentPath(final), run);
}

template <typename Platform>
bool PermitsAboveFinal(Platform &platform, const WideString &path, CheckRun &run) {
  WideString final;
  return ReadFinalPath(platform, path, final, run) && PermitsAbove(platform, final, run);
}

// A link is judged itself, since whoever can write it can point it
// elsewhere, then (inside a walk) the directories above where it leads,
// then what it leads to. The attributes are the path's own, as listed or
// queried.
template <typename Platform>
bool PermitsObject(Platform &platform, const WideString &path, DWORD attributes, ObjectRole role, Place place,
                   CheckRun &run, FileId *id = nullptr) {
  if (IsLink(attributes)) {
    if (!PermitsSide(platform, path, Side::Link, RoleOf(attributes), run))
      return false;
    if (place == Place::Walked && !PermitsAboveFinal(platform, path, run))
      return false;
  }
  return PermitsSide(platform, path, Side::Target, role, run, id);
}

template <typename Platform>
bool PermitsNamed(Platform &platform, const WideString &path, ObjectRole role, Presence presence,
                  CheckRun &run, FileId *id = nullptr) {
  DWORD attributes = 0;
  DWORD error = platform.FileAttributes(LongPath(path), attributes);
  if (error == 0)
    return PermitsObject(platform, path, attributes, role, Place::Named, run, id);
  return (presence == Presence::Optional && IsMissing(error)) || ReadFails(platform, path, error, run);
}

template <typename Platform> bool PermitsTree(Platform &platform, const WideString &directory, CheckRun &run);

// A directory of a walk, and everything below it. A link leads wherever it
// points, so what it leads to is walked, once: a link to a directory
// already walked, such as one back up the tree, ends there. A plain
// directory is always walked.
template <typename Platform>
bool PermitsDirectory(Platform &platform, const WideString &path, DWORD attributes, CheckRun &run) {
  FileId id;
  if (!PermitsObject(platform, path, attributes, ObjectRole::Directory, Place::Walked, run, &id))
    return false;
  bool link = IsLink(attributes);
  // Without an id a loop could not be seen.
  if (link && !IsKnown(id))
    return ReadFails(platform, path, ERROR_NOT_SUPPORTED, run);
  return (!Insert(run.Walked, id) && link) || PermitsTree(platform, path, run);
}

// A file, or a directory with everything below it.
template <typename Platform>
bool PermitsEntry(Platform &platform, const WideString &path, DWORD attributes, CheckRun &run) {
  return RoleOf(attributes) == ObjectRole::Directory
             ? PermitsDirectory(platform, path, attributes, run)
             : PermitsObject(platform, path, attributes, ObjectRole::File, Place::Walked, run);
}

// Everything below the directory, depth first in name order, so that the
// same object is reported on every run. What was just listed is there: any
// failure to read it, even as missing, is told, or its subtree would go
// unchecked without a word.
template <typename Platform>
bool PermitsTree(Platform &platform, const WideString &directory, CheckRun &run) {
  std::list<DirectoryEntry> entries;
  DWORD error = platform.ListDirectory(LongPath(directory), entries);
  if (error != 0)
    return ReadFails(platform, directory, error, run);
  entries.sort(NameBefore);
  for (const DirectoryEntry &entry : entries)
    if (!PermitsEntry(platform, JoinPath(directory, entry.Name.Data()), entry.Attributes, run))
      return false;
  return true;
}

// Everything of the installation, in the order CheckInstallation() gives.
template <typename Platform>
bool PermitsInstallation(Platform &platform, const WideString &directory, CheckRun &run) {
  WideString final;
  if (!OnLocalFixedDrive(platform, directory, final, run))
    return false;
  FileId directoryId;
  if (!PermitsNamed(platform, directory, ObjectRole::Directory, Presence::Required, run, &directoryId))
    return false;
  for (const WideUnit *file : {WIDE("orvanel_host.exe"), WIDE("orvanel_app.jar"), WIDE("orvanel_app.conf")})
    if (!PermitsNamed(platform, JoinPath(directory, file), ObjectRole::File, Presence::Optional, run))
      return false;
  WideString above = platform.FullPath(JoinPath(directory, WIDE("..")));
  WideString runtime = JoinPath(above, WIDE("jre64"));
  DWORD attributes = 0;
  DWORD error = platform.FileAttributes(LongPath(runtime), attributes);
  if (error != 0 && !IsMissing(error))
    return ReadFails(platform, runtime, error, run);
  bool present = error == 0;
  ObjectRole aboveRole = present ? ObjectRole::ParentWithRuntime : ObjectRole::ParentWithoutRuntime;
  FileId aboveId;
  if (!PermitsNamed(platform, above, aboveRole, Presence::Optional, run, &aboveId))
    return false;
  Insert(run.Ancestors, aboveId);
  if (!IsRoot(above) && !PermitsAncestors(platform, ParentPath(above), run))
    return false;
  if (!PermitsAbove(platform, final, run))
    return false;
  Insert(run.Walked, directoryId);
  if (!PermitsTree(platform, directory, run))
    return false;
  // jre64 itself may well be a junction to a runtime elsewhere.
  return !present || PermitsEntry(platform, runtime, attributes, run);
}

// The service runs the host, the archive and the configuration as
// LocalSystem, with the installation directory as its working directory,
// and the runtime from ..\jre64: none of it, nothing on the way to it and
// nothing that will be created in it may be changed by anyone but the
// trusted, and all of it must be where the SCM finds it at boot. Refused,
// with the text to show, on the first object that fails; the order is
// fixed, so that the same object is named on every run: where the
// installation directory lives; the installation directory, its three
// files and the directory above; the directories above that on the
// registered path; those above the installation directory's final path;
// the walk of the installation directory; the walk of jre64. Stopped when
// the Platform says so first. The Platform gives, with paths in the long
// form (\\?\C:\...), each call that can fail returning its error (0 on success):
//   DWORD FileAttributes(const WideString &path, DWORD &attributes): the
//     path's own;
//   WideString FullPath(const WideString &path);
//   DWORD ReadSecurity(const WideString &path, Side, ObjectSecurity &,
//     FileId *id): the link itself or what the path leads to, and then its
//     id when id is not null;
//   DWORD FinalPath(const WideString &path, WideString &final): where the
//     path leads, through every link, as the system gives it;
//   DWORD ListDirectory(const WideString &path, std::list<DirectoryEntry> &);
//   DWORD LookupAccount(const Sid &, WideString &domain, WideString &name);
//   DWORD IsAdministratorsMember(const Sid &, bool &member);
//   UINT DriveType(const WideString &root);
//   DWORD VolumeName(const WideString &root): 0 when the root is a volume's;
//   NarrowString DescribeError(DWORD);
//   bool Stopping().
template <typename Platform>
Verdict CheckInstallation(Platform &platform, const WideString &directory, NarrowString &refusal) {
  CheckRun run;
  if (PermitsInstallation(platform, directory, run))
    return Verdict::Permitted;
  if (run.Stopped)
    return Verdict::Stopped;
  refusal = run.Refusal;
  return Verdict::Refused;
}
