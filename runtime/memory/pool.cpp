// The pool's front: creation, allocation through the small-block cache or the regions, release
// into the cache or the free lists, and the statistics snapshot.
#include "runtime/memory/pool.h"

namespace {

// Set by start-up while other threads may already allocate.
bool CacheDisabled() {
  return __atomic_load_n(&MemConfig.CacheOff, __ATOMIC_RELAXED);
}

// A parked block of class(n), or of the next class, with room for n bytes; null when none.
void* TakeCached(PoolControl* control, uint32_t n) {
  const uint32_t first = CacheClassOf(n);
  const uint32_t last = first + 1 < kCacheClasses ? first + 1 : first;
  void* taken = nullptr;
  TakeLock(&control->CacheLock, control->Locking);
  for (uint32_t k = first; k <= last && taken == nullptr; ++k) {
    CacheClass& cache = control->Cache[k];
    for (uint32_t i = 0; i < cache.SlotMark; ++i) {
      if (cache.Usable[i] < n) continue;
      taken = cache.Pointer[i];
      cache.Pointer[i] = nullptr;
      cache.Usable[i] = 0;
      cache.BlockSize[i] = 0;
      break;
    }
  }
  LeaveLock(&control->CacheLock, control->Locking);
  return taken;
}

// False when all slots of the class are taken.
bool Park(PoolControl* control, void* p, uint32_t usable, uint32_t blockSize) {
  CacheClass& cache = control->Cache[CacheClassOf(usable)];
  bool parked = false;
  TakeLock(&control->CacheLock, control->Locking);
  for (uint32_t i = 0; i < kCacheSlots; ++i) {
    if (cache.Pointer[i] != nullptr || cache.Usable[i] != 0 || cache.BlockSize[i] != 0) continue;
    cache.Pointer[i] = p;
    cache.Usable[i] = usable;
    cache.BlockSize[i] = blockSize;
    if (cache.SlotMark < i + 1) cache.SlotMark = i + 1;
    parked = true;
    break;
  }
  LeaveLock(&control->CacheLock, control->Locking);
  return parked;
}

} // namespace

uint32_t PoolBlockSize(uint32_t n) {
  if (n > 0xFFFFFFFFu - kBlockHeader - (kPoolGranule - 1)) return 0;
  const uint32_t size = (n + kBlockHeader + kPoolGranule - 1) & ~(kPoolGranule - 1);
  return size < kMinBlock ? kMinBlock : size;
}

// Both allocation and release ask on every small request: one bit scan, not a loop.
uint32_t CacheClassOf(uint32_t size) {
  if (size < 32) return 0;
  const auto top = static_cast<uint32_t>(31 - __builtin_clz(size));
  return top > 13 ? 9 : top - 4;
}

PoolControl* PoolCreate() {
  const uint32_t roundUp = SystemPageSize() - 1;
  const uint32_t bytes = (static_cast<uint32_t>(sizeof(PoolControl)) + roundUp) & ~roundUp;
  auto* control = static_cast<PoolControl*>(
      VirtualAlloc(nullptr, bytes, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
  if (control == nullptr) {
    GetLastError();
    return nullptr;
  }
  // A fresh reservation's committed pages come zero-filled: writing them again would only fault
  // in pages that the run may never use.
  control->RecordSize = bytes;
  InitLock(&control->RegionLock, kMemSpinCount);
  InitLock(&control->StatsLock, kMemSpinCount);
  InitLock(&control->CacheLock, kMemSpinCount);
  return control;
}

void* PoolAlloc(PoolControl* control, uint32_t n) {
  if (control == nullptr) return nullptr;
  bool cacheMiss = false;
  if (n >= 1 && n < kCacheLimit) {
    if (!CacheDisabled()) {
      if (void* cached = TakeCached(control, n)) {
        TakeLock(&control->StatsLock, control->Locking);
        ++control->Stats.Counter[kMemAllocations];
        LeaveLock(&control->StatsLock, control->Locking);
        return cached;
      }
      cacheMiss = true;
    }
  }
  const uint32_t blockSize = PoolBlockSize(n);
  if (blockSize == 0) return nullptr;
  uint32_t given = 0;
  TakeLock(&control->RegionLock, control->Locking);
  void* block = CarveBlock(control, blockSize, &given);
  LeaveLock(&control->RegionLock, control->Locking);
  if (block == nullptr) return nullptr;
  TakeLock(&control->StatsLock, control->Locking);
  uint32_t* counters = control->Stats.Counter;
  ++counters[kMemAllocations];
  RaiseMemCounter(counters, kMemBlocksInUse, kMemBlocksPeak, 1);
  RaiseMemCounter(counters, kMemBytesInUse, kMemBytesPeak, given);
  if (cacheMiss) ++counters[kMemCacheMisses];
  LeaveLock(&control->StatsLock, control->Locking);
  return static_cast<char*>(block) + kBlockHeader;
}

void PoolFree(PoolControl* control, void* p) {
  if (control == nullptr || p == nullptr) return;
  TakeLock(&control->RegionLock, control->Locking);
  PoolRegion* region = nullptr;
  if (!CacheDisabled()) {
    region = FindRegion(control, p);
    if (region == nullptr) {
      LeaveLock(&control->RegionLock, control->Locking);
      ReportBadAddress(p);
      return;
    }
    const uint32_t blockSize = ReadBlockSize(static_cast<char*>(p) - kBlockHeader);
    const uint32_t usable = blockSize - kBlockHeader;
    if (usable < kCacheLimit && Park(control, p, usable, blockSize)) {
      LeaveLock(&control->RegionLock, control->Locking);
      return;
    }
  }
  const uint32_t released = MergeFree(control, region, p);
  LeaveLock(&control->RegionLock, control->Locking);
  if (released == 0) return;
  TakeLock(&control->StatsLock, control->Locking);
  control->Stats.Counter[kMemBlocksInUse] -= 1;
  control->Stats.Counter[kMemBytesInUse] -= released;
  LeaveLock(&control->StatsLock, control->Locking);
}

void PoolSnapshot(PoolControl* control, MemStats* stats) {
  TakeLock(&control->StatsLock, control->Locking);
  *stats = control->Stats;
  LeaveLock(&control->StatsLock, control->Locking);
  uint32_t parked = 0, parkedBytes = 0;
  TakeLock(&control->CacheLock, control->Locking);
  for (const CacheClass& cache : control->Cache) {
    for (uint32_t i = 0; i < cache.SlotMark; ++i) {
      if (cache.Usable[i] == 0) continue;
      ++parked;
      parkedBytes += cache.BlockSize[i];
    }
  }
  LeaveLock(&control->CacheLock, control->Locking);
  stats->Counter[kMemBlocksInUse] -= parked;
  stats->Counter[kMemBytesInUse] -= parkedBytes;
}
