#include "runtime/text/system_functions.h"

#include "runtime/text/memory_ops.h"
#include "runtime/text/scramble.h"
#include "runtime/text/strings.h"
#include "winposix/win32.h"

namespace {

constexpr auto kKernel = Scramble("kernel32.dll");
constexpr auto kUser = Scramble("user32.dll");
constexpr auto kNative = Scramble("ntdll.dll");

#define NAME(function) constexpr auto k##function = Scramble(#function)
NAME(GetVersionExA);
NAME(GetProcessAffinityMask);
NAME(SetProcessAffinityMask);
NAME(SetThreadAffinityMask);
NAME(GetProcessTimes);
NAME(SetCriticalSectionSpinCount);
NAME(CreateToolhelp32Snapshot);
NAME(Process32First);
NAME(Process32Next);
NAME(ProcessIdToSessionId);
NAME(OpenProcess);
NAME(EnumDisplayMonitors);
NAME(GetMonitorInfoA);
NAME(NtCurrentTeb);
NAME(NtQueryInformationProcess);
NAME(NtQuerySystemInformation);
NAME(GetCurrentThreadStackLimits);
#undef NAME

struct Entry {
  const char* module;
  const char* name;
};

// In the order of SystemFunction.
const Entry kEntries[] = {
    {kKernel.bytes, kGetVersionExA.bytes},
    {kKernel.bytes, kGetProcessAffinityMask.bytes},
    {kKernel.bytes, kSetProcessAffinityMask.bytes},
    {kKernel.bytes, kSetThreadAffinityMask.bytes},
    {kKernel.bytes, kGetProcessTimes.bytes},
    {kKernel.bytes, kSetCriticalSectionSpinCount.bytes},
    {kKernel.bytes, kCreateToolhelp32Snapshot.bytes},
    {kKernel.bytes, kProcess32First.bytes},
    {kKernel.bytes, kProcess32Next.bytes},
    {kKernel.bytes, kProcessIdToSessionId.bytes},
    {kKernel.bytes, kOpenProcess.bytes},
    {kUser.bytes, kEnumDisplayMonitors.bytes},
    {kUser.bytes, kGetMonitorInfoA.bytes},
    {kNative.bytes, kNtCurrentTeb.bytes},
    {kNative.bytes, kNtQueryInformationProcess.bytes},
    {kNative.bytes, kNtQuerySystemInformation.bytes},
    {kKernel.bytes, kGetCurrentThreadStackLimits.bytes},
};
constexpr uint32_t kCount = static_cast<uint32_t>(SystemFunction::Count);
static_assert(sizeof kEntries / sizeof kEntries[0] == kCount, "one entry per function");

// Written once per function; a thread that looks at the same time finds the same answer.
void (*found[kCount])();
bool looked[kCount];

void Plain(const char* scrambled, char* text, uint32_t size) {
  StrCopyN(text, scrambled, size);
  UnscrambleName(text);
}

} // namespace

void (*SystemFunctionAddress(SystemFunction which))() {
  const auto index = static_cast<uint32_t>(which);
  if (index >= kCount) return nullptr;
  if (__atomic_load_n(&looked[index], __ATOMIC_ACQUIRE)) return found[index];
  char module[16], name[40];
  Plain(kEntries[index].module, module, sizeof module);
  Plain(kEntries[index].name, name, sizeof name);
  HMODULE handle = GetModuleHandleA(module);
  found[index] =
      handle != nullptr ? reinterpret_cast<void (*)()>(GetProcAddress(handle, name)) : nullptr;
  __atomic_store_n(&looked[index], true, __ATOMIC_RELEASE);
  return found[index];
}

void ForgetSystemFunctions() {
  for (bool& entry : looked) __atomic_store_n(&entry, false, __ATOMIC_RELEASE);
}

typedef BOOL(WINAPI* GetVersionExFn)(OSVERSIONINFOA*);

bool QueryVersionRecord(OSVERSIONINFOA* info) {
  const auto getVersionEx = FindSystemFunction<GetVersionExFn>(SystemFunction::GetVersionExA);
  if (getVersionEx == nullptr) return false;
  ZeroMem(info, sizeof *info);
  info->dwOSVersionInfoSize = sizeof *info;
  return getVersionEx(info) != FALSE;
}
