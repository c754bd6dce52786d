#pragma once

// The platform calls of the host's service objects. On Windows they are
// Win32's own. Elsewhere only their declarations stand here, with the
// records and constants the objects use, so that a test can build the same
// objects natively against a double of the SCM and the process calls.

#include "ServiceControl.h"

#ifndef _WIN32
#include <cstddef>
#include <cstdint>

#define WINAPI
#define INFINITE 0xFFFFFFFFu
#define SRWLOCK_INIT                                                                                         \
  { nullptr }

using BOOL = int;
using HANDLE = void *;
using SIZE_T = size_t;
using DWORD_PTR = uintptr_t;
using ULONG_PTR = uintptr_t;
using ULONGLONG = uint64_t;
using LPWSTR = WideUnit *;
using LPCWSTR = const WideUnit *;
using SERVICE_STATUS_HANDLE = void *;
using LPHANDLER_FUNCTION = void (*)(DWORD);

constexpr BOOL TRUE = 1;
constexpr BOOL FALSE = 0;
constexpr DWORD CREATE_SUSPENDED = 0x4;
constexpr DWORD CREATE_NO_WINDOW = 0x08000000;
constexpr DWORD EXTENDED_STARTUPINFO_PRESENT = 0x80000;
constexpr DWORD_PTR PROC_THREAD_ATTRIBUTE_JOB_LIST = 0x2000D;
constexpr DWORD SYNCHRONIZE = 0x100000;
constexpr DWORD PROCESS_QUERY_INFORMATION = 0x400;
constexpr DWORD WAIT_OBJECT_0 = 0;
constexpr DWORD WAIT_TIMEOUT = 258;
constexpr DWORD MAXIMUM_WAIT_OBJECTS = 64;
constexpr DWORD ERROR_NOT_SUPPORTED = 50;
constexpr DWORD JOB_OBJECT_LIMIT_BREAKAWAY_OK = 0x800;
constexpr DWORD JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE = 0x2000;

struct SRWLOCK {
  void *Ptr;
};

struct STARTUPINFOW {
  DWORD cb;
  LPWSTR lpReserved, lpDesktop, lpTitle;
  DWORD dwX, dwY, dwXSize, dwYSize, dwXCountChars, dwYCountChars, dwFillAttribute, dwFlags;
  uint16_t wShowWindow, cbReserved2;
  uint8_t *lpReserved2;
  HANDLE hStdInput, hStdOutput, hStdError;
};

// Opaque to the host: only the platform reads it.
struct PROC_THREAD_ATTRIBUTE_LIST;
using LPPROC_THREAD_ATTRIBUTE_LIST = PROC_THREAD_ATTRIBUTE_LIST *;

struct STARTUPINFOEXW {
  STARTUPINFOW StartupInfo;
  LPPROC_THREAD_ATTRIBUTE_LIST lpAttributeList;
};

struct PROCESS_INFORMATION {
  HANDLE hProcess;
  HANDLE hThread;
  DWORD dwProcessId;
  DWORD dwThreadId;
};

struct JOBOBJECT_BASIC_LIMIT_INFORMATION {
  int64_t PerProcessUserTimeLimit, PerJobUserTimeLimit;
  DWORD LimitFlags;
  size_t MinimumWorkingSetSize, MaximumWorkingSetSize;
  DWORD ActiveProcessLimit;
  uintptr_t Affinity;
  DWORD PriorityClass, SchedulingClass;
};

struct JOBOBJECT_EXTENDED_LIMIT_INFORMATION {
  JOBOBJECT_BASIC_LIMIT_INFORMATION BasicLimitInformation;
  uint64_t IoInfo[6];
  size_t ProcessMemoryLimit, JobMemoryLimit, PeakProcessMemoryUsed, PeakJobMemoryUsed;
};

struct JOBOBJECT_BASIC_ACCOUNTING_INFORMATION {
  int64_t TotalUserTime, TotalKernelTime, ThisPeriodTotalUserTime, ThisPeriodTotalKernelTime;
  DWORD TotalPageFaultCount, TotalProcesses, ActiveProcesses, TotalTerminatedProcesses;
};

enum JOBOBJECTINFOCLASS {
  JobObjectBasicAccountingInformation = 1,
  JobObjectBasicProcessIdList = 3,
  JobObjectExtendedLimitInformation = 9
};

SERVICE_STATUS_HANDLE RegisterServiceCtrlHandlerW(LPCWSTR name, LPHANDLER_FUNCTION handler);
BOOL SetServiceStatus(SERVICE_STATUS_HANDLE handle, SERVICE_STATUS *status);
BOOL InitializeProcThreadAttributeList(LPPROC_THREAD_ATTRIBUTE_LIST list, DWORD count, DWORD flags,
                                       SIZE_T *size);
BOOL UpdateProcThreadAttribute(LPPROC_THREAD_ATTRIBUTE_LIST list, DWORD flags, DWORD_PTR attribute,
                               void *value, SIZE_T size, void *previous, SIZE_T *returned);
void DeleteProcThreadAttributeList(LPPROC_THREAD_ATTRIBUTE_LIST list);
BOOL CreateProcessW(LPCWSTR application, LPWSTR commandLine, void *processAttributes, void *threadAttributes,
                    BOOL inheritHandles, DWORD flags, void *environment, LPCWSTR directory,
                    STARTUPINFOW *startup, PROCESS_INFORMATION *information);
DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds);
DWORD WaitForMultipleObjects(DWORD count, const HANDLE *handles, BOOL waitAll, DWORD milliseconds);
HANDLE OpenProcess(DWORD access, BOOL inherit, DWORD processId);
BOOL IsProcessInJob(HANDLE process, HANDLE job, BOOL *result);
ULONGLONG GetTickCount64();
BOOL GetExitCodeProcess(HANDLE process, DWORD *code);
BOOL TerminateProcess(HANDLE process, unsigned exitCode);
DWORD ResumeThread(HANDLE thread);
BOOL CloseHandle(HANDLE handle);
HANDLE CreateJobObjectW(void *attributes, LPCWSTR name);
BOOL SetInformationJobObject(HANDLE job, JOBOBJECTINFOCLASS kind, void *information, DWORD size);
BOOL AssignProcessToJobObject(HANDLE job, HANDLE process);
BOOL TerminateJobObject(HANDLE job, unsigned exitCode);
BOOL QueryInformationJobObject(HANDLE job, JOBOBJECTINFOCLASS kind, void *information, DWORD size,
                               DWORD *returned);
DWORD GetLastError();
void SetLastError(DWORD error);
void AcquireSRWLockExclusive(SRWLOCK *lock);
void ReleaseSRWLockExclusive(SRWLOCK *lock);
#endif
