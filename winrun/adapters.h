// Adapters for the functions whose arguments do not convert slot by slot: records with
// pointer-sized fields, 32-bit callbacks, pointer-sized results written through a pointer,
// and the variadic wsprintfA.
#pragma once

#include <stdint.h>

namespace winrun::adapters {

#define WINRUN_ADAPTER(function) uint64_t function(const uint32_t* args)
WINRUN_ADAPTER(GetProcAddress);
WINRUN_ADAPTER(CreateProcessA);
WINRUN_ADAPTER(SetConsoleCtrlHandler);
WINRUN_ADAPTER(GetProcessAffinityMask);
WINRUN_ADAPTER(GetSystemInfo);
WINRUN_ADAPTER(InitializeCriticalSection);
WINRUN_ADAPTER(InitializeCriticalSectionAndSpinCount);
WINRUN_ADAPTER(SetCriticalSectionSpinCount);
WINRUN_ADAPTER(EnterCriticalSection);
WINRUN_ADAPTER(LeaveCriticalSection);
WINRUN_ADAPTER(DeleteCriticalSection);
WINRUN_ADAPTER(CreateThread);
WINRUN_ADAPTER(NtCurrentTeb);
WINRUN_ADAPTER(EnumDisplayMonitors);
WINRUN_ADAPTER(wsprintfA);
WINRUN_ADAPTER(RegOpenKeyExA);
WINRUN_ADAPTER(Process32First);
WINRUN_ADAPTER(Process32Next);
WINRUN_ADAPTER(EnumProcessModules);
WINRUN_ADAPTER(GetModuleFileNameExA);
WINRUN_ADAPTER(NtQueryInformationProcess);
WINRUN_ADAPTER(NtQuerySystemInformation);
#undef WINRUN_ADAPTER

} // namespace winrun::adapters
