#include "SecurityPlatform.h"

#include <aclapi.h>
#include <ntsecapi.h>

#include <cstring>
#include <cwchar>

#include "ErrorText.h"
#include "SystemLibrary.h"

namespace {

// The owner and the entries, copied out of the descriptor.
void Describe(PSID owner, PACL dacl, ObjectSecurity &security) {
  security.HasDacl = dacl != nullptr;
  if (owner != nullptr)
    security.Owner = ReadSid(static_cast<const uint8_t *>(owner));
  for (DWORD i = 0; dacl != nullptr && i < dacl->AceCount; ++i) {
    void *entry = nullptr;
    if (GetAce(dacl, i, &entry))
      security.Aces.push_back(ReadAce(static_cast<const uint8_t *>(entry)));
  }
}

// The system's form of a SID, in a block of the largest size.
struct SystemSid {
  DWORD Block[SECURITY_MAX_SID_SIZE / sizeof(DWORD)];
  explicit SystemSid(const Sid &sid) {
    SID_IDENTIFIER_AUTHORITY authority;
    for (int i = 0; i < 6; ++i)
      authority.Value[i] = static_cast<BYTE>(sid.Authority >> (8 * (5 - i)));
    InitializeSid(Block, &authority, sid.Count);
    for (int i = 0; i < sid.Count; ++i)
      *GetSidSubAuthority(Block, i) = sid.Sub[i];
  }
};

// An account's name. Account and domain names have at most 256 units.
DWORD AccountName(const Sid &sid, WideString &domain, WideString &name) {
  SystemSid copy(sid);
  wchar_t account[257];
  wchar_t accountDomain[257];
  DWORD accountUnits = 257;
  DWORD domainUnits = 257;
  SID_NAME_USE use;
  if (!LookupAccountSidW(nullptr, copy.Block, account, &accountUnits, accountDomain, &domainUnits, &use))
    return GetLastError();
  name = WideString(account);
  domain = WideString(accountDomain);
  return ERROR_SUCCESS;
}

// The machine's own account domain, whose accounts it names and places
// without a domain controller.
DWORD ReadAccountDomain(Sid &domain) {
  LSA_OBJECT_ATTRIBUTES attributes = {};
  LSA_HANDLE policy;
  NTSTATUS status = LsaOpenPolicy(nullptr, &attributes, POLICY_VIEW_LOCAL_INFORMATION, &policy);
  if (status != 0)
    return LsaNtStatusToWinError(status);
  POLICY_ACCOUNT_DOMAIN_INFO *information = nullptr;
  status = LsaQueryInformationPolicy(policy, PolicyAccountDomainInformation,
                                     reinterpret_cast<void **>(&information));
  if (status == 0) {
    domain = ReadSid(static_cast<const uint8_t *>(information->DomainSid));
    LsaFreeMemory(information);
  }
  LsaClose(policy);
  return LsaNtStatusToWinError(status);
}

// The 128-bit id, unique on ReFS too; the 64-bit index only where the
// system or the file system refuses that.
DWORD ReadFileId(HANDLE file, FileId &id) {
  FILE_ID_INFO full;
  if (GetFileInformationByHandleEx(file, FileIdInfo, &full, sizeof full)) {
    id.Volume = full.VolumeSerialNumber;
    std::memcpy(&id.Low, full.FileId.Identifier, 8);
    std::memcpy(&id.High, full.FileId.Identifier + 8, 8);
    return ERROR_SUCCESS;
  }
  BY_HANDLE_FILE_INFORMATION information;
  if (!GetFileInformationByHandle(file, &information))
    return GetLastError();
  id.Volume = information.dwVolumeSerialNumber;
  id.Low = uint64_t{information.nFileIndexHigh} << 32 | information.nFileIndexLow;
  return ERROR_SUCCESS;
}

} // namespace

DWORD Win32Security::FileAttributes(const WideString &path, DWORD &attributes) {
  attributes = GetFileAttributesW(path.Data());
  return attributes == INVALID_FILE_ATTRIBUTES ? GetLastError() : ERROR_SUCCESS;
}

// Unresolved when it fails: the path still names the same directory.
WideString Win32Security::FullPath(const WideString &path) {
  DWORD units = GetFullPathNameW(path.Data(), 0, nullptr, nullptr);
  if (units == 0)
    return path;
  WideString buffer(Capacity{CheckedUnits(units)});
  if (GetFullPathNameW(path.Data(), units, buffer.Data(), nullptr) >= units)
    return path;
  return WideString(buffer.Data());
}

// Opened for its security and attributes alone, shared every way: a
// running server holds its runtime open.
DWORD Win32Security::ReadSecurity(const WideString &path, Side side, ObjectSecurity &security, FileId *id) {
  DWORD flags = FILE_FLAG_BACKUP_SEMANTICS | (side == Side::Link ? FILE_FLAG_OPEN_REPARSE_POINT : 0);
  HANDLE file = CreateFileW(path.Data(), READ_CONTROL | FILE_READ_ATTRIBUTES,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                            flags, nullptr);
  if (file == INVALID_HANDLE_VALUE)
    return GetLastError();
  PSID owner = nullptr;
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  DWORD error = GetSecurityInfo(file, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                                &owner, nullptr, &dacl, nullptr, &descriptor);
  if (error == ERROR_SUCCESS) {
    Describe(owner, dacl, security);
    LocalFree(descriptor);
    if (id != nullptr)
      error = ReadFileId(file, *id);
  }
  CloseHandle(file);
  return error;
}

DWORD Win32Security::FinalPath(const WideString &path, WideString &final) {
  HANDLE file =
      CreateFileW(path.Data(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                  nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (file == INVALID_HANDLE_VALUE)
    return GetLastError();
  const DWORD flags = FILE_NAME_NORMALIZED | VOLUME_NAME_DOS;
  DWORD units = GetFinalPathNameByHandleW(file, nullptr, 0, flags);
  DWORD error = units == 0 ? GetLastError() : ERROR_SUCCESS;
  if (units != 0) {
    WideString buffer(Capacity{CheckedUnits(units)});
    DWORD written = GetFinalPathNameByHandleW(file, buffer.Data(), units, flags);
    error = written == 0 ? GetLastError() : written >= units ? ERROR_INSUFFICIENT_BUFFER : ERROR_SUCCESS;
    if (error == ERROR_SUCCESS)
      final = WideString(buffer.Data());
  }
  CloseHandle(file);
  return error;
}

DWORD Win32Security::ListDirectory(const WideString &directory, std::list<DirectoryEntry> &entries) {
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW(JoinPath(directory, L"*").Data(), &found);
  if (search == INVALID_HANDLE_VALUE)
    return GetLastError();
  do {
    const wchar_t *name = found.cFileName;
    bool dots = name[0] == L'.' && (name[1] == 0 || (name[1] == L'.' && name[2] == 0));
    if (!dots)
      entries.push_back({WideString(name), found.dwFileAttributes});
  } while (FindNextFileW(search, &found));
  DWORD error = GetLastError();
  FindClose(search);
  return error == ERROR_NO_MORE_FILES ? ERROR_SUCCESS : error;
}

DWORD Win32Security::LookupAccount(const Sid &sid, WideString &domain, WideString &name) {
  if (naming_ == Naming::ThisMachineOnly) {
    DWORD error = Load();
    if (error != ERROR_SUCCESS || !NamedLocally(sid, domain_))
      return error != ERROR_SUCCESS ? error : ERROR_NONE_MAPPED;
  }
  return AccountName(sid, domain, name);
}

// netapi32 is no known system library: it is loaded from System32 alone,
// and only when a principal needs it.
DWORD Win32Security::Load() {
  if (free_ != nullptr)
    return ERROR_SUCCESS;
  HMODULE library = LoadSystemLibrary(L"netapi32.dll");
  if (library == nullptr)
    return GetLastError();
  decltype(free_) release = nullptr;
  if (!FindProcedure(library, "NetLocalGroupGetMembers", getMembers_) ||
      !FindProcedure(library, "NetUserGetLocalGroups", getUserGroups_) ||
      !FindProcedure(library, "NetApiBufferFree", release))
    return ERROR_PROC_NOT_FOUND;
  WideString builtin;
  DWORD error = AccountName(Sid{5, 2, {32, 544}}, builtin, groupName_);
  if (error == ERROR_SUCCESS)
    error = ReadAccountDomain(domain_);
  if (error == ERROR_SUCCESS)
    free_ = release;
  return error;
}

// A local account by the groups it is a direct member of (Wine lists none
// of the group's members by SID); any other principal by the group's
// members, SIDs that the machine keeps without asking a domain controller.
DWORD Win32Security::IsAdministratorsMember(const Sid &sid, bool &member) {
  member = false;
  DWORD error = Load();
  if (error != ERROR_SUCCESS)
    return error;
  BYTE *buffer = nullptr;
  DWORD read = 0;
  DWORD total = 0;
  if (InDomain(sid, domain_)) {
    WideString domain;
    WideString name;
    error = AccountName(sid, domain, name);
    if (error != ERROR_SUCCESS)
      return error;
    error = getUserGroups_(nullptr, name.Data(), 0, 0, &buffer, MAX_PREFERRED_LENGTH, &read, &total);
    auto *groups = reinterpret_cast<LOCALGROUP_USERS_INFO_0 *>(buffer);
    for (DWORD i = 0; error == 0 && i < read; ++i)
      member |= _wcsicmp(groups[i].lgrui0_name, groupName_.Data()) == 0;
  } else {
    SystemSid copy(sid);
    error = getMembers_(nullptr, groupName_.Data(), 0, &buffer, MAX_PREFERRED_LENGTH, &read, &total, nullptr);
    auto *members = reinterpret_cast<LOCALGROUP_MEMBERS_INFO_0 *>(buffer);
    for (DWORD i = 0; error == 0 && i < read; ++i)
      member |= EqualSid(members[i].lgrmi0_sid, copy.Block) != 0;
  }
  if (buffer != nullptr)
    free_(buffer);
  // All of a long list, or the answer is not known.
  return error == 0 && read < total ? ERROR_MORE_DATA : error;
}

UINT Win32Security::DriveType(const WideString &root) { return GetDriveTypeW(root.Data()); }

DWORD Win32Security::VolumeName(const WideString &root) {
  wchar_t volume[50];
  return GetVolumeNameForVolumeMountPointW(root.Data(), volume, 50) ? ERROR_SUCCESS : GetLastError();
}

NarrowString Win32Security::DescribeError(DWORD error) { return ::DescribeError(error); }
