// The memory manager: one allocation interface over three modes chosen at start-up from the
// environment ("_Heap_Mgr_", else the variable named by the program's full path and "-Heap"):
// 1 one page reservation per block, 2 the process heap, anything else the pool.
#pragma once

#include <stddef.h>
#include <stdint.h>

// The counters of GetMemStats, in this order. A mode keeps only some of them; the rest stay 0.
enum MemCounter : uint32_t {
  kMemBlocksInUse, // heap, pool
  kMemBlocksPeak,  // heap, pool
  kMemBytesInUse,  // heap, pool: as the mode counts a block
  kMemBytesPeak,   // heap, pool: printed as "MemMax" at exit
  kMemAllocations, // heap, pool: every AllocMem that gave a block
  kMemRegions,     // pool
  kMemRegionsPeak, // pool
  kMemCacheMisses, // pool
  kMemCounterCount
};

// Adds amount to a counter and lifts its peak to it.
inline void RaiseMemCounter(uint32_t* counters, uint32_t counter, uint32_t peak, uint32_t amount) {
  counters[counter] += amount;
  if (counters[peak] < counters[counter]) counters[peak] = counters[counter];
}

struct MemStats {
  uint32_t Counter[kMemCounterCount];
};

// What the manager is told rather than looks up: its switches, set once the options are in place
// and by the exit path, and where its report lines and beeps go (nowhere while null).
struct MemSettings {
  bool CacheOff;     // every pool request goes to the free lists
  bool ReportAlways; // the pool's counters at its end
  bool ReportLeaks;  // the counters when blocks are left, and releases the pool never gave
  void (*ReportLine)(const char* text);
  void (*ReportBeep)();
};
extern MemSettings MemConfig;

// Reads the mode and creates its control record; a second call does nothing. Before it, and
// after DoneMem, the manager runs in page mode.
void InitMem();
// The last memory operation of the process: back to page mode, the mode's record released.
void DoneMem();
// Switches the manager to locked operation before a second thread exists; stays on.
void EnableMemLocks();

// A block of at least size bytes, uncleared, or null. Size 0 gives a distinct usable block.
void* AllocMem(uint32_t size);
// Null is ignored. A block must go back in the mode that gave it.
void FreeMem(void* p);
// A copy of the counters; all zero in page mode and before InitMem.
void GetMemStats(MemStats* stats);

// A static, read-only empty text: what a failed DupString gives. Never released, never written.
extern const char EmptyString[1];

// A copy of text; null for null, EmptyString when the memory runs out.
char* DupString(const char* text);
// A copy of text with extra bytes of uncleared room behind its terminator; null for null and
// when the memory runs out, since the caller means to write into the room.
char* DupStringExtra(const char* text, uint32_t extra);
// Releases a DupString or DupStringExtra copy; null and EmptyString are ignored.
void FreeString(const char* text);

// The base of the runtime's objects: they live in the memory manager, and new gives null when it
// is out of memory.
struct TMemObject {
  static void* operator new(size_t size) noexcept;
  static void operator delete(void* p) noexcept;
};
