#pragma once

// Windows only: the permission check's calls into Win32, shared by the
// installer and the host.

#include <windows.h>

#include <lm.h>

#include <list>

#include "PermissionCheck.h"

// Whom the texts name. The installer asks whoever knows a name, a domain
// controller too; the host, at every start and at boot, never waits on
// one: it names well-known principals and the machine's own accounts, and
// gives any other as its SID.
enum class Naming { AskAnyone, ThisMachineOnly };

// The calls that CheckInstallation() lists. netapi32 and the machine's
// account domain are taken when a principal first needs them.
class Win32Security {
public:
  explicit Win32Security(Naming naming) : naming_(naming) {}
  // Stopping() asks stopping(), which must not wait.
  Win32Security(Naming naming, bool (*stopping)()) : naming_(naming), stopping_(stopping) {}

  DWORD FileAttributes(const WideString &path, DWORD &attributes);
  WideString FullPath(const WideString &path);
  DWORD ReadSecurity(const WideString &path, Side side, ObjectSecurity &security, FileId *id);
  DWORD FinalPath(const WideString &path, WideString &final);
  DWORD ListDirectory(const WideString &directory, std::list<DirectoryEntry> &entries);
  DWORD LookupAccount(const Sid &sid, WideString &domain, WideString &name);
  DWORD IsAdministratorsMember(const Sid &sid, bool &member);
  UINT DriveType(const WideString &root);
  DWORD VolumeName(const WideString &root);
  NarrowString DescribeError(DWORD error);
  bool Stopping() { return stopping_ != nullptr && stopping_(); }

private:
  DWORD Load();

  Naming naming_;
  bool (*stopping_)() = nullptr;
  decltype(NetLocalGroupGetMembers) *getMembers_ = nullptr;
  decltype(NetUserGetLocalGroups) *getUserGroups_ = nullptr;
  decltype(NetApiBufferFree) *free_ = nullptr;
  WideString groupName_; // Administrators, translated on most machines
  Sid domain_;           // the machine's own account domain
};
