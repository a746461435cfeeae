#include "runtime/memory/lock.h"

#include "runtime/text/system_functions.h"

bool InitLock(CRITICAL_SECTION* lock, uint32_t spinCount) {
  InitializeCriticalSection(lock);
  if (spinCount == 0) return false;
  const auto setSpinCount =
      FindSystemFunction<SetSpinCountFn>(SystemFunction::SetCriticalSectionSpinCount);
  if (setSpinCount == nullptr) return false;
  setSpinCount(lock, spinCount);
  return true;
}
