// The manager's locks are critical sections that spin a while before they sleep, where the
// system can be told to; Windows 95 cannot, so the setter is looked up by name.
#include "runtime/memory/manager.h"
#include "runtime/platform/system_functions.h"

namespace {

typedef DWORD(WINAPI* SpinCountSetter)(LPCRITICAL_SECTION, DWORD);

constexpr DWORD kSpinCount = 5000;

} // namespace

void InitLock(CRITICAL_SECTION* lock) {
  InitializeCriticalSection(lock);
  const auto setSpinCount =
      FindSystemFunction<SpinCountSetter>(SystemFunction::SetCriticalSectionSpinCount);
  if (setSpinCount != nullptr) setSpinCount(lock, kSpinCount);
}
