// The pool's regions and free lists: best-fit carving with splitting, merging of released blocks
// with their free neighbours, and the return of wholly free regions. Everything here runs with
// the region lock held.
#include "runtime/memory/pool.h"

namespace {

char* Bytes(void* p) {
  return static_cast<char*>(p);
}

void Unlink(PoolRegion* region, FreeChunk* chunk) {
  if (chunk->Prev != nullptr)
    chunk->Prev->Next = chunk->Next;
  else
    region->FreeList = chunk->Next;
  if (chunk->Next != nullptr) chunk->Next->Prev = chunk->Prev;
  chunk->Next = chunk->Prev = nullptr;
  --region->FreeCount;
}

// Before the first chunk of equal or larger size.
void Insert(PoolRegion* region, FreeChunk* chunk) {
  FreeChunk* prev = nullptr;
  FreeChunk* next = region->FreeList;
  while (next != nullptr && next->Size < chunk->Size) {
    prev = next;
    next = next->Next;
  }
  chunk->Prev = prev;
  chunk->Next = next;
  if (prev != nullptr)
    prev->Next = chunk;
  else
    region->FreeList = chunk;
  if (next != nullptr) next->Prev = chunk;
  ++region->FreeCount;
}

void ChangeRegionCount(PoolControl* control, bool added) {
  TakeLock(&control->StatsLock, control->Locking);
  uint32_t* counters = control->Stats.Counter;
  if (added) {
    ++counters[kMemRegions];
    if (counters[kMemRegionsPeak] < counters[kMemRegions])
      counters[kMemRegionsPeak] = counters[kMemRegions];
  } else {
    --counters[kMemRegions];
  }
  LeaveLock(&control->StatsLock, control->Locking);
}

// A region with room for a block of b bytes, at the head of the list.
bool AddRegion(PoolControl* control, uint32_t b) {
  if (b > 0xFFFFFFFFu - kRegionHeader) return false;
  uint32_t size = b + kRegionHeader;
  if (size < kRegionMinimum) size = kRegionMinimum;
  if (size > 0xFFFFFFFFu - (kRegionStep - 1)) return false;
  size = (size + kRegionStep - 1) & ~(kRegionStep - 1);
  auto* region = static_cast<PoolRegion*>(
      VirtualAlloc(nullptr, size, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
  if (region == nullptr) {
    GetLastError();
    return false;
  }
  region->Size = size;
  region->Next = control->Regions;
  region->FreeList = nullptr;
  region->FreeCount = 0;
  control->Regions = region;
  ChangeRegionCount(control, true);
  auto* chunk = reinterpret_cast<FreeChunk*>(Bytes(region) + kRegionHeader);
  chunk->Size = size - kRegionHeader;
  Insert(region, chunk);
  return true;
}

// The fitting chunk with the smallest remainder over all regions; the first met wins a tie, and
// the walk ends after a region that held an exact fit. A free list is sorted, so its first
// fitting chunk is its best.
FreeChunk* BestFit(PoolControl* control, uint32_t b, PoolRegion** where) {
  FreeChunk* best = nullptr;
  for (PoolRegion* region = control->Regions; region != nullptr; region = region->Next) {
    for (FreeChunk* chunk = region->FreeList; chunk != nullptr; chunk = chunk->Next) {
      if (chunk->Size < b) continue;
      if (best == nullptr || chunk->Size < best->Size) {
        best = chunk;
        *where = region;
      }
      break;
    }
    if (best != nullptr && best->Size == b) break;
  }
  return best;
}

bool WhollyFree(const PoolRegion* region) {
  const FreeChunk* chunk = region->FreeList;
  return region->FreeCount == 1 && chunk != nullptr &&
         reinterpret_cast<const char*>(chunk) ==
             reinterpret_cast<const char*>(region) + kRegionHeader &&
         chunk->Size == region->Size - kRegionHeader;
}

// Wholly free regions above 1 MiB go back; of the others the first met stays as the spare.
void ReturnFreeRegions(PoolControl* control) {
  bool again = true;
  while (again) {
    again = false;
    bool spare = false;
    for (PoolRegion** link = &control->Regions; *link != nullptr; link = &(*link)->Next) {
      PoolRegion* region = *link;
      if (!WhollyFree(region)) continue;
      if (region->Size <= kRegionMinimum && !spare) {
        spare = true;
        continue;
      }
      *link = region->Next;
      VirtualFree(region, 0, MEM_RELEASE);
      ChangeRegionCount(control, false);
      again = true;
      break;
    }
  }
}

FreeChunk* ChunkEndingAt(PoolRegion* region, const char* at) {
  for (FreeChunk* chunk = region->FreeList; chunk != nullptr; chunk = chunk->Next)
    if (Bytes(chunk) + chunk->Size == at) return chunk;
  return nullptr;
}

FreeChunk* ChunkAt(PoolRegion* region, const char* at) {
  for (FreeChunk* chunk = region->FreeList; chunk != nullptr; chunk = chunk->Next)
    if (Bytes(chunk) == at) return chunk;
  return nullptr;
}

} // namespace

// Only an address where a block's data can begin counts: one behind the region header and the
// size word, and below the region's end. Anything else would have its size word read from
// outside the region.
PoolRegion* FindRegion(PoolControl* control, const void* p) {
  const auto at = reinterpret_cast<uintptr_t>(p);
  for (PoolRegion* region = control->Regions; region != nullptr; region = region->Next) {
    const auto start = reinterpret_cast<uintptr_t>(region);
    if (at >= start + kRegionHeader + kBlockHeader && at < start + region->Size) return region;
  }
  return nullptr;
}

void* CarveBlock(PoolControl* control, uint32_t b, uint32_t* given) {
  PoolRegion* region = nullptr;
  FreeChunk* chunk = BestFit(control, b, &region);
  if (chunk == nullptr) {
    if (!AddRegion(control, b)) return nullptr;
    chunk = BestFit(control, b, &region);
    if (chunk == nullptr) return nullptr;
  }
  Unlink(region, chunk);
  const uint32_t remainder = chunk->Size - b;
  uint32_t size = chunk->Size;
  if (remainder >= kSplitMinimum) {
    auto* rest = reinterpret_cast<FreeChunk*>(Bytes(chunk) + b);
    rest->Size = remainder;
    Insert(region, rest);
    size = b;
  }
  WriteBlockSize(chunk, size);
  *given = size;
  return chunk;
}

uint32_t MergeFree(PoolControl* control, PoolRegion* region, void* p) {
  if (region == nullptr) region = FindRegion(control, p);
  if (region == nullptr) {
    ReportBadAddress(p);
    return 0;
  }
  char* start = Bytes(p) - kBlockHeader;
  const uint32_t released = ReadBlockSize(start);
  uint32_t size = released;
  while (FreeChunk* before = ChunkEndingAt(region, start)) {
    Unlink(region, before);
    size += before->Size;
    start = Bytes(before);
  }
  while (FreeChunk* after = ChunkAt(region, start + size)) {
    Unlink(region, after);
    size += after->Size;
  }
  auto* chunk = reinterpret_cast<FreeChunk*>(start);
  chunk->Next = chunk->Prev = nullptr;
  chunk->Size = size;
  Insert(region, chunk);
  ReturnFreeRegions(control);
  return released;
}
