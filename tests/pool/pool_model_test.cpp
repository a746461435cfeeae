// Random allocations and releases against a reference model, every invariant checked after every
// step: counters, block sizes, contents, and each region tiled exactly by free chunks, live and
// parked blocks, with sorted, fully merged free lists and at most one wholly free region.
#include "pool_fixture.h"

#include <cstring>
#include <map>
#include <random>
#include <vector>

namespace {

struct Live {
  char* p;
  uint32_t n, block;
  uint8_t fill;
};

uint32_t RandomSize(std::mt19937& rng) {
  const uint32_t pick = rng() % 100;
  if (pick < 45) return rng() % 65;
  if (pick < 70) return 65 + rng() % 960;
  if (pick < 90) return 1025 + rng() % 19000;
  if (pick < 98) return 20001 + rng() % 180000;
  return 200001 + rng() % 1300000;
}

class PoolModel : public pooltest::PoolTest {
protected:
  void CheckRegions(const std::vector<Live>& live) {
    std::map<const char*, uint32_t> held; // block start -> the size word it must carry
    for (const Live& l : live) held[l.p - kBlockHeader] = l.block;
    for (const CacheClass& cache : pool->Cache)
      for (uint32_t i = 0; i < kCacheSlots; ++i)
        if (cache.Pointer[i] != nullptr)
          held[static_cast<char*>(cache.Pointer[i]) - kBlockHeader] = cache.BlockSize[i];
    size_t visited = 0, whollyFree = 0;
    for (PoolRegion* r = pool->Regions; r != nullptr; r = r->Next) {
      std::map<const char*, uint32_t> free;
      FreeChunk* previous = nullptr;
      for (FreeChunk* c = r->FreeList; c != nullptr; previous = c, c = c->Next) {
        ASSERT_EQ(c->Prev, previous);
        ASSERT_TRUE(previous == nullptr || previous->Size <= c->Size) << "out of order";
        free[reinterpret_cast<char*>(c)] = c->Size;
      }
      ASSERT_EQ(free.size(), r->FreeCount);
      const char* at = reinterpret_cast<char*>(r) + kRegionHeader;
      const char* end = reinterpret_cast<char*>(r) + r->Size;
      for (bool previousFree = false; at < end;) {
        if (auto f = free.find(at); f != free.end()) {
          ASSERT_FALSE(previousFree) << "two free neighbours left unmerged";
          previousFree = true;
          at += f->second;
          continue;
        }
        auto h = held.find(at);
        ASSERT_NE(h, held.end()) << "a chunk that is neither free nor held";
        ASSERT_EQ(ReadBlockSize(at), h->second);
        previousFree = false;
        ++visited;
        at += h->second;
      }
      ASSERT_EQ(at, end);
      if (free.size() == 1 && free.begin()->second == r->Size - kRegionHeader) {
        ++whollyFree;
        EXPECT_LE(r->Size, kRegionMinimum) << "a large wholly free region was kept";
      }
    }
    ASSERT_EQ(visited, held.size()) << "a held block lies outside every region";
    ASSERT_LE(whollyFree, 1u);
  }

  void Check(const std::vector<Live>& live, uint32_t allocations, bool cacheOff) {
    uint32_t bytes = 0;
    for (const Live& l : live) {
      bytes += l.block;
      ASSERT_EQ(BlockOf(l.p), l.block);
      ASSERT_GE(l.block, PoolBlockSize(l.n));
      ASSERT_TRUE(!cacheOff || l.block < PoolBlockSize(l.n) + kSplitMinimum);
      for (uint32_t at : {0u, l.n / 2, l.n - 1})
        ASSERT_TRUE(l.n == 0 || static_cast<uint8_t>(l.p[at]) == l.fill) << "contents changed";
    }
    const pooltest::Counters c = Snapshot();
    ASSERT_EQ(c[kMemBlocksInUse], live.size());
    ASSERT_EQ(c[kMemBytesInUse], bytes);
    ASSERT_EQ(c[kMemAllocations], allocations);
    ASSERT_EQ(c[kMemRegions], RegionCount());
    ASSERT_GE(c[kMemRegionsPeak], c[kMemRegions]);
    ASSERT_GE(c[kMemBytesPeak], Raw()[kMemBytesInUse]);
    ASSERT_NO_FATAL_FAILURE(CheckRegions(live));
  }
};

TEST_F(PoolModel, RandomOperationsKeepEveryInvariant) {
  const std::pair<uint32_t, bool> runs[] = {{1, false}, {77, false}, {2024, true}}; // cache off
  for (auto [seed, cacheOff] : runs) {
    SCOPED_TRACE(seed);
    Renew();
    MemConfig.CacheOff = cacheOff;
    std::mt19937 rng(seed);
    std::vector<Live> live;
    uint32_t allocations = 0;
    for (int step = 0; step < 3000; ++step) {
      if (live.empty() || (live.size() < 300 && rng() % 100 < 55)) {
        const uint32_t n = RandomSize(rng);
        auto* p = static_cast<char*>(PoolAlloc(pool, n));
        ASSERT_NE(p, nullptr);
        const auto fill = static_cast<uint8_t>(rng());
        std::memset(p, fill, n);
        live.push_back({p, n, BlockOf(p), fill});
        ++allocations;
      } else {
        std::swap(live[rng() % live.size()], live.back());
        const Live l = live.back();
        live.pop_back();
        for (uint32_t i = 0; i < l.n; ++i) ASSERT_EQ(static_cast<uint8_t>(l.p[i]), l.fill);
        PoolFree(pool, l.p);
      }
      ASSERT_NO_FATAL_FAILURE(Check(live, allocations, cacheOff)) << "step " << step;
    }
    for (; !live.empty(); live.pop_back()) PoolFree(pool, live.back().p);
    ASSERT_NO_FATAL_FAILURE(Check(live, allocations, cacheOff));
    // With the cache on, parked blocks alone keep regions.
    EXPECT_TRUE(!cacheOff || RegionCount() <= 1);
  }
}

} // namespace
