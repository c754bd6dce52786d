#pragma once

// The entries of a DACL as the system lays them out, and the rights that
// count in them for each role an object plays for the service.

#include <cstdint>
#include <list>

#include "Sid.h"

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
    bool owner = SameSid(ace.Principal, OwnerRightsSid);
    bool creator = owner || SameSid(ace.Principal, CreatorOwnerSid);
    if (!(ace.Flags & INHERIT_ONLY_ACE) && (ace.Mask & rights.Own) &&
        (owner ? !ownerTrusted : !creator && !trusted(ace.Principal)))
      return {true, false, owner ? security.Owner : ace.Principal};
    if ((ace.Flags & (OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE)) && (ace.Mask & rights.Created) &&
        !creator && !trusted(ace.Principal))
      return {true, true, ace.Principal};
  }
  return {};
}
