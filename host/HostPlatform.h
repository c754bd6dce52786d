#pragma once

// The platform calls of the host's service objects. On Windows they are
// Win32's own. Elsewhere only their declarations stand here, with Win32.h's
// records and constants, so that a test can build the same objects natively
// against a double of the SCM and the process calls.

#include "ScopedHandle.h"
#include "ServiceControl.h"

#ifndef _WIN32
SERVICE_STATUS_HANDLE RegisterServiceCtrlHandlerW(LPCWSTR name, LPHANDLER_FUNCTION handler);
BOOL SetServiceStatus(SERVICE_STATUS_HANDLE handle, SERVICE_STATUS *status);
BOOL InitializeProcThreadAttributeList(LPPROC_THREAD_ATTRIBUTE_LIST list, DWORD count, DWORD flags,
                                       PSIZE_T size);
BOOL UpdateProcThreadAttribute(LPPROC_THREAD_ATTRIBUTE_LIST list, DWORD flags, DWORD_PTR attribute,
                               PVOID value, SIZE_T size, PVOID previous, PSIZE_T returned);
void DeleteProcThreadAttributeList(LPPROC_THREAD_ATTRIBUTE_LIST list);
BOOL CreateProcessW(LPCWSTR application, LPWSTR commandLine, LPSECURITY_ATTRIBUTES processAttributes,
                    LPSECURITY_ATTRIBUTES threadAttributes, BOOL inheritHandles, DWORD flags,
                    LPVOID environment, LPCWSTR directory, LPSTARTUPINFOW startup,
                    LPPROCESS_INFORMATION information);
DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds);
DWORD WaitForMultipleObjects(DWORD count, const HANDLE *handles, BOOL waitAll, DWORD milliseconds);
HANDLE OpenProcess(DWORD access, BOOL inherit, DWORD processId);
BOOL IsProcessInJob(HANDLE process, HANDLE job, PBOOL result);
ULONGLONG GetTickCount64();
BOOL GetExitCodeProcess(HANDLE process, LPDWORD code);
BOOL TerminateProcess(HANDLE process, UINT exitCode);
DWORD ResumeThread(HANDLE thread);
HANDLE CreateJobObjectW(LPSECURITY_ATTRIBUTES attributes, LPCWSTR name);
BOOL SetInformationJobObject(HANDLE job, JOBOBJECTINFOCLASS kind, LPVOID information, DWORD size);
BOOL AssignProcessToJobObject(HANDLE job, HANDLE process);
BOOL TerminateJobObject(HANDLE job, UINT exitCode);
BOOL QueryInformationJobObject(HANDLE job, JOBOBJECTINFOCLASS kind, LPVOID information, DWORD size,
                               LPDWORD returned);
void AcquireSRWLockExclusive(PSRWLOCK lock);
void ReleaseSRWLockExclusive(PSRWLOCK lock);
#endif
