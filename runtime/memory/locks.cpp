// The manager's locks are critical sections that spin a while before they sleep, where the
// system can be told to; Windows 95 cannot, so the setter is looked up by name.
#include "runtime/memory/manager.h"

namespace {

typedef DWORD(WINAPI* SpinCountSetter)(LPCRITICAL_SECTION, DWORD);

constexpr DWORD kSpinCount = 5000;

bool setterLookedUp;
SpinCountSetter setSpinCount;

} // namespace

void InitLock(CRITICAL_SECTION* lock) {
  InitializeCriticalSection(lock);
  if (!setterLookedUp) {
    HMODULE kernel = GetModuleHandleA("KERNEL32.DLL");
    FARPROC setter =
        kernel != nullptr ? GetProcAddress(kernel, "SetCriticalSectionSpinCount") : nullptr;
    setSpinCount = reinterpret_cast<SpinCountSetter>(reinterpret_cast<void (*)()>(setter));
    setterLookedUp = true;
  }
  if (setSpinCount != nullptr) setSpinCount(lock, kSpinCount);
}
