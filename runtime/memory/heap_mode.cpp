// Process-heap mode: blocks come from the process's default heap, which serialises itself; the
// lock guards only the counters, and only once a second thread may exist.
#include "runtime/memory/manager.h"

#include "runtime/text/memory_ops.h"

HeapControl* HeapModeCreate() {
  const uint32_t roundUp = SystemPageSize() - 1;
  const uint32_t bytes = (sizeof(HeapControl) + roundUp) & ~roundUp;
  auto* control = static_cast<HeapControl*>(
      VirtualAlloc(nullptr, bytes, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
  if (control == nullptr) return nullptr;
  ZeroMem(control, bytes);
  control->RecordSize = bytes;
  InitLock(&control->Lock, kMemSpinCount);
  return control;
}

void* HeapModeAlloc(HeapControl* control, uint32_t n) {
  if (control == nullptr) return nullptr;
  if (n == 0) n = 1;
  void* block = HeapAlloc(GetProcessHeap(), 0, n);
  if (block == nullptr) return nullptr;
  TakeLock(&control->Lock, control->Locking);
  uint32_t* counters = control->Stats.Counter;
  ++counters[kMemAllocations];
  RaiseMemCounter(counters, kMemBlocksInUse, kMemBlocksPeak, 1);
  RaiseMemCounter(counters, kMemBytesInUse, kMemBytesPeak, n);
  LeaveLock(&control->Lock, control->Locking);
  return block;
}

// A block the heap does not know (its size query fails) is left alone.
void HeapModeFree(HeapControl* control, void* p) {
  if (control == nullptr || p == nullptr) return;
  HANDLE heap = GetProcessHeap();
  const SIZE_T size = HeapSize(heap, 0, p);
  if (size == static_cast<SIZE_T>(-1)) return;
  TakeLock(&control->Lock, control->Locking);
  control->Stats.Counter[kMemBlocksInUse] -= 1;
  control->Stats.Counter[kMemBytesInUse] -= static_cast<uint32_t>(size);
  LeaveLock(&control->Lock, control->Locking);
  HeapFree(heap, 0, p);
}

void HeapModeStats(HeapControl* control, MemStats* stats) {
  if (control == nullptr) {
    ZeroMem(stats, sizeof(*stats));
    return;
  }
  TakeLock(&control->Lock, control->Locking);
  *stats = control->Stats;
  LeaveLock(&control->Lock, control->Locking);
}

// Blocks still on the heap are abandoned there.
void HeapModeDestroy(HeapControl* control) {
  DeleteCriticalSection(&control->Lock);
  VirtualFree(control, 0, MEM_RELEASE);
}
