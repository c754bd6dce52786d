#include <gtest/gtest.h>

#include "Permissions.h"

namespace {

const Sid Everyone{1, 1, {0}}, System{5, 1, {18}}, AuthenticatedUsers{5, 1, {11}};
const Sid Admins{5, 2, {32, 544}}, Users{5, 2, {32, 545}}, CreatorOwner{3, 1, {0}};
const Sid TrustedInstaller{5, 6, {80, 956008885, 3418522649, 1831038044, 1853292631, 2271478464}};
const uint8_t Inherited = 0x10, InheritOnly = 0x1B, Containers = 0x12; // (OI)(CI)(IO), (CI)

Ace Allow(DWORD mask, const Sid &sid, uint8_t flags = Inherited, uint8_t type = ACCESS_ALLOWED_ACE_TYPE) {
  return {type, flags, mask, sid};
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
  };
  auto writable = [](const Sid &sid) { return Security(Admins, {Allow(FILE_WRITE_DATA, sid)}); };
  const Ace full = Allow(0x1F01FF, Admins), readExecute = Allow(0x1200A9, Users);
  const Ace domainUsers =
      Allow(FILE_WRITE_DATA, Sid{5, 5, {21, 1, 2, 3, 513}}, 0, ACCESS_ALLOWED_CALLBACK_ACE_TYPE);
  const ObjectSecurity driveRoot = Security(Admins, {full, Allow(FILE_ADD_FILE, Users, Containers),
                                                     Allow(FILE_ADD_SUBDIRECTORY, AuthenticatedUsers, 0)});
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
      {"inherit-only", ObjectRole::Directory, Security(Admins, {Allow(GENERIC_ALL, Users, InheritOnly)}), ""},
      {"owned by Everyone", ObjectRole::File, Security(Everyone, {full}), "S-1-1-0"},
      {"a named user", ObjectRole::File, Security(Admins, {Allow(0x1F01FF, Sid{5, 5, {21, 1, 2, 3, 1001}})}),
       ""},
      {"Domain Users, on a condition", ObjectRole::File, Security(Admins, {domainUsers}),
       "S-1-5-21-1-2-3-513"},
      {"deny not weighed", ObjectRole::File,
       Security(Admins, {Allow(0x1F01FF, Everyone, 0, 1 /* deny */), Allow(WRITE_DAC, Users)}),
       "S-1-5-32-545"},
      {"a drive root with jre64", ObjectRole::ParentWithRuntime, driveRoot, ""},
      {"a drive root without jre64", ObjectRole::ParentWithoutRuntime, driveRoot, "S-1-5-11"},
      // Any domain's Domain Users and Domain Guests, and nothing else of that shape.
      {"Domain Guests", ObjectRole::File, writable(Sid{5, 5, {21, 1, 2, 3, 514}}), "S-1-5-21-1-2-3-514"},
      {"too few sub-authorities", ObjectRole::File, writable(Sid{5, 4, {21, 1, 2, 513}}), ""},
      {"six sub-authorities", ObjectRole::File, writable(Sid{5, 6, {21, 1, 2, 3, 4, 513}}), ""},
      {"not a domain", ObjectRole::File, writable(Sid{5, 2, {32, 513}}), ""},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.what);
    Changer changer = WhoCanChange(row.security, row.role);
    EXPECT_EQ(changer.Changeable ? SidText(changer.By).Data() : std::string(), row.changer);
  }
  // The service accounts, and the other groups that any service or logon may be in.
  for (const Sid &sid : {Sid{5, 1, {19}}, Sid{5, 1, {20}}, Sid{5, 1, {17}}, Sid{5, 2, {32, 568}},
                         Sid{5, 2, {80, 0}}, Sid{5, 1, {13}}, Sid{5, 1, {1000}}, Sid{18, 1, {1}},
                         Sid{5, 1, {1}}, Sid{5, 2, {64, 10}}, Sid{5, 2, {64, 14}}, Sid{5, 2, {64, 21}}})
    EXPECT_TRUE(IsOrdinaryUser(sid)) << SidText(sid).Data();
  EXPECT_STREQ(Utf16ToUtf8(LongPath(WIDE("\\\\server\\share\\x"))).Data(), "\\\\?\\UNC\\server\\share\\x");
  EXPECT_STREQ(SidText(Sid{0x123456789ABC, 1, {7}}).Data(), "S-1-0x123456789ABC-7");
  EXPECT_STREQ(PrincipalName(Users, true, "BUILTIN", "Users").Data(), "BUILTIN\\Users (S-1-5-32-545)");
  EXPECT_STREQ(PrincipalName(Everyone, true, "", "Everyone").Data(), "Everyone (S-1-1-0)");
  EXPECT_STREQ(PrincipalName(Users, false, "", "").Data(), "S-1-5-32-545");
}

} // namespace
