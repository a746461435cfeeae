// Shared by the memory manager's own files: the state of the front and the operations of the
// page and process-heap modes.
#pragma once

#include "runtime/memory/lock.h"
#include "runtime/memory/memory.h"
#include "winposix/win32.h"

enum : int32_t { kPageMode = 1, kHeapMode = 2 };

struct MemManager {
  bool Initialised;
  int32_t MemMode;
  void* Control; // the mode's record; in page mode a marker that is never dereferenced
};
extern MemManager MemState;

// The mode number from the environment; 0 when neither variable holds one.
int32_t ReadMemMode();

// Page mode: every block is a reservation of its own with the requested size in front.
// 32-bit builds put the size word alone in front (4-byte alignment); 64-bit builds pad it to 16
// bytes so that objects made with new keep the alignment the compiler assumes there.
constexpr uint32_t kPageHeader = sizeof(void*) == 4 ? 4 : 16;
uint32_t SystemPageSize();
// The bytes to reserve for a request of n; 0 when that does not fit in 32 bits.
uint32_t PageReservation(uint32_t n);
void* PageAlloc(uint32_t n);
void PageFree(void* p);

// Process-heap mode. The record lives in committed pages of its own.
struct HeapControl {
  uint32_t RecordSize;
  MemStats Stats;
  bool Locking;
  CRITICAL_SECTION Lock; // guards Stats once Locking is set
};
HeapControl* HeapModeCreate();
void* HeapModeAlloc(HeapControl* control, uint32_t n);
void HeapModeFree(HeapControl* control, void* p);
void HeapModeStats(HeapControl* control, MemStats* stats);
void HeapModeDestroy(HeapControl* control);
