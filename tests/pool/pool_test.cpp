#include "pool_fixture.h"

#include "tests/support/std_capture.h"

#include <cstdio>
#include <string>
#include <vector>

namespace {

using pooltest::Counters;
using pooltest::PoolTest;

#ifdef _WIN32
constexpr bool kBeepsRecorded = false;
size_t BeepCount() {
  return 0;
}
#else
constexpr bool kBeepsRecorded = true;
size_t BeepCount() {
  return winposix::RecordedBeeps().size();
}
#endif

// What a step writes to standard error, and how often it beeps.
template <class Step> std::pair<std::string, size_t> Traced(Step step) {
  const size_t beeps = BeepCount();
  Capture error(STD_ERROR_HANDLE);
  step();
  std::string got;
  for (const std::string& w : error.Finish()) got += w;
  return {got, BeepCount() - beeps};
}

// The block for a request, and whether a fresh pool counts it as a cache miss (only requests of 1
// to 16,383 bytes look into the cache); too large a request gives nothing.
TEST_F(PoolTest, BlockSizesAndCacheEligibility) {
  struct Case {
    uint32_t n, block32, block64;
    bool miss;
  } cases[] = {{0, 12, 32, false},          {8, 12, 32, true},
               {9, 16, 32, true},           {17, 24, 48, true},
               {16383, 16388, 16400, true}, {16384, 16388, 16400, false},
               {0xFFFFFFFFu, 0, 0, false},  {0xFFFFFFFFu - 0x10000, 0, 0, false}};
  for (const Case& c : cases) {
    const uint32_t want = kPool32 ? c.block32 : c.block64;
    const Counters before = Raw();
    auto* p = static_cast<char*>(PoolAlloc(pool, c.n));
    ASSERT_EQ(p == nullptr, want == 0) << c.n;
    if (p == nullptr) {
      EXPECT_EQ(Raw(), before);
      continue;
    }
    EXPECT_EQ(PoolBlockSize(c.n), want);
    EXPECT_EQ(BlockOf(p), want) << c.n;
    EXPECT_EQ(Raw()[kMemBytesInUse] - before[kMemBytesInUse], want) << c.n;
    EXPECT_EQ(Raw()[kMemCacheMisses] - before[kMemCacheMisses], c.miss ? 1u : 0u) << c.n;
  }
  const std::pair<uint32_t, uint32_t> classes[] = {{0, 0},   {31, 0},   {32, 1},   {63, 1},
                                                   {64, 2},  {1024, 6}, {8191, 8}, {16383, 9},
                                                   {255, 3}, {256, 4}};
  for (auto [size, cls] : classes) EXPECT_EQ(CacheClassOf(size), cls) << size;
}

// A parked block comes back at the same address; counters 0 and 2 keep counting it, only the
// snapshot shows it free. The 129th release into a full class goes to the free lists.
TEST_F(PoolTest, CacheParksUpTo128BlocksAClass) {
  std::vector<void*> blocks;
  for (int i = 0; i < 129; ++i) blocks.push_back(PoolAlloc(pool, 40));
  const Counters held = Raw();
  PoolFree(pool, blocks[5]);
  EXPECT_EQ(Raw(), held);
  EXPECT_EQ(Snapshot()[kMemBlocksInUse], 128u);
  EXPECT_EQ(PoolAlloc(pool, 40), blocks[5]);
  EXPECT_EQ(Raw()[kMemAllocations], held[kMemAllocations] + 1);
  EXPECT_EQ(Raw()[kMemCacheMisses], held[kMemCacheMisses]);
  for (int i = 0; i < 128; ++i) PoolFree(pool, blocks[i]);
  EXPECT_EQ(Raw()[kMemBlocksInUse], 129u);
  EXPECT_EQ(pool->Cache[1].SlotMark, 128u);
  PoolFree(pool, blocks[128]);
  EXPECT_EQ(Raw()[kMemBlocksInUse], 128u);
  EXPECT_EQ(Raw()[kMemBytesInUse], held[kMemBytesInUse] - BlockOf(blocks[0]));
}

// A request looks into its own class and the next one; blocks of a usable size of 16,384 and
// more never park.
TEST_F(PoolTest, CacheServesOwnAndNextClassOnly) {
  const uint32_t largestParked = kCacheLimit - kPoolGranule;
  struct Case {
    uint32_t parked, request;
    bool served;
  } cases[] = {{40, 20, true},
               {100, 20, false},
               {100, 40, true},
               {300, 100, false},
               {16000, 9000, true},
               {16000, 5000, true},
               {16000, 3000, false},
               {largestParked, 9000, true},
               {largestParked + 1, 9000, false}};
  for (const Case& c : cases) {
    void* parked = PoolAlloc(pool, c.parked);
    PoolFree(pool, parked);
    const uint32_t misses = Raw()[kMemCacheMisses];
    void* got = PoolAlloc(pool, c.request);
    EXPECT_EQ(Raw()[kMemCacheMisses] == misses, c.served) << c.parked << " for " << c.request;
    EXPECT_TRUE(!c.served || got == parked);
    Renew();
  }
}

// 31 x 64 KiB for a 2,000,000-byte request, given back at once; of two wholly free 1 MiB
// regions the one nearer the head stays, in either order of release.
TEST_F(PoolTest, RegionsComeAndGoWithOneSpare) {
  void* large = PoolAlloc(pool, 2000000);
  ASSERT_EQ(RegionCount(), 1u);
  EXPECT_EQ(pool->Regions->Size, 2031616u);
  PoolFree(pool, large);
  EXPECT_EQ(pool->Regions, nullptr);
  EXPECT_EQ(Raw()[kMemRegions], 0u);
  EXPECT_EQ(Raw()[kMemRegionsPeak], 1u);
  const uint32_t fill = kRegionMinimum - kRegionHeader - kBlockHeader;
  for (bool olderFirst : {true, false}) {
    void* older = PoolAlloc(pool, fill);
    void* newer = PoolAlloc(pool, fill);
    ASSERT_EQ(RegionCount(), 2u);
    PoolRegion* head = pool->Regions;
    PoolFree(pool, olderFirst ? older : newer);
    EXPECT_EQ(RegionCount(), 2u) << "a lone wholly free region is the spare";
    PoolFree(pool, olderFirst ? newer : older);
    ASSERT_EQ(RegionCount(), 1u);
    EXPECT_EQ(pool->Regions, head);
    EXPECT_EQ(Raw()[kMemRegions], 1u);
    Renew();
  }
}

TEST_F(PoolTest, TeardownReportLine) {
  struct Case {
    bool always, leaks, leave, line, beep;
  } cases[] = {{true, false, false, true, false},
               {false, true, false, false, false},
               {false, true, true, true, true},
               {true, true, true, true, true},
               {false, false, true, false, false}};
  for (const Case& c : cases) {
    void* a = PoolAlloc(pool, 40);
    void* b = PoolAlloc(pool, 100);
    PoolFree(pool, a);
    if (!c.leave) PoolFree(pool, b);
    PoolFree(pool, PoolAlloc(pool, 20)); // served by the parked 40-byte block
    char expected[200];
    std::snprintf(expected, sizeof expected, "CU:%u,%u,MU:2,%u,AC:3,MA:1,CM:2\r\n",
                  c.leave ? 1u : 0u, c.leave ? PoolBlockSize(100) : 0u,
                  PoolBlockSize(40) + PoolBlockSize(100));
    RuntimeState.ReportAlways = c.always;
    RuntimeState.LeakReport = c.leaks;
    auto [got, beeps] = Traced([this] { PoolDone(pool); });
    pool = PoolCreate();
    EXPECT_EQ(got, c.line ? expected : "") << c.always << c.leaks << c.leave;
    if (kBeepsRecorded) {
      EXPECT_EQ(beeps, c.beep ? 1u : 0u);
    }
  }
}

// Addresses no block can have, the region's own ones included: reported when a switch is on,
// never released, never counted.
TEST_F(PoolTest, BadAddressChangesNothing) {
  void* held = PoolAlloc(pool, 64);
  char* region = reinterpret_cast<char*>(pool->Regions);
  char local[32];
  const void* addresses[] = {local + 16, region, region + kRegionHeader,
                             region + pool->Regions->Size};
  for (bool cacheOff : {false, true}) {
    for (bool report : {false, true}) {
      for (const void* address : addresses) {
        PoolCacheState = {true, cacheOff};
        RuntimeState.LeakReport = report;
        const Counters before = Raw();
        auto [got, beeps] = Traced([&] { PoolFree(pool, const_cast<void*>(address)); });
        EXPECT_EQ(Raw(), before);
        char hex[16];
        std::snprintf(hex, sizeof hex, ": %08X\r\n",
                      static_cast<unsigned>(reinterpret_cast<uintptr_t>(address)));
        EXPECT_EQ(got.find(hex) != std::string::npos, report) << got;
        if (kBeepsRecorded) {
          EXPECT_EQ(beeps, report ? 1u : 0u);
        }
      }
    }
  }
  PoolFree(pool, held);
}

// The cache-off option counts only once the options are in place, and then for good.
TEST_F(PoolTest, CacheOffOptionIsSettledOnce) {
  RuntimeState.OptionList[0] = const_cast<char*>("-~NoMemCache");
  RuntimeState.OptionCount = 1;
  void* early = PoolAlloc(pool, 40);
  PoolFree(pool, early);
  EXPECT_EQ(PoolAlloc(pool, 40), early) << "the cache works until the options are ready";
  RuntimeState.OptionsReady = true;
  void* p = PoolAlloc(pool, 40);
  const Counters held = Raw();
  PoolFree(pool, p);
  EXPECT_EQ(Raw()[kMemBlocksInUse], held[kMemBlocksInUse] - 1) << "straight to the free list";
  RuntimeState.OptionCount = 0;
  PoolFree(pool, PoolAlloc(pool, 40));
  EXPECT_EQ(Raw()[kMemCacheMisses], held[kMemCacheMisses]) << "no cache lookups any more";
}

#ifndef _WIN32
TEST_F(PoolTest, RefusedRegionGivesNullAndCountsNothing) {
  const Counters before = Raw();
  winposix::FailNth(winposix::FailPoint::VirtualAlloc, 1, true);
  EXPECT_EQ(PoolAlloc(pool, 100), nullptr);
  EXPECT_EQ(Raw(), before);
  winposix::ClearFailures();
  EXPECT_NE(PoolAlloc(pool, 100), nullptr);
}
#endif

// The record relies on the system's zero fill: a record made after a used one was released must
// still start with no regions, no counts and every cache slot empty.
TEST_F(PoolTest, FreshRecordIsEmptyAfterAUsedOne) {
  std::vector<void*> blocks;
  for (uint32_t size = 1; size < kCacheLimit; size *= 3) blocks.push_back(PoolAlloc(pool, size));
  for (void* p : blocks) PoolFree(pool, p);
  Renew();
  ASSERT_NE(pool, nullptr);
  const uint32_t page = SystemPageSize();
  EXPECT_EQ(pool->RecordSize, (sizeof(PoolControl) + page - 1) / page * page);
  EXPECT_EQ(pool->Regions, nullptr);
  EXPECT_FALSE(pool->Locking);
  EXPECT_EQ(Raw(), Counters{});
  for (const CacheClass& cache : pool->Cache) {
    EXPECT_EQ(cache.SlotMark, 0u);
    for (uint32_t i = 0; i < kCacheSlots; ++i) {
      ASSERT_EQ(cache.Pointer[i], nullptr) << i;
      ASSERT_EQ(cache.Usable[i], 0u) << i;
      ASSERT_EQ(cache.BlockSize[i], 0u) << i;
    }
  }
}

} // namespace
