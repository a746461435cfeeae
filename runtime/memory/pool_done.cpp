// The pool's teardown with its report line, and the report of a release outside every region.
#include "runtime/memory/pool.h"

#include "runtime/diag/trace.h"
#include "runtime/startup/runtime_state.h"
#include "runtime/text/numbers.h"
#include "runtime/text/scramble.h"
#include "runtime/text/strings.h"

namespace {

constexpr auto kBadAddressMessage = Scramble("Release of memory the pool never gave");

bool Reporting() {
  return RuntimeState.ReportAlways || RuntimeState.LeakReport;
}

void AppendCounter(char* line, uint32_t size, const char* label, uint32_t value) {
  char number[12];
  UIntToDec(value, number);
  StrAppendN(line, label, size);
  StrAppendN(line, number, size);
}

// "CU:blocks,bytes,MU:peak blocks,peak bytes,AC:allocations,MA:peak regions,CM:cache misses"
void Report(PoolControl* control) {
  MemStats stats;
  PoolSnapshot(control, &stats);
  const uint32_t* c = stats.Counter;
  const bool leaked = c[kMemBlocksInUse] != 0 || c[kMemBytesInUse] != 0;
  if (leaked) SignalBeep();
  if (!RuntimeState.ReportAlways && !leaked) return;
  char line[256];
  line[0] = 0;
  AppendCounter(line, sizeof line, "CU:", c[kMemBlocksInUse]);
  AppendCounter(line, sizeof line, ",", c[kMemBytesInUse]);
  AppendCounter(line, sizeof line, ",MU:", c[kMemBlocksPeak]);
  AppendCounter(line, sizeof line, ",", c[kMemBytesPeak]);
  AppendCounter(line, sizeof line, ",AC:", c[kMemAllocations]);
  AppendCounter(line, sizeof line, ",MA:", c[kMemRegionsPeak]);
  AppendCounter(line, sizeof line, ",CM:", c[kMemCacheMisses]);
  TraceLine(line, nullptr);
}

// Parked blocks go back to the free lists, which may return their regions.
void FlushCache(PoolControl* control) {
  PoolTake(control, &control->CacheLock);
  for (CacheClass& cache : control->Cache) {
    for (uint32_t i = 0; i < cache.SlotMark; ++i) {
      if (cache.Pointer[i] == nullptr || cache.Usable[i] == 0) continue;
      const uint32_t released = MergeFree(control, nullptr, cache.Pointer[i]);
      PoolTake(control, &control->StatsLock);
      control->Stats.Counter[kMemBlocksInUse] -= 1;
      control->Stats.Counter[kMemBytesInUse] -= released;
      PoolLeave(control, &control->StatsLock);
    }
  }
  PoolLeave(control, &control->CacheLock);
}

} // namespace

void ReportBadAddress(const void* p) {
  if (!Reporting()) return;
  TracePointer(PlainName(kBadAddressMessage),
               static_cast<uint32_t>(reinterpret_cast<uintptr_t>(p)));
  SignalBeep();
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
