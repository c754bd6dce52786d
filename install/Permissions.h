#pragma once

#include <cstdint>
#include <initializer_list>
#include <list>

#include "Encoding.h"
#include "ServiceControl.h"
#include "String.h"

// A security identifier as a value, so that it outlives the descriptor it
// was read from. Sub-authorities past Count are zero.
struct Sid {
  uint64_t Authority = 0;
  uint8_t Count = 0;
  DWORD Sub[15] = {};
};

// "S-1-5-32-545"; an authority of 2^32 or more in hexadecimal, as Windows
// writes it.
inline NarrowString SidText(const Sid &sid) {
  NarrowString text("S-1-");
  if (sid.Authority < (uint64_t{1} << 32)) {
    text.Append(NarrowString(static_cast<int64_t>(sid.Authority)));
  } else {
    text.Append(NarrowString("0x"));
    for (int shift = 44; shift >= 0; shift -= 4)
      text.Append("0123456789ABCDEF"[(sid.Authority >> shift) & 0xF]);
  }
  for (int i = 0; i < sid.Count; ++i)
    text = text + "-" + NarrowString(static_cast<int64_t>(sid.Sub[i]));
  return text;
}

inline bool SameSid(const Sid &a, const Sid &b) {
  if (a.Authority != b.Authority || a.Count != b.Count)
    return false;
  for (int i = 0; i < a.Count; ++i)
    if (a.Sub[i] != b.Sub[i])
      return false;
  return true;
}

// An account or group of the domain: the domain's SID and one more
// sub-authority.
inline bool InDomain(const Sid &sid, const Sid &domain) {
  if (sid.Authority != domain.Authority || sid.Count != domain.Count + 1)
    return false;
  for (int i = 0; i < domain.Count; ++i)
    if (sid.Sub[i] != domain.Sub[i])
      return false;
  return true;
}

const Sid EveryoneSid{1, 1, {0}};
// Whoever creates an object, in an entry that it inherits.
const Sid CreatorOwnerSid{3, 1, {0}};
// The owner, in place of the owner's implicit right to rewrite the DACL.
const Sid OwnerRightsSid{3, 1, {4}};

// The principals that may own or change what the service runs by name:
// SYSTEM, Administrators, "Local account and member of Administrators
// group" and TrustedInstaller. Everyone else needs the machine's word.
inline bool IsTrustedByName(const Sid &sid) {
  static const Sid trusted[] = {
      {5, 1, {18}},
      {5, 2, {32, 544}},
      {5, 1, {114}},
      {5, 6, {80, 956008885, 3418522649, 1831038044, 1853292631, 2271478464}},
  };
  for (const Sid &known : trusted)
    if (SameSid(sid, known))
      return true;
  return false;
}

// What the machine said of one principal.
struct Placement {
  Sid Principal;
  bool Trusted;
};

// Trusted by name, or a direct member of the local Administrators group as
// the machine itself says, asked once a run for each principal. One the
// machine cannot place is not trusted. The Platform gives
//   DWORD IsAdministratorsMember(const Sid &, bool &member).
template <typename Platform>
bool IsTrusted(Platform &platform, std::list<Placement> &placed, const Sid &sid) {
  if (IsTrustedByName(sid))
    return true;
  for (const Placement &known : placed)
    if (SameSid(known.Principal, sid))
      return known.Trusted;
  bool member = false;
  bool trusted = platform.IsAdministratorsMember(sid, member) == 0 && member;
  placed.push_back({sid, trusted});
  return trusted;
}

struct Ace {
  uint8_t Type = 0;
  uint8_t Flags = 0;
  DWORD Mask = 0;
  Sid Principal;
};

// Conditional (callback) and object allow entries grant like plain ones.
inline bool IsAllowAce(uint8_t type) {
  return type == ACCESS_ALLOWED_ACE_TYPE || type == ACCESS_ALLOWED_CALLBACK_ACE_TYPE ||
         type == ACCESS_ALLOWED_OBJECT_ACE_TYPE || type == ACCESS_ALLOWED_CALLBACK_OBJECT_ACE_TYPE;
}

inline DWORD Little32(const uint8_t *bytes) {
  return bytes[0] | bytes[1] << 8 | bytes[2] << 16 | DWORD{bytes[3]} << 24;
}

// A SID as the system lays it out: revision, count, the authority in six
// bytes, most significant first, then the sub-authorities.
inline Sid ReadSid(const uint8_t *bytes) {
  Sid sid;
  for (int i = 2; i < 8; ++i)
    sid.Authority = sid.Authority << 8 | bytes[i];
  sid.Count = bytes[1] < 15 ? bytes[1] : 15;
  for (int i = 0; i < sid.Count; ++i)
    sid.Sub[i] = Little32(bytes + 8 + 4 * i);
  return sid;
}

// One entry of a DACL as the system lays it out: type, flags and size,
// then the mask and the SID. An object entry has flags of its own after
// the mask, then each GUID that they announce, and only then the SID.
inline Ace ReadAce(const uint8_t *entry) {
  Ace ace;
  ace.Type = entry[0];
  ace.Flags = entry[1];
  DWORD size = entry[2] | entry[3] << 8;
  if (!IsAllowAce(ace.Type) || size < 8)
    return ace;
  ace.Mask = Little32(entry + 4);
  DWORD at = 8;
  if (ace.Type == ACCESS_ALLOWED_OBJECT_ACE_TYPE || ace.Type == ACCESS_ALLOWED_CALLBACK_OBJECT_ACE_TYPE) {
    DWORD present = size >= 12 ? Little32(entry + 8) : 0;
    at = 12 + (present & ACE_OBJECT_TYPE_PRESENT ? 16 : 0) +
         (present & ACE_INHERITED_OBJECT_TYPE_PRESENT ? 16 : 0);
  }
  // An entry too short for its SID is taken as Everyone's: refused rather
  // than misread.
  bool whole = at + 8 <= size && at + 8 + 4 * DWORD{entry[at + 1]} <= size;
  ace.Principal = whole ? ReadSid(entry + at) : EveryoneSid;
  return ace;
}

// The owner and DACL of an object. No DACL grants everything to everyone.
// Lists here, not vectors: a vector's growth links the C++ runtime's
// length_error and its strings, some 60 KB, past the installer's budget.
struct ObjectSecurity {
  bool HasDacl = false;
  Sid Owner;
  std::list<Ace> Aces;
};

// What the object is to the service, which decides the rights that count.
enum class ObjectRole {
  File,
  Directory, // the installation directory and every directory of the walks
  ParentWithRuntime,
  ParentWithoutRuntime,
  Ancestor, // a directory above the directory above
};

// The rights that count in an entry that applies to the object itself, and
// in one that what is created in it later inherits.
struct Rights {
  DWORD Own;
  DWORD Created;
};

inline Rights RightsOf(ObjectRole role, bool root = false) {
  // Replacing or re-permitting the object itself.
  const DWORD own = DELETE | WRITE_DAC | WRITE_OWNER | GENERIC_ALL;
  // Write attributes is enough to turn an empty folder into a junction.
  const DWORD file = own | FILE_WRITE_DATA | FILE_APPEND_DATA | GENERIC_WRITE | FILE_WRITE_ATTRIBUTES;
  // Whatever counts on a new file or directory in it, too.
  const DWORD directory = file | FILE_DELETE_CHILD;
  // Renaming or replacing it, or what it holds, swaps the path; a volume
  // root cannot be deleted or renamed.
  const DWORD renamed = (own & ~(root ? DELETE : 0)) | FILE_DELETE_CHILD;
  switch (role) {
  case ObjectRole::File:
    return {file, 0};
  case ObjectRole::Directory:
    return {directory, directory};
  case ObjectRole::ParentWithRuntime:
    // A drive root lets everyone add files and folders; only swapping the
    // two directories it holds matters, and what a jre64 unpacked there
    // again would inherit.
    return {renamed, directory};
  case ObjectRole::ParentWithoutRuntime:
    // Whoever creates the missing jre64 owns it. Generic write includes
    // adding a subdirectory.
    return {renamed | FILE_ADD_SUBDIRECTORY | GENERIC_WRITE, directory};
  case ObjectRole::Ancestor:
    // What it hands to new entries shapes only new siblings of the path.
    return {renamed, 0};
  }
  return {own, 0};
}

// Whether someone untrusted can change the object, or what is created in
// it, and who: a missing DACL first, then the owner, who may always rewrite
// the DACL unless an OWNER RIGHTS entry on the object stands in for that
// right, then the first allow entry that grants a right that counts, on the
// object itself or on what inherits the entry. An OWNER RIGHTS entry is the
// owner's on the object; on what inherits it, as with CREATOR OWNER, it is
// whoever creates the object, and only the trusted can create anything in
// a directory that passes. Deny entries are not weighed: they could only
// make the check stricter than Windows.
struct Changer {
  bool Changeable = false;
  bool Created = false; // only what is created in the object
  Sid By;
};

template <typename Trusted>
Changer WhoCanChange(const ObjectSecurity &security, Rights rights, Trusted &&trusted) {
  if (!security.HasDacl)
    return {true, false, EveryoneSid};
  bool ownerRights = false;
  for (const Ace &ace : security.Aces)
    ownerRights |=
        IsAllowAce(ace.Type) && !(ace.Flags & INHERIT_ONLY_ACE) && SameSid(ace.Principal, OwnerRightsSid);
  bool ownerTrusted = trusted(security.Owner);
  if (!ownerTrusted && !ownerRights)
    return {true, false, security.Owner};
  for (const Ace &ace : security.Aces) {
    if (!IsAllowAce(ace.Type))
      continue;
    bool creator = SameSid(ace.Principal, CreatorOwnerSid) || SameSid(ace.Principal, OwnerRightsSid);
    if (!(ace.Flags & INHERIT_ONLY_ACE) && (ace.Mask & rights.Own)) {
      bool owner = SameSid(ace.Principal, OwnerRightsSid);
      if (owner ? !ownerTrusted : !creator && !trusted(ace.Principal))
        return {true, false, owner ? security.Owner : ace.Principal};
    }
    if ((ace.Flags & (OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE)) && (ace.Mask & rights.Created) &&
        !creator && !trusted(ace.Principal))
      return {true, true, ace.Principal};
  }
  return {};
}

// "DOMAIN\name (S-...)", "name (S-...)" when the domain is empty, or the SID
// alone when the lookup failed.
inline NarrowString PrincipalName(const Sid &sid, bool found, const NarrowString &domain,
                                  const NarrowString &name) {
  if (!found)
    return SidText(sid);
  NarrowString account = domain.Length() > 0 ? domain + "\\" + name : name;
  return account + " (" + SidText(sid) + ")";
}

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

// A drive root already ends in a separator.
inline WideString JoinPath(const WideString &directory, const WideUnit *name) {
  bool separated = directory.EndsWith(WideString(WIDE("\\")));
  return separated ? directory + name : directory + WIDE("\\") + name;
}

// The \\?\ form of a full path (\\?\UNC\ for a share), which has no length
// limit: a runtime whose paths pass MAX_PATH's 260 units is read like any
// other, where the plain form would fail or, worse, read as missing.
inline WideString LongPath(const WideString &path) {
  const WideUnit *text = path.Data();
  if (text[0] == '\\' && text[1] == '\\')
    return text[2] == '?' || text[2] == '.' ? path : WideString(WIDE("\\\\?\\UNC")) + (text + 1);
  return WideString(WIDE("\\\\?\\")) + text;
}

// "C:\x" for "\\?\C:\x", "\\server\share\x" for "\\?\UNC\server\share\x",
// as the system gives a final path; any other path as it is.
inline WideString PlainPath(const WideString &path) {
  const WideUnit *text = path.Data();
  if (!(text[0] == '\\' && text[1] == '\\' && text[2] == '?' && text[3] == '\\'))
    return path;
  bool share = text[4] == 'U' && text[5] == 'N' && text[6] == 'C' && text[7] == '\\';
  return share ? WideString(WIDE("\\")) + (text + 7) : WideString(text + 4);
}

// The length of the path's root, "X:\" or "\\server\share\"; one past the
// end when the path is a share's root without its separator.
inline int32_t RootLength(const WideString &path) {
  const WideUnit *text = path.Data();
  if (!(text[0] == '\\' && text[1] == '\\'))
    return 3;
  int32_t at = 2;
  for (int separators = 0; at < path.Length(); ++at)
    if (text[at] == '\\' && ++separators == 2)
      break;
  return at + 1;
}

// Only a volume's root: a volume mounted in a folder is a link on the path.
inline bool IsRoot(const WideString &path) { return path.Length() <= RootLength(path); }

// The directory that holds the path's last component, by text: full paths
// without "." or "..", as the system gives them.
inline WideString ParentPath(const WideString &path) {
  int32_t root = RootLength(path);
  int32_t cut = path.Length() - 1;
  while (cut >= root && path.Data()[cut] != '\\')
    --cut;
  return path.Substring(0, cut < root ? root : cut);
}

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

// What one run has seen: the directories judged as ancestors, each once,
// the directories walked (a directory can be in both: a link from the tree
// to an ancestor still walks it), and what the machine said of each
// principal.
struct Seen {
  std::list<FileId> Ancestors;
  std::list<FileId> Walked;
  std::list<Placement> Principals;
};

// Which side of a path is read: what it leads to, or a link itself.
enum class Side { Target, Link };

// Whether an object is named before the walks or met in one: a link met in
// a walk also leads the check above where it points.
enum class Place { Named, Walked };

// Always false, after its box.
template <typename Platform> bool ReadFails(Platform &platform, const WideString &path, DWORD error) {
  platform.SetLastError(error);
  NarrowString description = platform.DescribeLastError();
  platform.ShowErrorBox(NarrowString("Reading the permissions of ") + Utf16ToUtf8(path) +
                        " failed with error: " + description);
  return false;
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

// Where the installation directory lives, as registered and where it
// finally leads. False after a box. The Platform gives
//   UINT DriveType(const WideString &root);
//   DWORD VolumeName(const WideString &root): 0 when the root is a volume's.
template <typename Platform> bool OnLocalFixedDrive(Platform &platform, const WideString &directory) {
  WideString shown = directory;
  bool local = IsLocalFixed(platform, directory);
  if (local) {
    WideString final;
    DWORD error = platform.FinalPath(LongPath(directory), final);
    if (error != 0)
      return ReadFails(platform, directory, error);
    shown = PlainPath(final);
    local = IsLocalFixed(platform, shown);
  }
  if (!local)
    platform.ShowErrorBox(Utf16ToUtf8(shown) + NotLocalText);
  return local;
}

// Judges what was read of the object. False after a box.
template <typename Platform>
bool Judge(Platform &platform, const WideString &path, const ObjectSecurity &security, ObjectRole role,
           Rights rights, Seen &seen) {
  Changer changer = WhoCanChange(security, rights,
                                 [&](const Sid &sid) { return IsTrusted(platform, seen.Principals, sid); });
  if (!changer.Changeable)
    return true;
  WideString domain;
  WideString name;
  bool found = platform.LookupAccount(changer.By, domain, name);
  NarrowString principal = PrincipalName(changer.By, found, Utf16ToUtf8(domain), Utf16ToUtf8(name));
  NarrowString text = Utf16ToUtf8(path);
  platform.ShowErrorBox(role == ObjectRole::Ancestor ? RenamedMessage(text, principal)
                        : changer.Created            ? CreatedMessage(text, principal)
                                                     : ChangeableMessage(text, principal));
  return false;
}

// Reads one side of the object (and then its id, when asked) and judges
// it. A link itself is judged as a file or directory of the walk, whatever
// it leads to. False after a box.
template <typename Platform>
bool PermitsSide(Platform &platform, const WideString &path, Side side, ObjectRole role, Seen &seen,
                 FileId *id = nullptr) {
  ObjectSecurity security;
  bool link = side == Side::Link;
  DWORD error = platform.ReadSecurity(LongPath(path), link, security, id);
  if (error != 0)
    return ReadFails(platform, path, error);
  Rights rights = link ? Rights{RightsOf(role).Own, 0} : RightsOf(role, IsRoot(path));
  return Judge(platform, path, security, role, rights, seen);
}

// A directory above the directory above, judged once: whoever can rename
// or replace it can put a tree of their own in its place. A link on the
// path is judged itself first.
template <typename Platform> bool PermitsAncestor(Platform &platform, const WideString &path, Seen &seen) {
  DWORD attributes = platform.FileAttributes(LongPath(path));
  if (attributes == INVALID_FILE_ATTRIBUTES)
    return ReadFails(platform, path, platform.LastError());
  if (IsLink(attributes) && !PermitsSide(platform, path, Side::Link, ObjectRole::Directory, seen))
    return false;
  ObjectSecurity security;
  FileId id;
  DWORD error = platform.ReadSecurity(LongPath(path), false, security, &id);
  if (error != 0)
    return ReadFails(platform, path, error);
  return !Insert(seen.Ancestors, id) || Judge(platform, path, security, ObjectRole::Ancestor,
                                              RightsOf(ObjectRole::Ancestor, IsRoot(path)), seen);
}

// The directory and every one above it, nearest first, up to its volume's
// root.
template <typename Platform> bool PermitsAncestors(Platform &platform, WideString path, Seen &seen) {
  while (PermitsAncestor(platform, path, seen)) {
    if (IsRoot(path))
      return true;
    path = ParentPath(path);
  }
  return false;
}

// The directories above where the path finally leads, through every link
// on its way: Windows follows them at every start.
template <typename Platform> bool PermitsAboveFinal(Platform &platform, const WideString &path, Seen &seen) {
  WideString final;
  DWORD error = platform.FinalPath(LongPath(path), final);
  if (error != 0)
    return ReadFails(platform, path, error);
  WideString plain = PlainPath(final);
  return IsRoot(plain) || PermitsAncestors(platform, ParentPath(plain), seen);
}

// A link is judged itself, since whoever can write it can point it
// elsewhere, then (inside a walk) the directories above where it leads,
// then what it leads to. The attributes are the path's own, as listed or
// queried.
template <typename Platform>
bool PermitsObject(Platform &platform, const WideString &path, DWORD attributes, ObjectRole role, Place place,
                   Seen &seen, FileId *id = nullptr) {
  if (IsLink(attributes)) {
    if (!PermitsSide(platform, path, Side::Link, RoleOf(attributes), seen))
      return false;
    if (place == Place::Walked && !PermitsAboveFinal(platform, path, seen))
      return false;
  }
  return PermitsSide(platform, path, Side::Target, role, seen, id);
}

// Whether an object named before the walks must be there. Whoever could
// add a missing one is caught at its directory.
enum class Presence { Required, Optional };

template <typename Platform>
bool PermitsNamed(Platform &platform, const WideString &path, ObjectRole role, Presence presence, Seen &seen,
                  FileId *id = nullptr) {
  DWORD attributes = platform.FileAttributes(LongPath(path));
  if (attributes != INVALID_FILE_ATTRIBUTES)
    return PermitsObject(platform, path, attributes, role, Place::Named, seen, id);
  DWORD error = platform.LastError();
  return (presence == Presence::Optional && IsMissing(error)) || ReadFails(platform, path, error);
}

template <typename Platform> bool PermitsTree(Platform &platform, const WideString &directory, Seen &seen);

// A directory of a walk, and everything below it. A link leads wherever it
// points, so what it leads to is walked, once: a link to a directory
// already walked, such as one back up the tree, ends there. A plain
// directory is always walked.
template <typename Platform>
bool PermitsDirectory(Platform &platform, const WideString &path, DWORD attributes, Seen &seen) {
  FileId id;
  if (!PermitsObject(platform, path, attributes, ObjectRole::Directory, Place::Walked, seen, &id))
    return false;
  bool link = IsLink(attributes);
  // Without an id a loop could not be seen.
  if (link && !IsKnown(id))
    return ReadFails(platform, path, ERROR_NOT_SUPPORTED);
  return (!Insert(seen.Walked, id) && link) || PermitsTree(platform, path, seen);
}

// A file, or a directory with everything below it.
template <typename Platform>
bool PermitsEntry(Platform &platform, const WideString &path, DWORD attributes, Seen &seen) {
  return RoleOf(attributes) == ObjectRole::Directory
             ? PermitsDirectory(platform, path, attributes, seen)
             : PermitsObject(platform, path, attributes, ObjectRole::File, Place::Walked, seen);
}

// Everything below the directory, depth first in name order, so that the
// same object is reported on every run. What was just listed is there: any
// failure to read it, even as missing, is told, or its subtree would go
// unchecked without a word.
template <typename Platform> bool PermitsTree(Platform &platform, const WideString &directory, Seen &seen) {
  std::list<DirectoryEntry> entries;
  DWORD error = platform.ListDirectory(LongPath(directory), entries);
  if (error != 0)
    return ReadFails(platform, directory, error);
  entries.sort(NameBefore);
  for (const DirectoryEntry &entry : entries)
    if (!PermitsEntry(platform, JoinPath(directory, entry.Name.Data()), entry.Attributes, seen))
      return false;
  return true;
}

// The service runs the host, the archive and the configuration as
// LocalSystem, with the installation directory as its working directory,
// and the runtime from ..\jre64: none of it, nothing on the way to it and
// nothing that will be created in it may be changed by anyone but the
// trusted. False when a box was shown. The order is fixed, so that the
// same object is reported on every run: where the installation directory
// lives; the installation directory, its three files and the directory
// above; the directories above that on the registered path; those above
// the installation directory's final path; the walk of the installation
// directory; the walk of jre64. The Platform gives, beyond Install()'s
// calls, with paths in the \\?\ form:
//   DWORD FileAttributes(const WideString &path) (the path's own; last
//     error on failure);
//   WideString FullPath(const WideString &path);
//   DWORD ReadSecurity(const WideString &path, bool link, ObjectSecurity &,
//     FileId *id): the link itself when link is true, otherwise what the
//     path leads to, and then its id when id is not null;
//   DWORD FinalPath(const WideString &path, WideString &final): where the
//     path leads, through every link, as the system gives it;
//   DWORD ListDirectory(const WideString &path, std::list<DirectoryEntry> &);
//   bool LookupAccount(const Sid &, WideString &domain, WideString &name);
//   void SetLastError(DWORD);
// and those that IsTrusted() and OnLocalFixedDrive() list. ReadSecurity,
// FinalPath and ListDirectory return their error, 0 on success.
template <typename Platform> bool PermitsInstallation(Platform &platform, const WideString &directory) {
  if (!OnLocalFixedDrive(platform, directory))
    return false;
  Seen seen;
  FileId directoryId;
  if (!PermitsNamed(platform, directory, ObjectRole::Directory, Presence::Required, seen, &directoryId))
    return false;
  for (const WideUnit *file : {WIDE("orvanel_host.exe"), WIDE("orvanel_app.jar"), WIDE("orvanel_app.conf")})
    if (!PermitsNamed(platform, JoinPath(directory, file), ObjectRole::File, Presence::Optional, seen))
      return false;
  WideString above = platform.FullPath(JoinPath(directory, WIDE("..")));
  WideString runtime = JoinPath(above, WIDE("jre64"));
  DWORD attributes = platform.FileAttributes(LongPath(runtime));
  bool present = attributes != INVALID_FILE_ATTRIBUTES;
  DWORD error = present ? 0 : platform.LastError();
  if (error != 0 && !IsMissing(error))
    return ReadFails(platform, runtime, error);
  ObjectRole aboveRole = present ? ObjectRole::ParentWithRuntime : ObjectRole::ParentWithoutRuntime;
  FileId aboveId;
  if (!PermitsNamed(platform, above, aboveRole, Presence::Optional, seen, &aboveId))
    return false;
  Insert(seen.Ancestors, aboveId);
  if (!IsRoot(above) && !PermitsAncestors(platform, ParentPath(above), seen))
    return false;
  if (!PermitsAboveFinal(platform, directory, seen))
    return false;
  Insert(seen.Walked, directoryId);
  if (!PermitsTree(platform, directory, seen))
    return false;
  // jre64 itself may well be a junction to a runtime elsewhere.
  return !present || PermitsEntry(platform, runtime, attributes, seen);
}
