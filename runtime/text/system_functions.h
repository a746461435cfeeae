// The system functions a program finds by name: newer than Windows 95 or NT 4.0, or missing
// from one of them. Each is looked up on first use and kept, a miss as well; the names stay
// scrambled in the image.
#pragma once

#include <stdint.h>

#include "winposix/win32.h"

enum class SystemFunction : uint8_t {
  GetVersionExA,
  GetProcessAffinityMask,
  SetProcessAffinityMask,
  SetThreadAffinityMask,
  GetProcessTimes,
  SetCriticalSectionSpinCount,
  CreateToolhelp32Snapshot,
  Process32First,
  Process32Next,
  ProcessIdToSessionId,
  OpenProcess,
  EnumDisplayMonitors,
  GetMonitorInfoA,
  NtCurrentTeb,
  NtQueryInformationProcess,
  NtQuerySystemInformation,
  GetCurrentThreadStackLimits,
  Count
};

// The types of those that more than one file calls.
typedef BOOL(WINAPI* GetProcessAffinityMaskFn)(HANDLE, DWORD_PTR*, DWORD_PTR*);
typedef BOOL(WINAPI* SetProcessAffinityMaskFn)(HANDLE, DWORD_PTR);
typedef DWORD_PTR(WINAPI* SetThreadAffinityMaskFn)(HANDLE, DWORD_PTR);
typedef DWORD(WINAPI* SetSpinCountFn)(LPCRITICAL_SECTION, DWORD);

// The function's address, or null where the system lacks it.
void (*SystemFunctionAddress(SystemFunction which))();

template <typename Function> Function FindSystemFunction(SystemFunction which) {
  return reinterpret_cast<Function>(SystemFunctionAddress(which));
}

// GetVersionExA's record; false where the function is missing or fails.
bool QueryVersionRecord(OSVERSIONINFOA* info);

// The next use of each function looks it up again: for tests that change what the system offers.
void ForgetSystemFunctions();
