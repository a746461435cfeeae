#include "runtime/platform/lock.h"

#include "runtime/memory/memory.h"
#include "runtime/text/memory_ops.h"
#include "winposix/win32.h"
#include "runtime/platform/system_functions.h"

struct TLockSection {
  CRITICAL_SECTION Section;
  uint32_t SpinCount;
};

namespace {

typedef DWORD(WINAPI* SpinCountSetter)(LPCRITICAL_SECTION, DWORD);

} // namespace

TLock::TLock(uint16_t tag, uint32_t spinCount) : Tag(tag) {
  Section = static_cast<TLockSection*>(AllocMem(sizeof(TLockSection)));
  if (Section == nullptr) return;
  ZeroMem(Section, sizeof(TLockSection));
  InitializeCriticalSection(&Section->Section);
  if (spinCount == 0) return;
  // Windows 95 has no spin counts.
  const auto setter =
      FindSystemFunction<SpinCountSetter>(SystemFunction::SetCriticalSectionSpinCount);
  if (setter == nullptr) return;
  setter(&Section->Section, spinCount);
  Section->SpinCount = spinCount;
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

void* TLock::operator new(size_t size) noexcept {
  return AllocMem(static_cast<uint32_t>(size));
}

void TLock::operator delete(void* p) noexcept {
  FreeMem(p);
}
