#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "PermissionCheck.h"
#include "RowName.h"

namespace {

const Sid Everyone{1, 1, {0}}, System{5, 1, {18}}, AuthenticatedUsers{5, 1, {11}};
const Sid Admins{5, 2, {32, 544}}, Users{5, 2, {32, 545}}, CreatorOwner{3, 1, {0}};
const Sid TrustedInstaller{5, 6, {80, 956008885, 3418522649, 1831038044, 1853292631, 2271478464}};
const Sid OwnerRights{3, 1, {4}}, CreatorGroup{3, 1, {1}}, LocalAdministrator{5, 1, {114}};
// Local accounts: a direct member of Administrators, a user, a group of the
// organisation's own, and one whose membership the machine cannot tell.
const Sid Administrator{5, 5, {21, 1, 2, 3, 500}}, User{5, 5, {21, 1, 2, 3, 1001}},
    OwnGroup{5, 5, {21, 1, 2, 3, 1010}}, Unplaced{5, 5, {21, 1, 2, 3, 1099}};

// The machine's word on membership of Administrators, and how often it was
// asked about each principal.
struct Machine {
  std::map<std::string, int> asked;
  DWORD IsAdministratorsMember(const Sid &sid, bool &member) {
    ++asked[SidText(sid).Data()];
    member = SameSid(sid, Administrator);
    return SameSid(sid, Unplaced) ? ERROR_ACCESS_DENIED : 0;
  }
};
// (I), (OI)(CI)(IO), (CI), (OI)(CI); all inherited.
const uint8_t Inherited = 0x10, InheritOnly = 0x1B, Containers = 0x12, Both = 0x13;

Ace Allow(DWORD mask, const Sid &sid, uint8_t flags = Inherited, uint8_t type = ACCESS_ALLOWED_ACE_TYPE) {
  return {type, flags, mask, sid};
}

// An entry for Administrators that grants WRITE_DAC, its size too short
// for the SID it holds.
const uint8_t ShortAce[] = {0, 0, 16, 0, 0, 0, 4, 0, 1, 2, 0, 0, 0, 0, 0, 5, 32, 0, 0, 0, 0x20, 2, 0, 0};

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

// One row: an object's role and security, and the untrusted principal who
// can change it ("" when none can), or change what is created in it.
struct Row {
  const char *name;
  ObjectRole role = ObjectRole::File;
  bool root = false;
  ObjectSecurity security;
  std::string changer;

  explicit Row(const char *rowName) : name(rowName) {}
  Row &As(ObjectRole r, ObjectSecurity s) { return role = r, security = std::move(s), *this; }
  Row &AtRoot() { return root = true, *this; }
  Row &ChangedBy(const char *sid) { return changer = sid, *this; }
  Row &CreatedBy(const char *sid) { return changer = std::string(sid) + " (created)", *this; }
};

const ObjectRole File = ObjectRole::File, Directory = ObjectRole::Directory, Above = ObjectRole::Ancestor;
const ObjectRole WithRuntime = ObjectRole::ParentWithRuntime,
                 WithoutRuntime = ObjectRole::ParentWithoutRuntime;

ObjectSecurity Writable(const Sid &sid) { return Security(Admins, {Allow(FILE_WRITE_DATA, sid)}); }
const Ace Full = Allow(0x1F01FF, Admins), ReadExecute = Allow(0x1200A9, Users);
const ObjectSecurity DriveRoot = Security(Admins, {Full, Allow(FILE_ADD_SUBDIRECTORY, AuthenticatedUsers, 0),
                                                   Allow(FILE_ADD_FILE, Users, Containers)});
// C:\ of Windows 10 and 11 (its own entries, (OI)(CI) and (OI)(CI)(IO)), and a
// data drive's root with Modify for every user.
const ObjectSecurity SystemRoot =
    Security(TrustedInstaller,
             {Allow(0x1F01FF, Admins, 0x3), Allow(0x1200A9, Users, 0x3),
              Allow(FILE_ADD_SUBDIRECTORY, AuthenticatedUsers, 0), Allow(0x1301BF, AuthenticatedUsers, 0xB)});
const ObjectSecurity DataRoot = Security(Admins, {Full, Allow(0x1301BF, AuthenticatedUsers, 0x3)});
const ObjectSecurity InheritOnlyAll = Security(Admins, {Allow(GENERIC_ALL, Users, InheritOnly)});

// clang-format off
const Row Rows[] = {
    Row("Windows 10 below a drive root").As(Directory, Security(Admins, {Full, ReadExecute,
        Allow(0x1301BF, AuthenticatedUsers), Allow(0xE0010000, AuthenticatedUsers, InheritOnly)})).ChangedBy("S-1-5-11"),
    Row("Windows Server below a drive root").As(Directory, Security(Admins, {Full,
        Allow(GENERIC_ALL, CreatorOwner, InheritOnly), ReadExecute, Allow(FILE_ADD_SUBDIRECTORY, Users, Containers),
        Allow(FILE_ADD_FILE, Users, Containers)})).ChangedBy("S-1-5-32-545"),
    Row("Program Files").As(Directory, Security(TrustedInstaller, {Allow(0x1F01FF, TrustedInstaller, Containers),
        Allow(0x1301BF, System), Allow(0x1301BF, Admins), ReadExecute, Allow(0xA0000000, Users, InheritOnly),
        Allow(GENERIC_ALL, CreatorOwner, InheritOnly), Allow(0x1200A9, Sid{15, 2, {2, 1}}),
        Allow(0x1200A9, Sid{15, 2, {2, 2}})})),
    Row("no DACL").As(File, Security(Admins, {}, false)).ChangedBy("S-1-1-0"),
    // What is created in it inherits the entry; above the directory above,
    // only new siblings of the path would.
    Row("inherit-only").As(Directory, InheritOnlyAll).CreatedBy("S-1-5-32-545"),
    Row("inherit-only, above").As(Above, InheritOnlyAll),
    Row("write attributes").As(Directory, Security(Admins, {Allow(FILE_WRITE_ATTRIBUTES, Users)})).ChangedBy("S-1-5-32-545"),
    Row("owned by Everyone").As(File, Security(Everyone, {Full})).ChangedBy("S-1-1-0"),
    Row("Domain Users, on a condition").As(File, Security(Admins, {Allow(FILE_WRITE_DATA, Sid{5, 5, {21, 1, 2, 3, 513}},
        0, ACCESS_ALLOWED_CALLBACK_ACE_TYPE)})).ChangedBy("S-1-5-21-1-2-3-513"),
    Row("deny not weighed").As(File, Security(Admins, {Allow(0x1F01FF, Everyone, 0, 1 /* deny */),
        Allow(WRITE_DAC, Users)})).ChangedBy("S-1-5-32-545"),
    // A jre64 unpacked at such a root again would inherit what it hands on.
    Row("a drive root with jre64").As(WithRuntime, DriveRoot).AtRoot().CreatedBy("S-1-5-32-545"),
    Row("a drive root without jre64").As(WithoutRuntime, DriveRoot).AtRoot().ChangedBy("S-1-5-11"),
    Row("C:\\ above").As(Above, SystemRoot).AtRoot(),
    Row("C:\\ as the directory above").As(WithRuntime, SystemRoot).AtRoot().CreatedBy("S-1-5-11"),
    // A root cannot be renamed; a folder below it that inherits Modify can.
    Row("a data drive's root above").As(Above, DataRoot).AtRoot(),
    Row("a folder below it").As(Above, Security(Admins, {Full, Allow(0x1301BF, AuthenticatedUsers, Both)}))
        .ChangedBy("S-1-5-11"),
    Row("an object entry").As(File, Security(Admins, {ReadAce(ObjectAce(5, 3).data())})).ChangedBy("S-1-5-32-545"),
    Row("a callback object entry").As(File, Security(Admins, {ReadAce(ObjectAce(11, 2).data())}))
        .ChangedBy("S-1-5-32-545"),
    // Only the trusted may own it or write it: whoever owns it may rewrite its DACL.
    Row("top folder owned by a user").As(Above, Security(User, {Full, Allow(0x1F01FF, System)}))
        .ChangedBy("S-1-5-21-1-2-3-1001"),
    Row("an app pool").As(File, Writable(Sid{5, 6, {82, 1, 2, 3, 4, 5}})).ChangedBy("S-1-5-82-1-2-3-4-5"),
    Row("a service's own SID").As(File, Writable(Sid{5, 6, {80, 1, 2, 3, 4, 5}})).ChangedBy("S-1-5-80-1-2-3-4-5"),
    Row("a named local account").As(File, Writable(User)).ChangedBy("S-1-5-21-1-2-3-1001"),
    Row("an administrator through a domain group").As(File, Writable(Sid{5, 5, {21, 7, 8, 9, 1105}}))
        .ChangedBy("S-1-5-21-7-8-9-1105"),
    Row("the organisation's own group").As(File, Writable(OwnGroup)).ChangedBy("S-1-5-21-1-2-3-1010"),
    Row("a membership the machine cannot tell").As(File, Writable(Unplaced)).ChangedBy("S-1-5-21-1-2-3-1099"),
    Row("TrustedInstaller").As(File, Writable(TrustedInstaller)),
    Row("a local administrator's logon").As(File, Writable(LocalAdministrator)),
    Row("a direct member of Administrators").As(File, Security(Administrator, {Allow(FILE_WRITE_DATA, Administrator)})),
    // Only the trusted can create anything in a directory that passes.
    Row("CREATOR OWNER inherits").As(Directory, Security(Admins, {Allow(GENERIC_ALL, CreatorOwner, InheritOnly)})),
    Row("OWNER RIGHTS inherits").As(Directory, Security(Admins, {Allow(GENERIC_ALL, OwnerRights, InheritOnly)})),
    Row("CREATOR GROUP inherits").As(Directory, Security(Admins, {Allow(0x1301BF, CreatorGroup, InheritOnly)}))
        .CreatedBy("S-1-3-1"),
    // OWNER RIGHTS is the owner's, in place of the right to rewrite the DACL.
    Row("OWNER RIGHTS, trusted owner").As(File, Security(Admins, {Allow(0x1F01FF, OwnerRights, 0)})),
    Row("OWNER RIGHTS reads, user owner").As(File, Security(User, {Allow(0x1200A9, OwnerRights, 0)})),
    Row("OWNER RIGHTS writes, user owner").As(File, Security(User, {Allow(FILE_WRITE_DATA, OwnerRights, 0)}))
        .ChangedBy("S-1-5-21-1-2-3-1001"),
    Row("only files inherit").As(Directory, Security(Admins, {Allow(FILE_WRITE_DATA, Users, 0x9)})).CreatedBy("S-1-5-32-545"),
    Row("an entry too short for its SID").As(File, Security(Admins, {ReadAce(ShortAce)})).ChangedBy("S-1-1-0"),
    // Whoever may delete its children can rename them.
    Row("delete child above").As(Above, Security(Admins, {Allow(FILE_DELETE_CHILD, Users, 0)})).ChangedBy("S-1-5-32-545"),
};
// clang-format on

void PrintTo(const Row &row, std::ostream *out) { *out << row.name; }

class Permissions : public testing::TestWithParam<Row> {};

TEST_P(Permissions, OnlyTheTrustedMayChangeWhatTheServiceRuns) {
  const Row &row = GetParam();
  Machine machine;
  std::list<Placement> placed;
  auto trusted = [&](const Sid &sid) { return IsTrusted(machine, placed, sid); };
  Changer changer = WhoCanChange(row.security, RightsOf(row.role, row.root), trusted);
  std::string by = changer.Changeable ? SidText(changer.By).Data() : "";
  EXPECT_EQ(by + (changer.Created ? " (created)" : ""), row.changer);
  // The machine is asked once a run for each principal it must place.
  WhoCanChange(row.security, RightsOf(row.role, row.root), trusted);
  for (const auto &asked : machine.asked)
    EXPECT_EQ(asked.second, 1) << asked.first;
}

INSTANTIATE_TEST_SUITE_P(Rows, Permissions, testing::ValuesIn(Rows), RowName());

TEST(Principals, AreNamedWithTheirSidAndOnlyWhereTheMachineCan) {
  const Sid machine{5, 4, {21, 1, 2, 3}};
  for (const Sid &sid : {Everyone, TrustedInstaller, Sid{5, 6, {82, 1, 2, 3, 4, 5}}, User})
    EXPECT_TRUE(NamedLocally(sid, machine)) << SidText(sid).Data();
  for (const Sid &sid : {Sid{5, 5, {21, 7, 8, 9, 1105}}, Sid{12, 5, {1, 2, 3, 4, 5}}})
    EXPECT_FALSE(NamedLocally(sid, machine)) << SidText(sid).Data();
  EXPECT_STREQ(SidText(Sid{0x123456789ABC, 1, {7}}).Data(), "S-1-0x123456789ABC-7");
  EXPECT_STREQ(PrincipalName(Users, true, "BUILTIN", "Users").Data(), "BUILTIN\\Users (S-1-5-32-545)");
  EXPECT_STREQ(PrincipalName(Everyone, true, "", "Everyone").Data(), "Everyone (S-1-1-0)");
  EXPECT_STREQ(PrincipalName(Users, false, "", "").Data(), "S-1-5-32-545");
}

TEST(Paths, SharesKeepTheirRoot) {
  EXPECT_STREQ(Utf16ToUtf8(LongPath(WIDE("\\\\server\\share\\x"))).Data(), "\\\\?\\UNC\\server\\share\\x");
  EXPECT_STREQ(Utf16ToUtf8(PlainPath(WIDE("\\\\?\\UNC\\server\\share\\x"))).Data(), "\\\\server\\share\\x");
  EXPECT_STREQ(Utf16ToUtf8(ParentPath(WIDE("\\\\server\\share\\x"))).Data(), "\\\\server\\share\\");
  EXPECT_TRUE(IsRoot(WIDE("\\\\server\\share")));
}

} // namespace
