#pragma once

// Win32's own header on Windows. Elsewhere the types, records and constants
// that the portable logic and the host's service objects use stand in for
// it, each declared once here, so that they build and are tested natively.

#ifdef _WIN32
#include <windows.h>
#else
#include <cstddef>
#include <cstdint>

#include "String.h"

#define WINAPI
#define INFINITE 0xFFFFFFFFu
#define SRWLOCK_INIT                                                                                         \
  { nullptr }

using BOOL = int;
using BOOLEAN = uint8_t;
using UINT = unsigned;
using DWORD = uint32_t;
using HANDLE = void *;
using LPVOID = void *;
using PVOID = void *;
using SIZE_T = size_t;
using DWORD_PTR = uintptr_t;
using ULONG_PTR = uintptr_t;
using ULONGLONG = uint64_t;
using PBOOL = BOOL *;
using LPDWORD = DWORD *;
using PSIZE_T = SIZE_T *;
using LPWSTR = WideUnit *;
using LPCWSTR = const WideUnit *;
using SC_HANDLE = void *;
using SERVICE_STATUS_HANDLE = void *;
using LPHANDLER_FUNCTION = void (*)(DWORD);

// Opaque: only the platform reads them.
struct SECURITY_ATTRIBUTES;
using LPSECURITY_ATTRIBUTES = SECURITY_ATTRIBUTES *;
struct PROC_THREAD_ATTRIBUTE_LIST;
using LPPROC_THREAD_ATTRIBUTE_LIST = PROC_THREAD_ATTRIBUTE_LIST *;

#define INVALID_HANDLE_VALUE (reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1)))

constexpr BOOL TRUE = 1;
constexpr BOOL FALSE = 0;

constexpr DWORD ERROR_SUCCESS = 0;
constexpr DWORD ERROR_FILE_NOT_FOUND = 2;
constexpr DWORD ERROR_PATH_NOT_FOUND = 3;
constexpr DWORD ERROR_ACCESS_DENIED = 5;
constexpr DWORD ERROR_NOT_SUPPORTED = 50;
constexpr DWORD ERROR_INVALID_NAME = 123;
constexpr DWORD ERROR_SERVICE_DOES_NOT_EXIST = 1060;
constexpr DWORD ERROR_SERVICE_SPECIFIC_ERROR = 1066;
constexpr DWORD ERROR_SERVICE_MARKED_FOR_DELETE = 1072;
constexpr DWORD ERROR_SERVICE_EXISTS = 1073;
constexpr DWORD ERROR_DUPLICATE_SERVICE_NAME = 1078;

// The service manager.
constexpr DWORD SC_MANAGER_ALL_ACCESS = 0xF003F;
constexpr DWORD SERVICE_ALL_ACCESS = 0xF01FF;
constexpr DWORD SERVICE_WIN32_OWN_PROCESS = 0x10;
constexpr DWORD SERVICE_AUTO_START = 2;
constexpr DWORD SERVICE_ERROR_NORMAL = 1;
constexpr DWORD SERVICE_STOPPED = 1;
constexpr DWORD SERVICE_START_PENDING = 2;
constexpr DWORD SERVICE_STOP_PENDING = 3;
constexpr DWORD SERVICE_RUNNING = 4;
constexpr DWORD SERVICE_CONTINUE_PENDING = 5;
constexpr DWORD SERVICE_PAUSE_PENDING = 6;
constexpr DWORD SERVICE_PAUSED = 7;
constexpr DWORD SERVICE_CONTROL_STOP = 1;
constexpr DWORD SERVICE_CONTROL_INTERROGATE = 4;
constexpr DWORD SERVICE_CONTROL_SHUTDOWN = 5;
constexpr DWORD SERVICE_ACCEPT_STOP = 1;
constexpr DWORD SERVICE_ACCEPT_SHUTDOWN = 4;
constexpr DWORD SC_STATUS_PROCESS_INFO = 0;

struct SERVICE_STATUS {
  DWORD dwServiceType;
  DWORD dwCurrentState;
  DWORD dwControlsAccepted;
  DWORD dwWin32ExitCode;
  DWORD dwServiceSpecificExitCode;
  DWORD dwCheckPoint;
  DWORD dwWaitHint;
};

struct SERVICE_STATUS_PROCESS {
  DWORD dwServiceType;
  DWORD dwCurrentState;
  DWORD dwControlsAccepted;
  DWORD dwWin32ExitCode;
  DWORD dwServiceSpecificExitCode;
  DWORD dwCheckPoint;
  DWORD dwWaitHint;
  DWORD dwProcessId;
  DWORD dwServiceFlags;
};

// Files and their security.
constexpr UINT DRIVE_FIXED = 3;
constexpr UINT DRIVE_REMOTE = 4;
constexpr DWORD INVALID_FILE_ATTRIBUTES = 0xFFFFFFFF;
constexpr DWORD FILE_ATTRIBUTE_DIRECTORY = 0x10;
constexpr DWORD FILE_ATTRIBUTE_REPARSE_POINT = 0x400;
constexpr uint8_t ACCESS_ALLOWED_ACE_TYPE = 0;
constexpr uint8_t ACCESS_ALLOWED_OBJECT_ACE_TYPE = 5;
constexpr uint8_t ACCESS_ALLOWED_CALLBACK_ACE_TYPE = 9;
constexpr uint8_t ACCESS_ALLOWED_CALLBACK_OBJECT_ACE_TYPE = 11;
constexpr uint8_t OBJECT_INHERIT_ACE = 0x1;
constexpr uint8_t CONTAINER_INHERIT_ACE = 0x2;
constexpr uint8_t INHERIT_ONLY_ACE = 0x8;
constexpr DWORD ACE_OBJECT_TYPE_PRESENT = 0x1;
constexpr DWORD ACE_INHERITED_OBJECT_TYPE_PRESENT = 0x2;
constexpr DWORD FILE_WRITE_DATA = 0x2;
constexpr DWORD FILE_ADD_FILE = 0x2;
constexpr DWORD FILE_APPEND_DATA = 0x4;
constexpr DWORD FILE_ADD_SUBDIRECTORY = 0x4;
constexpr DWORD FILE_DELETE_CHILD = 0x40;
constexpr DWORD FILE_WRITE_ATTRIBUTES = 0x100;
constexpr DWORD DELETE = 0x10000;
constexpr DWORD WRITE_DAC = 0x40000;
constexpr DWORD WRITE_OWNER = 0x80000;
constexpr DWORD GENERIC_ALL = 0x10000000;
constexpr DWORD GENERIC_WRITE = 0x40000000;

// Processes, jobs and waits.
constexpr DWORD CREATE_SUSPENDED = 0x4;
constexpr DWORD CREATE_NO_WINDOW = 0x08000000;
constexpr DWORD EXTENDED_STARTUPINFO_PRESENT = 0x80000;
constexpr DWORD_PTR PROC_THREAD_ATTRIBUTE_JOB_LIST = 0x2000D;
constexpr DWORD SYNCHRONIZE = 0x100000;
constexpr DWORD PROCESS_QUERY_INFORMATION = 0x400;
constexpr DWORD WAIT_OBJECT_0 = 0;
constexpr DWORD WAIT_TIMEOUT = 258;
constexpr DWORD MAXIMUM_WAIT_OBJECTS = 64;
constexpr DWORD JOB_OBJECT_LIMIT_BREAKAWAY_OK = 0x800;
constexpr DWORD JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE = 0x2000;

struct SRWLOCK {
  void *Ptr;
};
using PSRWLOCK = SRWLOCK *;

struct STARTUPINFOW {
  DWORD cb;
  LPWSTR lpReserved, lpDesktop, lpTitle;
  DWORD dwX, dwY, dwXSize, dwYSize, dwXCountChars, dwYCountChars, dwFillAttribute, dwFlags;
  uint16_t wShowWindow, cbReserved2;
  uint8_t *lpReserved2;
  HANDLE hStdInput, hStdOutput, hStdError;
};
using LPSTARTUPINFOW = STARTUPINFOW *;

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
using LPPROCESS_INFORMATION = PROCESS_INFORMATION *;

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
#endif
