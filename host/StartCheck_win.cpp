#include "StartCheck.h"

#include "SecurityPlatform.h"

// At boot no domain controller may be waited on: principals are named only
// where the machine itself can.
Verdict CheckStart(const WideString &directory, bool (*stopping)(), NarrowString &refusal) {
  Win32Security security(Naming::ThisMachineOnly, stopping);
  return CheckInstallation(security, directory, refusal);
}
