// The pool's teardown with its report line, and the report of a release outside every region.
#include "runtime/memory/pool.h"

#include "runtime/text/format.h"
#include "runtime/text/scramble.h"

namespace {

constexpr auto kBadAddressMessage = Scramble("Release of memory the pool never gave");

bool Reporting() {
  return MemConfig.ReportAlways || MemConfig.ReportLeaks;
}

void Say(const char* line) {
  if (MemConfig.ReportLine != nullptr) MemConfig.ReportLine(line);
}

void Ring() {
  if (MemConfig.ReportBeep != nullptr) MemConfig.ReportBeep();
}

void Report(PoolControl* control) {
  MemStats stats;
  PoolSnapshot(control, &stats);
  const uint32_t* c = stats.Counter;
  const bool leaked = c[kMemBlocksInUse] != 0 || c[kMemBytesInUse] != 0;
  if (leaked) Ring();
  if (!MemConfig.ReportAlways && !leaked) return;
  char line[256];
  FormatString(line, sizeof line, "CU:%u,%u,MU:%u,%u,AC:%u,MA:%u,CM:%u", c[kMemBlocksInUse],
               c[kMemBytesInUse], c[kMemBlocksPeak], c[kMemBytesPeak], c[kMemAllocations],
               c[kMemRegionsPeak], c[kMemCacheMisses]);
  Say(line);
}

// Parked blocks go back to the free lists, which may return their regions.
void FlushCache(PoolControl* control) {
  TakeLock(&control->CacheLock, control->Locking);
  for (CacheClass& cache : control->Cache) {
    for (uint32_t i = 0; i < cache.SlotMark; ++i) {
      if (cache.Pointer[i] == nullptr || cache.Usable[i] == 0) continue;
      const uint32_t released = MergeFree(control, nullptr, cache.Pointer[i]);
      TakeLock(&control->StatsLock, control->Locking);
      control->Stats.Counter[kMemBlocksInUse] -= 1;
      control->Stats.Counter[kMemBytesInUse] -= released;
      LeaveLock(&control->StatsLock, control->Locking);
    }
  }
  LeaveLock(&control->CacheLock, control->Locking);
}

} // namespace

void ReportBadAddress(const void* p) {
  if (!Reporting()) return;
  char line[96];
  const PlainName label(kBadAddressMessage);
  FormatString(line, sizeof line, "%s: %08X", label.text,
               static_cast<uint32_t>(reinterpret_cast<uintptr_t>(p)));
  Say(line);
  Ring();
}

void PoolDone(PoolControl* control) {
  if (Reporting()) Report(control);
  FlushCache(control);
  PoolRegion* region = control->Regions;
  control->Regions = nullptr;
  while (region != nullptr) {
    PoolRegion* next = region->Next;
    VirtualFree(region, 0, MEM_RELEASE);
    region = next;
  }
  DeleteCriticalSection(&control->RegionLock);
  DeleteCriticalSection(&control->StatsLock);
  DeleteCriticalSection(&control->CacheLock);
  VirtualFree(control, 0, MEM_RELEASE);
}
