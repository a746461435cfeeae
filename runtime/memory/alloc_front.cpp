// The front of the memory manager: it reads the mode once at start-up and hands every request
// to that mode. Before InitMem and after DoneMem it runs in page mode, which needs no record.
#include "runtime/memory/manager.h"

#include "runtime/text/memory_ops.h"

MemManager MemState;

namespace {

char pageModeMarker; // page mode's record: only its address is used

bool InHeapMode() {
  return MemState.Initialised && MemState.MemMode == kHeapMode;
}

HeapControl* HeapRecord() {
  return static_cast<HeapControl*>(MemState.Control);
}

} // namespace

void InitMem() {
  if (MemState.Initialised) return;
  MemState.MemMode = ReadMemMode();
  if (MemState.Control == nullptr) {
    if (MemState.MemMode == kHeapMode)
      MemState.Control = HeapModeCreate();
    else
      MemState.Control = &pageModeMarker;
  }
  // Also without a record: heap mode then gives no blocks until DoneMem.
  MemState.Initialised = true;
}

void DoneMem() {
  const bool heapMode = InHeapMode();
  MemState.Initialised = false;
  if (MemState.Control != nullptr && heapMode) HeapModeDestroy(HeapRecord());
  MemState.Control = nullptr;
}

void EnableMemLocks() {
  if (InHeapMode() && MemState.Control != nullptr) HeapRecord()->Locking = true;
}

// The pool plugs in here and in InitMem: until it exists, every mode but the heap runs as page
// mode.
void* AllocMem(uint32_t size) {
  if (InHeapMode()) return HeapModeAlloc(HeapRecord(), size);
  return PageAlloc(size);
}

void FreeMem(void* p) {
  if (p == nullptr) return;
  if (InHeapMode())
    HeapModeFree(HeapRecord(), p);
  else
    PageFree(p);
}

void GetMemStats(MemStats* stats) {
  if (InHeapMode())
    HeapModeStats(HeapRecord(), stats);
  else
    ZeroMem(stats, sizeof(*stats));
}
