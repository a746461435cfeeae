#include "runtime/startup/affinity_option.h"

#include "runtime/startup/options.h"
#include "runtime/startup/runtime_state.h"
#include "runtime/text/numbers.h"
#include "winposix/win32.h"

namespace {

typedef BOOL(WINAPI* SetProcessAffinityMaskFn)(HANDLE, DWORD_PTR);

// Windows 95 has no such function: looked up once by name, the answer kept.
SetProcessAffinityMaskFn FindSetProcessAffinityMask() {
  static bool looked;
  static SetProcessAffinityMaskFn function;
  if (!looked) {
    looked = true;
    HMODULE kernel = GetModuleHandleA("kernel32.dll");
    if (kernel != nullptr)
      function = reinterpret_cast<SetProcessAffinityMaskFn>(
          reinterpret_cast<void (*)()>(GetProcAddress(kernel, "SetProcessAffinityMask")));
  }
  return function;
}

} // namespace

void ApplyAffinityOption() {
  const char* value;
  if (!HasOption(kOptProcessAffinity, &value) || value == nullptr || *value == 0) return;
  bool complete;
  const auto mask = static_cast<uint32_t>(ParseUnsigned(value, &complete));
  if (!complete || OsVersion.Platform != kPlatformNT) return;
  SetProcessAffinityMaskFn setMask = FindSetProcessAffinityMask();
  if (setMask != nullptr) setMask(GetCurrentProcess(), mask);
}
