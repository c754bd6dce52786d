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

// The principals that every user, logon or low-privileged service of the
// machine belongs to or runs as: a right given to one lets whatever runs
// as it become LocalSystem through the service. Named accounts and other
// groups are the administrator's own choice and are not judged.
inline bool IsOrdinaryUser(const Sid &sid) {
  // Authority, count and sub-authorities: a compact table, for the
  // installer's size budget.
  static const uint16_t ordinary[][4] = {
      {1, 1, 0},       // Everyone
      {2, 1, 0},       // Local
      {2, 1, 1},       // Console Logon
      {5, 1, 1},       // Dialup
      {5, 1, 2},       // Network
      {5, 1, 3},       // Batch
      {5, 1, 4},       // Interactive
      {5, 1, 6},       // Service
      {5, 1, 7},       // Anonymous
      {5, 1, 11},      // Authenticated Users
      {5, 1, 13},      // Terminal Server User
      {5, 1, 14},      // Remote Interactive Logon
      {5, 1, 15},      // This Organization
      {5, 1, 17},      // IUSR
      {5, 1, 19},      // Local Service
      {5, 1, 20},      // Network Service
      {5, 1, 113},     // Local account
      {5, 1, 1000},    // Other Organization
      {5, 2, 32, 545}, // Users
      {5, 2, 32, 546}, // Guests
      {5, 2, 32, 568}, // IIS_IUSRS
      {5, 2, 64, 10},  // NTLM Authentication
      {5, 2, 64, 14},  // SChannel Authentication
      {5, 2, 64, 21},  // Digest Authentication
      {5, 2, 80, 0},   // All Services
      {15, 2, 2, 1},   // All Application Packages
      {15, 2, 2, 2},   // All Restricted Application Packages
      {18, 1, 1},      // Authentication Authority Asserted Identity
  };
  for (const uint16_t *known : ordinary)
    if (sid.Authority == known[0] && sid.Count == known[1] && sid.Sub[0] == known[2] &&
        (sid.Count == 1 || sid.Sub[1] == known[3]))
      return true;
  // Any domain's Domain Users and Domain Guests.
  return sid.Authority == 5 && sid.Count == 5 && sid.Sub[0] == 21 && (sid.Sub[4] == 513 || sid.Sub[4] == 514);
}

struct Ace {
  uint8_t Type = 0;
  uint8_t Flags = 0;
  DWORD Mask = 0;
  Sid Principal;
};

// Conditional (callback) allow entries grant like plain ones.
inline bool IsAllowAce(uint8_t type) {
  return type == ACCESS_ALLOWED_ACE_TYPE || type == ACCESS_ALLOWED_CALLBACK_ACE_TYPE;
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
  Directory, // the installation directory and the directories of jre64
  ParentWithRuntime,
  ParentWithoutRuntime,
};

inline DWORD ChangingRights(ObjectRole role) {
  // Replacing or re-permitting the object itself.
  const DWORD own = DELETE | WRITE_DAC | WRITE_OWNER | GENERIC_ALL;
  switch (role) {
  case ObjectRole::File:
    return own | FILE_WRITE_DATA | FILE_APPEND_DATA | GENERIC_WRITE;
  case ObjectRole::Directory:
    return own | FILE_ADD_FILE | FILE_ADD_SUBDIRECTORY | FILE_DELETE_CHILD | GENERIC_WRITE;
  case ObjectRole::ParentWithRuntime:
    // A drive root lets everyone add files and folders; only swapping the
    // two directories it holds matters.
    return own | FILE_DELETE_CHILD;
  case ObjectRole::ParentWithoutRuntime:
    // Whoever creates the missing jre64 owns it. Generic write includes
    // adding a subdirectory.
    return own | FILE_DELETE_CHILD | FILE_ADD_SUBDIRECTORY | GENERIC_WRITE;
  }
  return own;
}

// Whether ordinary users can change the object, and through whom: a missing
// DACL first, then the owner (who may always rewrite the DACL), then the
// first allow entry that applies to the object itself and grants one of the
// role's rights or the further ones. Deny entries are not weighed: whether
// one covers every ordinary user depends on who asks.
struct Changer {
  bool Changeable = false;
  Sid By;
};

inline Changer WhoCanChange(const ObjectSecurity &security, ObjectRole role, DWORD further = 0) {
  if (!security.HasDacl)
    return {true, Sid{1, 1, {0}}};
  if (IsOrdinaryUser(security.Owner))
    return {true, security.Owner};
  DWORD rights = ChangingRights(role) | further;
  for (const Ace &ace : security.Aces)
    if (IsAllowAce(ace.Type) && !(ace.Flags & INHERIT_ONLY_ACE) && (ace.Mask & rights) &&
        IsOrdinaryUser(ace.Principal))
      return {true, ace.Principal};
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

inline NarrowString ChangeableMessage(const NarrowString &path, const NarrowString &principal) {
  return path + " can be changed by " + principal +
         ".\n\nThe service would run it as LocalSystem. "
         "Remove that permission, or install under Program Files.";
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

inline bool SameFile(const FileId &a, const FileId &b) {
  return a.Volume == b.Volume && a.Low == b.Low && a.High == b.High;
}

// The directories walked so far.
using WalkedDirectories = std::list<FileId>;

// Always false, after its box.
template <typename Platform> bool ReadFails(Platform &platform, const WideString &path, DWORD error) {
  platform.SetLastError(error);
  NarrowString description = platform.DescribeLastError();
  platform.ShowErrorBox(NarrowString("Reading the permissions of ") + Utf16ToUtf8(path) +
                        " failed with error: " + description);
  return false;
}

// Reads one side of the object, the link itself or what the path leads to
// (and then its id, when asked), and judges it. False after a box.
template <typename Platform>
bool PermitsSide(Platform &platform, const WideString &path, bool link, ObjectRole role, DWORD further,
                 FileId *id) {
  ObjectSecurity security;
  DWORD error = platform.ReadSecurity(LongPath(path), link, security, id);
  if (error != 0)
    return ReadFails(platform, path, error);
  Changer changer = WhoCanChange(security, role, further);
  if (!changer.Changeable)
    return true;
  WideString domain;
  WideString name;
  bool found = platform.LookupAccount(changer.By, domain, name);
  NarrowString principal = PrincipalName(changer.By, found, Utf16ToUtf8(domain), Utf16ToUtf8(name));
  platform.ShowErrorBox(ChangeableMessage(Utf16ToUtf8(path), principal));
  return false;
}

// A link is judged itself, since whoever can write it can point it
// elsewhere (write attributes is enough for that), and then what it leads
// to. The attributes are the path's own, as listed or queried.
template <typename Platform>
bool PermitsObject(Platform &platform, const WideString &path, DWORD attributes, ObjectRole role,
                   FileId *id = nullptr) {
  if (IsLink(attributes) &&
      !PermitsSide(platform, path, true, RoleOf(attributes), FILE_WRITE_ATTRIBUTES, nullptr))
    return false;
  return PermitsSide(platform, path, false, role, 0, id);
}

// An object named before the walk; only the optional ones may be missing.
// Whoever could add a missing one is caught at its directory.
template <typename Platform>
bool PermitsNamed(Platform &platform, const WideString &path, ObjectRole role, bool optional) {
  DWORD attributes = platform.FileAttributes(LongPath(path));
  if (attributes != INVALID_FILE_ATTRIBUTES)
    return PermitsObject(platform, path, attributes, role);
  DWORD error = platform.LastError();
  return (optional && IsMissing(error)) || ReadFails(platform, path, error);
}

template <typename Platform>
bool PermitsTree(Platform &platform, const WideString &directory, WalkedDirectories &walked);

// A directory of the runtime, and everything below it. A link leads
// wherever it points, so what it leads to is walked, once: a link to a
// directory already walked, such as one back up the tree, ends there.
template <typename Platform>
bool PermitsDirectory(Platform &platform, const WideString &path, DWORD attributes,
                      WalkedDirectories &walked) {
  FileId id;
  if (!PermitsObject(platform, path, attributes, ObjectRole::Directory, &id))
    return false;
  if (IsLink(attributes)) {
    // Without an id (some SMB servers give none) a loop could not be seen.
    if (id.Low == 0 && id.High == 0)
      return ReadFails(platform, path, ERROR_NOT_SUPPORTED);
    for (const FileId &seen : walked)
      if (SameFile(seen, id))
        return true;
  }
  walked.push_back(id);
  return PermitsTree(platform, path, walked);
}

// A file, or a directory with everything below it.
template <typename Platform>
bool PermitsEntry(Platform &platform, const WideString &path, DWORD attributes, WalkedDirectories &walked) {
  return RoleOf(attributes) == ObjectRole::Directory
             ? PermitsDirectory(platform, path, attributes, walked)
             : PermitsObject(platform, path, attributes, ObjectRole::File);
}

// Everything below the directory, depth first in name order, so that the
// same object is reported on every run. What was just listed is there: any
// failure to read it, even as missing, is told, or its subtree would go
// unchecked without a word.
template <typename Platform>
bool PermitsTree(Platform &platform, const WideString &directory, WalkedDirectories &walked) {
  std::list<DirectoryEntry> entries;
  DWORD error = platform.ListDirectory(LongPath(directory), entries);
  if (error != 0)
    return ReadFails(platform, directory, error);
  entries.sort(NameBefore);
  for (const DirectoryEntry &entry : entries)
    if (!PermitsEntry(platform, JoinPath(directory, entry.Name.Data()), entry.Attributes, walked))
      return false;
  return true;
}

// The service runs the host, the archive and the configuration as
// LocalSystem, and the runtime from ..\jre64: none of it may be open to
// ordinary users. False when a box was shown. The Platform gives, beyond
// Install()'s calls, with paths in the \\?\ form:
//   DWORD FileAttributes(const WideString &path) (the path's own; last
//     error on failure);
//   WideString FullPath(const WideString &path);
//   DWORD ReadSecurity(const WideString &path, bool link, ObjectSecurity &,
//     FileId *id): the link itself when link is true, otherwise what the
//     path leads to, and then its id when id is not null;
//   DWORD ListDirectory(const WideString &path, std::list<DirectoryEntry> &);
//   bool LookupAccount(const Sid &, WideString &domain, WideString &name);
//   void SetLastError(DWORD).
// ReadSecurity and ListDirectory return their error, 0 on success.
template <typename Platform> bool PermitsInstallation(Platform &platform, const WideString &directory) {
  if (!PermitsNamed(platform, directory, ObjectRole::Directory, false))
    return false;
  for (const WideUnit *file : {WIDE("orvanel_host.exe"), WIDE("orvanel_app.jar"), WIDE("orvanel_app.conf")})
    if (!PermitsNamed(platform, JoinPath(directory, file), ObjectRole::File, true))
      return false;
  WideString above = platform.FullPath(JoinPath(directory, WIDE("..")));
  WideString runtime = JoinPath(above, WIDE("jre64"));
  DWORD attributes = platform.FileAttributes(LongPath(runtime));
  bool present = attributes != INVALID_FILE_ATTRIBUTES;
  DWORD error = present ? 0 : platform.LastError();
  if (error != 0 && !IsMissing(error))
    return ReadFails(platform, runtime, error);
  ObjectRole aboveRole = present ? ObjectRole::ParentWithRuntime : ObjectRole::ParentWithoutRuntime;
  if (!PermitsNamed(platform, above, aboveRole, true))
    return false;
  if (!present)
    return true;
  // jre64 itself may well be a junction to a runtime elsewhere.
  WalkedDirectories walked;
  return PermitsEntry(platform, runtime, attributes, walked);
}
