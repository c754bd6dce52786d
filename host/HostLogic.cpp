#include "HostLogic.h"

WideString DeriveBaseDirectory(const WideUnit *programPath) {
  WideString path(programPath);
  for (int32_t i = path.Length() - 1; i >= 0; --i)
    if (path.Data()[i] == WIDE('\\'))
      return path.Substring(0, i);
  return WideString();
}

WideString ComposeServerCommandLine(const WideString &baseDirectory) {
  return WideString(WIDE("\"")) + baseDirectory + WIDE("\\..\\jre64\\bin\\java.exe\" -Xrs -jar ") +
         WIDE("\"") + baseDirectory + WIDE("\\orvanel_app.jar\" ") + WIDE("\"") + baseDirectory +
         WIDE("\\orvanel_app.conf\"");
}

WideString RuntimePath(const WideString &baseDirectory) {
  int32_t cut = baseDirectory.Length();
  while (cut > 0 && baseDirectory.Data()[cut - 1] != WIDE('\\'))
    --cut;
  WideString parent = cut > 0 ? baseDirectory.Substring(0, cut - 1) : baseDirectory;
  return parent + WIDE("\\jre64\\bin\\java.exe");
}

void FillServiceStatus(SERVICE_STATUS &record, DWORD &nextCheckPoint, DWORD state, DWORD waitHint) {
  record.dwWaitHint = waitHint;
  // Nothing can be controlled while the service is still starting.
  record.dwControlsAccepted = state == SERVICE_START_PENDING ? 0 : ServiceAcceptedControls;
  record.dwCurrentState = state;
  if (state == SERVICE_RUNNING || state == SERVICE_STOPPED) {
    record.dwCheckPoint = 0;
  } else {
    record.dwCheckPoint = nextCheckPoint;
    ++nextCheckPoint;
  }
}

StoppedExitCodes DecideStoppedExitCodes(bool stopRequested, DWORD serverError, DWORD serverExitCode) {
  if (stopRequested)
    return {0, 0};
  if (serverError != 0)
    return {serverError, 0};
  if (serverExitCode != 0)
    return {ERROR_SERVICE_SPECIFIC_ERROR, serverExitCode};
  return {0, 0};
}
