// The front of the memory manager: it reads the mode once at start-up and hands every request
// to that mode. Before InitMem and after DoneMem it runs in page mode, which needs no record.
#include "runtime/memory/manager.h"
#include "runtime/memory/pool.h"

#include "runtime/text/memory_ops.h"

MemManager MemState;
MemSettings MemConfig;

namespace {

char pageModeMarker; // page mode's record: only its address is used

bool InHeapMode() {
  return MemState.Initialised && MemState.MemMode == kHeapMode;
}

// Every mode number but those of the page and heap modes selects the pool.
bool InPoolMode() {
  return MemState.Initialised && MemState.MemMode != kPageMode && MemState.MemMode != kHeapMode;
}

HeapControl* HeapRecord() {
  return static_cast<HeapControl*>(MemState.Control);
}

PoolControl* PoolRecord() {
  return static_cast<PoolControl*>(MemState.Control);
}

} // namespace

void InitMem() {
  if (MemState.Initialised) return;
  MemState.MemMode = ReadMemMode();
  if (MemState.Control == nullptr) {
    if (MemState.MemMode == kHeapMode)
      MemState.Control = HeapModeCreate();
    else if (MemState.MemMode == kPageMode)
      MemState.Control = &pageModeMarker;
    else
      MemState.Control = PoolCreate();
  }
  // Also without a record: heap and pool mode then give no blocks until DoneMem.
  MemState.Initialised = true;
}

void DoneMem() {
  const bool heapMode = InHeapMode();
  const bool poolMode = InPoolMode();
  MemState.Initialised = false;
  if (MemState.Control != nullptr && heapMode) HeapModeDestroy(HeapRecord());
  if (MemState.Control != nullptr && poolMode) PoolDone(PoolRecord());
  MemState.Control = nullptr;
}

// Written only while still off: running threads read the flag.
void EnableMemLocks() {
  if (MemState.Control == nullptr) return;
  if (InHeapMode() && !HeapRecord()->Locking) HeapRecord()->Locking = true;
  if (InPoolMode() && !PoolRecord()->Locking) PoolRecord()->Locking = true;
}

void* AllocMem(uint32_t size) {
  if (InPoolMode()) return PoolAlloc(PoolRecord(), size);
  if (InHeapMode()) return HeapModeAlloc(HeapRecord(), size);
  return PageAlloc(size);
}

void FreeMem(void* p) {
  if (p == nullptr) return;
  if (InPoolMode())
    PoolFree(PoolRecord(), p);
  else if (InHeapMode())
    HeapModeFree(HeapRecord(), p);
  else
    PageFree(p);
}

void GetMemStats(MemStats* stats) {
  if (InPoolMode() && MemState.Control != nullptr)
    PoolSnapshot(PoolRecord(), stats);
  else if (InHeapMode())
    HeapModeStats(HeapRecord(), stats);
  else
    ZeroMem(stats, sizeof(*stats));
}

void* TMemObject::operator new(size_t size) noexcept {
  return AllocMem(static_cast<uint32_t>(size));
}

void TMemObject::operator delete(void* p) noexcept {
  FreeMem(p);
}
