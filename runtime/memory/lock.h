// The runtime's one lock: a system critical section that spins a while before it sleeps where the
// system can be told to. The memory manager's locks are taken only once engaged, since it runs
// without them until a second thread can exist; TLock builds on the same set-up.
#pragma once

#include <stdint.h>

#include "winposix/win32.h"

// The spin count of the memory manager's locks.
constexpr uint32_t kMemSpinCount = 5000;

// Initialises the section; a spin count of 0 leaves the system's default and never looks up the
// setter (Windows 95 has none). True when the count was applied.
bool InitLock(CRITICAL_SECTION* lock, uint32_t spinCount);

inline void TakeLock(CRITICAL_SECTION* lock, bool engaged) {
  if (engaged) EnterCriticalSection(lock);
}
inline void LeaveLock(CRITICAL_SECTION* lock, bool engaged) {
  if (engaged) LeaveCriticalSection(lock);
}
