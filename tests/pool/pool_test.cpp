#include "pool_fixture.h"

#include <cstdio>
#include <string>
#include <vector>

namespace {

using pooltest::Counters;
using pooltest::PoolTest;
using pooltest::Reports;

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
               {false, false, true, false, false}};
  for (const Case& c : cases) {
    void* a = PoolAlloc(pool, 40);
    void* b = PoolAlloc(pool, 100);
    PoolFree(pool, a);
    if (!c.leave) PoolFree(pool, b);
    PoolFree(pool, PoolAlloc(pool, 20)); // served by the parked 40-byte block
    char expected[200];
    std::snprintf(expected, sizeof expected, "CU:%u,%u,MU:2,%u,AC:3,MA:1,CM:2\n", c.leave ? 1u : 0u,
                  c.leave ? PoolBlockSize(100) : 0u, PoolBlockSize(40) + PoolBlockSize(100));
    pooltest::ClearSwitches();
    MemConfig.ReportAlways = c.always;
    MemConfig.ReportLeaks = c.leaks;
    PoolDone(pool);
    pool = PoolCreate();
    EXPECT_EQ(Reports::lines, c.line ? expected : "") << c.always << c.leaks << c.leave;
    EXPECT_EQ(Reports::beeps, c.beep ? 1u : 0u);
  }
}

// Addresses no block can have, the region's own ones included: reported when a switch is on,
// never released, never counted. With the cache off a release goes straight to the free lists.
TEST_F(PoolTest, BadAddressChangesNothing) {
  void* held = PoolAlloc(pool, 64);
  char* region = reinterpret_cast<char*>(pool->Regions);
  char local[32];
  const void* addresses[] = {local + 16, region, region + kRegionHeader,
                             region + pool->Regions->Size};
  for (bool cacheOff : {false, true}) {
    for (bool report : {false, true}) {
      for (const void* address : addresses) {
        pooltest::ClearSwitches();
        MemConfig.CacheOff = cacheOff;
        MemConfig.ReportLeaks = report;
        const Counters before = Raw();
        PoolFree(pool, const_cast<void*>(address));
        EXPECT_EQ(Raw(), before);
        char line[64];
        std::snprintf(line, sizeof line, "Release of memory the pool never gave: %08X\n",
                      static_cast<unsigned>(reinterpret_cast<uintptr_t>(address)));
        EXPECT_EQ(Reports::lines, report ? line : "");
        EXPECT_EQ(Reports::beeps, report ? 1u : 0u);
      }
    }
  }
  const Counters before = Raw();
  PoolFree(pool, held);
  EXPECT_EQ(Raw()[kMemBlocksInUse], before[kMemBlocksInUse] - 1) << "not parked";
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

} // namespace
