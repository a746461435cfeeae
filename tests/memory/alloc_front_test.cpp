#include "mem_fixture.h"

#include <cstring>
#include <set>
#include <thread>
#include <vector>

namespace {

using memtest::Counters;
using memtest::MemTest;

class AllocFront : public MemTest {};

struct Mode {
  const char* heapMgr;
  const char* name;
};
// Unset is the pool's mode.
const Mode kModes[] = {{"1", "page"}, {"2", "heap"}, {nullptr, "default"}, {"-1", "other"}};

TEST_F(AllocFront, EveryModeGivesDistinctUsableBlocks) {
  const uint32_t sizes[] = {0, 0, 1, 3, 4, 12, 4095, 4096, 100000};
  for (const Mode& mode : kModes) {
    Start(mode.heapMgr);
    std::vector<char*> blocks;
    for (uint32_t size : sizes) {
      auto* block = static_cast<char*>(AllocMem(size));
      ASSERT_NE(block, nullptr) << mode.name << " size " << size;
      EXPECT_EQ(reinterpret_cast<uintptr_t>(block) % 4, 0u) << mode.name;
      std::memset(block, 0x5A, size == 0 ? 1 : size); // size 0 still gives a usable byte
      blocks.push_back(block);
    }
    EXPECT_EQ(std::set<char*>(blocks.begin(), blocks.end()).size(), blocks.size()) << mode.name;
    for (char* block : blocks) FreeMem(block);
    FreeMem(nullptr);
    Reset();
  }
}

// Before InitMem and in page mode: a reservation of whole pages per block, the size in front.
TEST_F(AllocFront, PageBlocksAreReservationsOfWholePages) {
  const uint32_t page = SystemPageSize();
  const uint32_t largest = 0xFFFFFFFFu - kPageHeader - (page - 1);
  struct Case {
    uint32_t n, bytes; // bytes 0: refused, the 32-bit size would wrap
  } cases[] = {{0, page},           {page - kPageHeader, page}, {page - kPageHeader + 1, 2 * page},
               {largest, 0 - page}, {largest + 1, 0},           {0xFFFFFFFFu, 0}};
  for (const char* heapMgr : {"", "1"}) {
    if (*heapMgr != 0) Start(heapMgr);
    for (const Case& c : cases) {
      EXPECT_EQ(PageReservation(c.n), c.bytes) << c.n;
      if (c.bytes > 2 * page) continue;
      auto* block = static_cast<char*>(AllocMem(c.n));
      ASSERT_EQ(block != nullptr, c.bytes != 0) << c.n;
      if (block == nullptr) continue;
      const uintptr_t base = reinterpret_cast<uintptr_t>(block) - kPageHeader;
      EXPECT_EQ(base % 0x10000, 0u) << "not a reservation of its own";
      EXPECT_EQ(*reinterpret_cast<uint32_t*>(base), c.n);
      block[c.n == 0 ? 0 : c.n - 1] = 1;
      FreeMem(block);
    }
    EXPECT_EQ(Counters(), decltype(Counters()){}) << "page mode keeps no statistics";
  }
}

TEST_F(AllocFront, HeapModeCountsBlocksBytesAndPeaks) {
  Start("2");
  struct Step {
    int alloc; // bytes to allocate, or -1 to free the block of step `index`
    int index;
    std::array<uint32_t, 5> want; // counters 0 to 4
  } steps[] = {
      {0, 0, {1, 1, 1, 1, 1}}, // size 0 counts as 1 byte
      {10, 0, {2, 2, 11, 11, 2}}, {300, 0, {3, 3, 311, 311, 3}}, {-1, 2, {2, 3, 11, 311, 3}},
      {5, 0, {3, 3, 16, 311, 4}}, {-1, 0, {2, 3, 15, 311, 4}},   {-1, 1, {1, 3, 5, 311, 4}},
      {-1, 4, {0, 3, 0, 311, 4}},
  };
  std::vector<void*> blocks;
  for (const Step& s : steps) {
    if (s.alloc >= 0) {
      blocks.push_back(AllocMem(static_cast<uint32_t>(s.alloc)));
      ASSERT_NE(blocks.back(), nullptr);
    } else {
      FreeMem(blocks[s.index]);
      blocks.push_back(nullptr);
    }
    auto counters = Counters();
    for (int i = 0; i < 5; ++i) EXPECT_EQ(counters[i], s.want[i]) << "step " << blocks.size();
    for (uint32_t i = 5; i < kMemCounterCount; ++i) EXPECT_EQ(counters[i], 0u);
  }
}

// Without the lock the counters race and do not come back to 0.
TEST_F(AllocFront, HeapCountersStayExactUnderThreads) {
  Start("2");
  EnableMemLocks();
  constexpr int kThreads = 4, kRounds = 20000;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t] {
      for (int i = 0; i < kRounds; ++i) FreeMem(AllocMem(static_cast<uint32_t>(t + 1)));
    });
  }
  for (auto& thread : threads) thread.join();
  auto counters = Counters();
  EXPECT_EQ(counters[kMemBlocksInUse], 0u);
  EXPECT_EQ(counters[kMemBytesInUse], 0u);
  EXPECT_EQ(counters[kMemAllocations], uint32_t{kThreads * kRounds});
}

TEST_F(AllocFront, AfterDoneMemBlocksComeFromPages) {
  Start("2");
  void* heapBlock = AllocMem(24);
  DoneMem();
  FreeMem(heapBlock); // a heap block now goes to the page release, which refuses it
  auto* block = static_cast<char*>(AllocMem(0));
  ASSERT_NE(block, nullptr);
  EXPECT_EQ((reinterpret_cast<uintptr_t>(block) - kPageHeader) % 0x10000, 0u);
  EXPECT_EQ(Counters(), decltype(Counters()){});
  FreeMem(block);
  EXPECT_TRUE(HeapFree(GetProcessHeap(), 0, heapBlock)) << "the heap block was left alone";
}

#ifndef _WIN32
// A copy falls back to EmptyString, one with room to write in to null.
TEST_F(AllocFront, RefusedAllocationsGiveNullAndTheRunGoesOn) {
  using winposix::FailPoint;
  struct Case {
    const char* heapMgr;
    FailPoint point;
  } cases[] = {{"1", FailPoint::VirtualAlloc},
               {"2", FailPoint::HeapAlloc},
               {nullptr, FailPoint::VirtualAlloc}};
  for (const Case& c : cases) {
    Start(c.heapMgr);
    auto before = Counters();
    winposix::FailNth(c.point, 1, true);
    EXPECT_EQ(AllocMem(16), nullptr);
    EXPECT_EQ(DupString("text"), EmptyString);
    EXPECT_EQ(DupStringExtra("text", 8), nullptr);
    EXPECT_EQ(Counters(), before) << "a refused block is not counted";
    winposix::ClearFailures();
    void* block = AllocMem(16);
    EXPECT_NE(block, nullptr);
    FreeMem(block);
    Reset();
  }
}

TEST_F(AllocFront, HeapModeWithoutItsRecordGivesNothingUntilDoneMem) {
  winposix::FailNth(winposix::FailPoint::VirtualAlloc, 1);
  Start("2");
  EXPECT_EQ(AllocMem(8), nullptr);
  char stack[32] = {};
  FreeMem(stack + 16); // ignored, not handed to any release
  EnableMemLocks();
  EXPECT_EQ(Counters(), decltype(Counters()){});
  DoneMem();
  void* block = AllocMem(8);
  EXPECT_NE(block, nullptr);
  FreeMem(block);
}
#endif

} // namespace
