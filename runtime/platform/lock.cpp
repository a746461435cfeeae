#include "runtime/platform/lock.h"

#include "runtime/memory/lock.h"
#include "runtime/memory/memory.h"
#include "runtime/text/memory_ops.h"
#include "winposix/win32.h"

struct TLockSection {
  CRITICAL_SECTION Section;
  uint32_t SpinCount;
};

TLock::TLock(uint16_t tag, uint32_t spinCount) : Tag(tag) {
  Section = static_cast<TLockSection*>(AllocMem(sizeof(TLockSection)));
  if (Section == nullptr) return;
  ZeroMem(Section, sizeof(TLockSection));
  if (InitLock(&Section->Section, spinCount)) Section->SpinCount = spinCount;
}

TLock::~TLock() {
  if (Section == nullptr) return;
  DeleteCriticalSection(&Section->Section);
  FreeMem(Section);
  Section = nullptr;
}

void TLock::Enter() {
  if (Section != nullptr) EnterCriticalSection(&Section->Section);
}

void TLock::Leave() {
  if (Section != nullptr) LeaveCriticalSection(&Section->Section);
}

uint32_t TLock::AppliedSpinCount() const {
  return Section != nullptr ? Section->SpinCount : 0;
}
