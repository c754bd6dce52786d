#include <gtest/gtest.h>

#include <vector>

#include "Permissions.h"

namespace {

const Sid Everyone{1, 1, {0}}, System{5, 1, {18}}, AuthenticatedUsers{5, 1, {11}};
const Sid Admins{5, 2, {32, 544}}, Users{5, 2, {32, 545}}, CreatorOwner{3, 1, {0}};
const Sid TrustedInstaller{5, 6, {80, 956008885, 3418522649, 1831038044, 1853292631, 2271478464}};
// (I), (OI)(CI)(IO), (CI), (OI)(CI); all inherited.
const uint8_t Inherited = 0x10, InheritOnly = 0x1B, Containers = 0x12, Both = 0x13;

Ace Allow(DWORD mask, const Sid &sid, uint8_t flags = Inherited, uint8_t type = ACCESS_ALLOWED_ACE_TYPE) {
  return {type, flags, mask, sid};
}

// An object allow entry for Users that grants WRITE_DAC, with a GUID for
// each bit of present, as the system lays it out.
std::vector<uint8_t> ObjectAce(uint8_t type, uint8_t present) {
  int guids = (present & 1) + (present >> 1 & 1);
  uint8_t size = static_cast<uint8_t>(12 + 16 * guids + 16);
  std::vector<uint8_t> bytes = {type, 0, size, 0, 0, 0, 4, 0, present, 0, 0, 0};
  bytes.resize(12 + 16 * guids, 0xEE);
  for (uint8_t b : {1, 2, 0, 0, 0, 0, 0, 5, 32, 0, 0, 0, 0x21, 2, 0, 0}) // S-1-5-32-545
    bytes.push_back(b);
  return bytes;
}

ObjectSecurity Security(const Sid &owner, std::initializer_list<Ace> aces, bool dacl = true) {
  ObjectSecurity security;
  security.HasDacl = dacl;
  security.Owner = owner;
  security.Aces = aces;
  return security;
}

TEST(Permissions, OrdinaryUsersMustNotChangeWhatTheServiceRuns) {
  struct Row {
    const char *what;
    ObjectRole role;
    ObjectSecurity security;
    const char *changer; // "" when no ordinary user can change it
    bool root = false;
  };
  auto writable = [](const Sid &sid) { return Security(Admins, {Allow(FILE_WRITE_DATA, sid)}); };
  const Ace full = Allow(0x1F01FF, Admins), readExecute = Allow(0x1200A9, Users);
  const Ace domainUsers =
      Allow(FILE_WRITE_DATA, Sid{5, 5, {21, 1, 2, 3, 513}}, 0, ACCESS_ALLOWED_CALLBACK_ACE_TYPE);
  const ObjectSecurity driveRoot =
      Security(Admins, {full, Allow(FILE_ADD_SUBDIRECTORY, AuthenticatedUsers, 0),
                        Allow(FILE_ADD_FILE, Users, Containers)});
  // C:\ of Windows 10 and 11 (its own entries, (OI)(CI) and (OI)(CI)(IO)), and a
  // data drive's root with Modify for every user.
  const ObjectSecurity systemRoot =
      Security(TrustedInstaller, {Allow(0x1F01FF, Admins, 0x3), Allow(0x1200A9, Users, 0x3),
                                  Allow(FILE_ADD_SUBDIRECTORY, AuthenticatedUsers, 0),
                                  Allow(0x1301BF, AuthenticatedUsers, 0xB)});
  const ObjectSecurity dataRoot = Security(Admins, {full, Allow(0x1301BF, AuthenticatedUsers, 0x3)});
  const ObjectSecurity belowData = Security(Admins, {full, Allow(0x1301BF, AuthenticatedUsers, Both)});
  const ObjectSecurity inheritOnly = Security(Admins, {Allow(GENERIC_ALL, Users, InheritOnly)});
  const Row rows[] = {
      {"Windows 10 below a drive root", ObjectRole::Directory,
       Security(Admins, {full, readExecute, Allow(0x1301BF, AuthenticatedUsers),
                         Allow(0xE0010000, AuthenticatedUsers, InheritOnly)}),
       "S-1-5-11"},
      {"Windows Server below a drive root", ObjectRole::Directory,
       Security(Admins,
                {full, Allow(GENERIC_ALL, CreatorOwner, InheritOnly), readExecute,
                 Allow(FILE_ADD_SUBDIRECTORY, Users, Containers), Allow(FILE_ADD_FILE, Users, Containers)}),
       "S-1-5-32-545"},
      {"Program Files", ObjectRole::Directory,
       Security(TrustedInstaller,
                {Allow(0x1F01FF, TrustedInstaller, Containers), Allow(0x1301BF, System),
                 Allow(0x1301BF, Admins), readExecute, Allow(0xA0000000, Users, InheritOnly),
                 Allow(GENERIC_ALL, CreatorOwner, InheritOnly), Allow(0x1200A9, Sid{15, 2, {2, 1}}),
                 Allow(0x1200A9, Sid{15, 2, {2, 2}})}),
       ""},
      {"no DACL", ObjectRole::File, Security(Admins, {}, false), "S-1-1-0"},
      // What is created in it inherits the entry; above the directory above,
      // only new siblings of the path would.
      {"inherit-only", ObjectRole::Directory, inheritOnly, "S-1-5-32-545 (created)"},
      {"inherit-only, above", ObjectRole::Ancestor, inheritOnly, ""},
      {"write attributes", ObjectRole::Directory, Security(Admins, {Allow(FILE_WRITE_ATTRIBUTES, Users)}),
       "S-1-5-32-545"},
      {"owned by Everyone", ObjectRole::File, Security(Everyone, {full}), "S-1-1-0"},
      {"a named user", ObjectRole::File, Security(Admins, {Allow(0x1F01FF, Sid{5, 5, {21, 1, 2, 3, 1001}})}),
       ""},
      {"Domain Users, on a condition", ObjectRole::File, Security(Admins, {domainUsers}),
       "S-1-5-21-1-2-3-513"},
      {"deny not weighed", ObjectRole::File,
       Security(Admins, {Allow(0x1F01FF, Everyone, 0, 1 /* deny */), Allow(WRITE_DAC, Users)}),
       "S-1-5-32-545"},
      // A jre64 unpacked at such a root again would inherit what it hands on.
      {"a drive root with jre64", ObjectRole::ParentWithRuntime, driveRoot, "S-1-5-32-545 (created)", true},
      {"a drive root without jre64", ObjectRole::ParentWithoutRuntime, driveRoot, "S-1-5-11", true},
      {"C:\\ above", ObjectRole::Ancestor, systemRoot, "", true},
      {"C:\\ as the directory above", ObjectRole::ParentWithRuntime, systemRoot, "S-1-5-11 (created)", true},
      // A root cannot be renamed; a folder below it that inherits Modify can.
      {"a data drive's root above", ObjectRole::Ancestor, dataRoot, "", true},
      {"a folder below it", ObjectRole::Ancestor, belowData, "S-1-5-11"},
      {"an object entry", ObjectRole::File, Security(Admins, {ReadAce(ObjectAce(5, 3).data())}),
       "S-1-5-32-545"},
      {"a callback object entry", ObjectRole::File, Security(Admins, {ReadAce(ObjectAce(11, 2).data())}),
       "S-1-5-32-545"},
      // Any domain's Domain Users and Domain Guests, and nothing else of that shape.
      {"Domain Guests", ObjectRole::File, writable(Sid{5, 5, {21, 1, 2, 3, 514}}), "S-1-5-21-1-2-3-514"},
      {"Domain Computers", ObjectRole::File, writable(Sid{5, 5, {21, 1, 2, 3, 515}}), "S-1-5-21-1-2-3-515"},
      {"Domain Controllers", ObjectRole::File, writable(Sid{5, 5, {21, 1, 2, 3, 516}}), ""},
      {"too few sub-authorities", ObjectRole::File, writable(Sid{5, 4, {21, 1, 2, 513}}), ""},
      {"six sub-authorities", ObjectRole::File, writable(Sid{5, 6, {21, 1, 2, 3, 4, 513}}), ""},
      {"not a domain", ObjectRole::File, writable(Sid{5, 2, {32, 513}}), ""},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.what);
    Changer changer = WhoCanChange(row.security, RightsOf(row.role, row.root));
    std::string by = changer.Changeable ? SidText(changer.By).Data() : "";
    EXPECT_EQ(by + (changer.Created ? " (created)" : ""), row.changer);
  }
  // The service accounts, and the other groups that any service or logon may be in.
  for (const Sid &sid : {Sid{5, 1, {19}}, Sid{5, 1, {20}}, Sid{5, 1, {17}}, Sid{5, 2, {32, 568}},
                         Sid{5, 2, {80, 0}}, Sid{5, 1, {13}}, Sid{5, 1, {1000}}, Sid{18, 1, {1}},
                         Sid{5, 1, {1}}, Sid{5, 2, {64, 10}}, Sid{5, 2, {64, 14}}, Sid{5, 2, {64, 21}}})
    EXPECT_TRUE(IsOrdinaryUser(sid)) << SidText(sid).Data();
  EXPECT_STREQ(Utf16ToUtf8(LongPath(WIDE("\\\\server\\share\\x"))).Data(), "\\\\?\\UNC\\server\\share\\x");
  EXPECT_STREQ(Utf16ToUtf8(PlainPath(WIDE("\\\\?\\UNC\\server\\share\\x"))).Data(), "\\\\server\\share\\x");
  EXPECT_STREQ(Utf16ToUtf8(ParentPath(WIDE("\\\\server\\share\\x"))).Data(), "\\\\server\\share\\");
  EXPECT_TRUE(IsRoot(WIDE("\\\\server\\share")));
  EXPECT_STREQ(SidText(Sid{0x123456789ABC, 1, {7}}).Data(), "S-1-0x123456789ABC-7");
  EXPECT_STREQ(PrincipalName(Users, true, "BUILTIN", "Users").Data(), "BUILTIN\\Users (S-1-5-32-545)");
  EXPECT_STREQ(PrincipalName(Everyone, true, "", "Everyone").Data(), "Everyone (S-1-1-0)");
  EXPECT_STREQ(PrincipalName(Users, false, "", "").Data(), "S-1-5-32-545");
}

} // namespace
