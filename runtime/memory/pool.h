// The pool mode, the manager's default: regions of committed pages of at least 1 MiB carved by
// best fit from per-region free lists kept in size order, released blocks merged with their free
// neighbours, wholly free regions given back but one spare, and a cache of recently released
// small blocks in ten size classes that serves most small requests without the free lists.
//
// The layout follows the pointer width. With 4-byte pointers a block is its 4-byte size word
// and the caller's data; with 8-byte pointers the word is padded to 16 bytes and blocks grow in
// steps of 16, so that objects made with new keep the alignment the compiler assumes there.
#pragma once

#include "runtime/memory/manager.h"

// A chunk on a free list; every block is at least this large so that it can become one. The
// same bytes are a size word, a free chunk or the caller's data in turn, so neither view may be
// reordered against the other.
struct __attribute__((__may_alias__)) FreeChunk {
  FreeChunk* Next;
  FreeChunk* Prev;
  uint32_t Size; // the whole chunk
};

typedef uint32_t __attribute__((__may_alias__)) PoolSizeWord;

// The size word at the start of a block: the whole block, word included.
inline uint32_t ReadBlockSize(const void* block) {
  return *static_cast<const PoolSizeWord*>(block);
}
inline void WriteBlockSize(void* block, uint32_t size) {
  *static_cast<PoolSizeWord*>(block) = size;
}

struct PoolRegion {
  uint32_t Size; // header included
  PoolRegion* Next;
  FreeChunk* FreeList; // ascending size; of equal sizes the one inserted last stands first
  uint32_t FreeCount;
};

constexpr bool kPool32 = sizeof(void*) == 4;
constexpr uint32_t kPoolGranule = kPool32 ? 4 : 16;   // block sizes are multiples of it
constexpr uint32_t kBlockHeader = kPool32 ? 4 : 16;   // the size word in front of the data
constexpr uint32_t kMinBlock = kPool32 ? 12 : 32;     // a FreeChunk, rounded to the granule
constexpr uint32_t kSplitMinimum = kPool32 ? 16 : 32; // a smaller remainder stays with the block
constexpr uint32_t kRegionHeader = sizeof(PoolRegion);
constexpr uint32_t kRegionMinimum = 1 << 20;
constexpr uint32_t kRegionStep = 1 << 16;

static_assert(sizeof(FreeChunk) <= kMinBlock && kMinBlock % kPoolGranule == 0);
static_assert(kRegionHeader % kPoolGranule == 0 && kSplitMinimum >= kMinBlock);

// The small-block cache: requests of 1 to 16,383 bytes, released blocks of a usable size below
// 16,384. A slot is empty when its pointer and both sizes are 0.
constexpr uint32_t kCacheClasses = 10;
constexpr uint32_t kCacheSlots = 128;
constexpr uint32_t kCacheLimit = 16384;

struct CacheClass {
  uint32_t SlotMark; // one more than the highest slot ever filled; never lowered
  void* Pointer[kCacheSlots];
  uint32_t Usable[kCacheSlots]; // block size - kBlockHeader
  uint32_t BlockSize[kCacheSlots];
};

// The locks nest only as region -> cache, region -> statistics, cache -> statistics; the
// statistics lock is innermost. None is taken before Locking is set.
struct PoolControl {
  uint32_t RecordSize;
  PoolRegion* Regions; // newest first
  bool Locking;
  CRITICAL_SECTION RegionLock; // the region list and every free list
  MemStats Stats;
  CRITICAL_SECTION StatsLock;
  CRITICAL_SECTION CacheLock;
  CacheClass Cache[kCacheClasses];
};

PoolControl* PoolCreate();
void* PoolAlloc(PoolControl* control, uint32_t n);
void PoolFree(PoolControl* control, void* p);
// The counters with the blocks parked in the cache counted as free.
void PoolSnapshot(PoolControl* control, MemStats* stats);
// The teardown report (when a diagnostic switch is on), then everything goes back.
void PoolDone(PoolControl* control);

// The block for a request of n bytes: n + header, at least kMinBlock, rounded up to the
// granule; 0 when that does not fit in 32 bits.
uint32_t PoolBlockSize(uint32_t n);
// The cache class of a size below kCacheLimit: 0 below 32, then one class per power of two.
uint32_t CacheClassOf(uint32_t size);

// With the region lock held: a block of at least b bytes, its size word written, and in *given
// its size (b, or up to a split minimum more); null when no region can be added.
void* CarveBlock(PoolControl* control, uint32_t b, uint32_t* given);
// With the region lock held: returns the block at p to its region's free list, merged with its
// free neighbours, and gives back regions that became wholly free. The block's size, or 0 when
// p lies in no region (reported). region may be null.
uint32_t MergeFree(PoolControl* control, PoolRegion* region, void* p);
// The region whose blocks could hold p, or null.
PoolRegion* FindRegion(PoolControl* control, const void* p);
// With a report switch on: a report line with the address and a beep.
void ReportBadAddress(const void* p);
