// The memory manager's front: the mode chosen from the environment, blocks in every mode, the
// heap mode's counters, string copies, and what a refused allocation leaves behind.
#include "runtime/memory/manager.h"
#include "winposix/win32.h"
#ifndef _WIN32
#include "winposix/testctl.h"
#endif

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace {

using Counters = std::array<uint32_t, kMemCounterCount>;

// The variable named by the program's full path and "-Heap".
std::string PathVariable() {
  char path[1024] = {};
  GetModuleFileNameA(nullptr, path, sizeof(path));
  return std::string(path) + "-Heap";
}

Counters Read() {
  MemStats stats;
  GetMemStats(&stats);
  return std::to_array(stats.Counter);
}

class MemTest : public ::testing::Test {
protected:
  void SetUp() override { Reset(); }
  void TearDown() override { Reset(); }

  // Starts the manager with "_Heap_Mgr_" holding heapMgr (null: unset).
  static void Start(const char* heapMgr) {
    SetEnvironmentVariableA("_Heap_Mgr_", heapMgr);
    InitMem();
  }
  static void Reset() {
    DoneMem();
    SetEnvironmentVariableA("_Heap_Mgr_", nullptr);
    SetEnvironmentVariableA(PathVariable().c_str(), nullptr);
#ifndef _WIN32
    winposix::ClearFailures();
#endif
  }
};

TEST_F(MemTest, ModeFromHeapMgrFirstThenThePathVariable) {
  const std::string tooLong(100, '2');
  const struct {
    const char *heapMgr, *byPath; // null: unset
    int32_t mode;
  } cases[] = {
      {nullptr, nullptr, 0},  {"1", "2", 1},
      {"", "2", 2}, // empty is not found
      {nullptr, "1", 1},      {"0x2", nullptr, 2},
      {"  \t+2", nullptr, 2}, {"7", nullptr, 7},
      {"-1", "2", -1},        {"heap", "2", 0},          // found, but no number
      {nullptr, "junk", 0},   {tooLong.c_str(), "2", 0}, // too long to be read: no number
  };
  for (const auto& c : cases) {
    SetEnvironmentVariableA("_Heap_Mgr_", c.heapMgr);
    SetEnvironmentVariableA(PathVariable().c_str(), c.byPath);
    EXPECT_EQ(ReadMemMode(), c.mode)
        << (c.heapMgr ? c.heapMgr : "-") << (c.byPath ? c.byPath : "-");
  }
}

TEST_F(MemTest, InitMemReadsTheModeOnceUntilDoneMem) {
  Start("2");
  SetEnvironmentVariableA("_Heap_Mgr_", "1");
  InitMem(); // already running: nothing changes
  EXPECT_EQ(MemState.MemMode, 2);
  DoneMem();
  InitMem();
  EXPECT_EQ(MemState.MemMode, 1);
}

// Unset is the pool's mode.
TEST_F(MemTest, EveryModeGivesDistinctUsableBlocks) {
  for (const char* heapMgr : {"1", "2", static_cast<const char*>(nullptr), "-1"}) {
    Start(heapMgr);
    std::vector<char*> blocks;
    for (uint32_t size : {0u, 0u, 1u, 3u, 4u, 12u, 4095u, 4096u, 100000u}) {
      auto* block = static_cast<char*>(AllocMem(size));
      ASSERT_NE(block, nullptr) << heapMgr << " size " << size;
      EXPECT_EQ(reinterpret_cast<uintptr_t>(block) % 4, 0u);
      std::memset(block, 0x5A, size == 0 ? 1 : size); // size 0 still gives a usable byte
      blocks.push_back(block);
    }
    EXPECT_EQ(std::set<char*>(blocks.begin(), blocks.end()).size(), blocks.size());
    for (char* block : blocks) FreeMem(block);
    FreeMem(nullptr);
    Reset();
  }
}

// Before InitMem and in page mode: a reservation of whole pages per block, the size in front.
TEST_F(MemTest, PageBlocksAreReservationsOfWholePages) {
  const uint32_t page = SystemPageSize();
  const uint32_t largest = 0xFFFFFFFFu - kPageHeader - (page - 1);
  const struct {
    uint32_t n, bytes; // bytes 0: refused, the 32-bit size would wrap
  } cases[] = {{0, page},           {page - kPageHeader, page}, {page - kPageHeader + 1, 2 * page},
               {largest, 0 - page}, {largest + 1, 0},           {0xFFFFFFFFu, 0}};
  for (const char* heapMgr : {"", "1"}) {
    if (*heapMgr != 0) Start(heapMgr);
    for (const auto& c : cases) {
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
    EXPECT_EQ(Read(), Counters{}) << "page mode keeps no statistics";
  }
}

TEST_F(MemTest, HeapModeCountsBlocksBytesAndPeaks) {
  Start("2");
  const struct {
    int alloc, index;             // bytes to allocate, or -1 to free the block of step `index`
    std::array<uint32_t, 5> want; // counters 0 to 4
  } steps[] = {
      {0, 0, {1, 1, 1, 1, 1}}, // size 0 counts as 1 byte
      {10, 0, {2, 2, 11, 11, 2}}, {300, 0, {3, 3, 311, 311, 3}}, {-1, 2, {2, 3, 11, 311, 3}},
      {5, 0, {3, 3, 16, 311, 4}}, {-1, 0, {2, 3, 15, 311, 4}},   {-1, 1, {1, 3, 5, 311, 4}},
      {-1, 4, {0, 3, 0, 311, 4}},
  };
  std::vector<void*> blocks;
  for (const auto& s : steps) {
    if (s.alloc >= 0) {
      blocks.push_back(AllocMem(static_cast<uint32_t>(s.alloc)));
      ASSERT_NE(blocks.back(), nullptr);
    } else {
      FreeMem(blocks[s.index]);
      blocks.push_back(nullptr);
    }
    const Counters counters = Read();
    for (int i = 0; i < 5; ++i) EXPECT_EQ(counters[i], s.want[i]) << "step " << blocks.size();
    for (uint32_t i = 5; i < kMemCounterCount; ++i) EXPECT_EQ(counters[i], 0u);
  }
}

// Without the lock the counters race and do not come back to 0.
TEST_F(MemTest, HeapCountersStayExactUnderThreads) {
  Start("2");
  EnableMemLocks();
  constexpr int kThreads = 4, kRounds = 20000;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([t] {
      for (int i = 0; i < kRounds; ++i) FreeMem(AllocMem(static_cast<uint32_t>(t + 1)));
    });
  for (auto& thread : threads) thread.join();
  const Counters counters = Read();
  EXPECT_EQ(counters[kMemBlocksInUse], 0u);
  EXPECT_EQ(counters[kMemBytesInUse], 0u);
  EXPECT_EQ(counters[kMemAllocations], uint32_t{kThreads * kRounds});
}

TEST_F(MemTest, AfterDoneMemBlocksComeFromPages) {
  Start("2");
  void* heapBlock = AllocMem(24);
  DoneMem();
  FreeMem(heapBlock); // a heap block now goes to the page release, which refuses it
  auto* block = static_cast<char*>(AllocMem(0));
  ASSERT_NE(block, nullptr);
  EXPECT_EQ((reinterpret_cast<uintptr_t>(block) - kPageHeader) % 0x10000, 0u);
  EXPECT_EQ(Read(), Counters{});
  FreeMem(block);
  EXPECT_TRUE(HeapFree(GetProcessHeap(), 0, heapBlock)) << "the heap block was left alone";
}

TEST_F(MemTest, StringCopiesAreNewBlocksWithRoomBehind) {
  const std::string longText(300, 'x');
  for (const char* heapMgr : {"1", "2"}) {
    Start(heapMgr);
    for (const char* text : {"", "a", "Calvisto", longText.c_str()}) {
      char* copy = DupString(text);
      ASSERT_NE(copy, nullptr);
      EXPECT_TRUE(copy != text && copy != EmptyString) << "an empty text is copied too";
      EXPECT_STREQ(copy, text);
      FreeString(copy);
      for (uint32_t extra : {0u, 1u, 100u}) {
        char* room = DupStringExtra(text, extra);
        ASSERT_NE(room, nullptr);
        EXPECT_STREQ(room, text);
        std::memset(room + std::strlen(text) + 1, '#', extra); // the room is writable
        FreeString(room);
      }
    }
    EXPECT_EQ(Read()[kMemBlocksInUse], 0u) << heapMgr;
    const Counters before = Read();
    EXPECT_EQ(DupString(nullptr), nullptr);
    EXPECT_EQ(DupStringExtra(nullptr, 4), nullptr);
    FreeString(nullptr);
    FreeString(EmptyString);
    EXPECT_STREQ(EmptyString, "");
    EXPECT_EQ(DupStringExtra("abc", 0xFFFFFFFFu), nullptr) << "room beyond 32 bits";
    EXPECT_EQ(Read(), before);
    Reset();
  }
}

#ifndef _WIN32
// A copy falls back to EmptyString, one with room to write in to null.
TEST_F(MemTest, RefusedAllocationsGiveNullAndTheRunGoesOn) {
  using winposix::FailPoint;
  const std::pair<const char*, FailPoint> cases[] = {{"1", FailPoint::VirtualAlloc},
                                                     {"2", FailPoint::HeapAlloc},
                                                     {nullptr, FailPoint::VirtualAlloc}};
  for (const auto& [heapMgr, point] : cases) {
    Start(heapMgr);
    const Counters before = Read();
    winposix::FailNth(point, 1, true);
    EXPECT_EQ(AllocMem(16), nullptr);
    EXPECT_EQ(DupString("text"), EmptyString);
    EXPECT_EQ(DupStringExtra("text", 8), nullptr);
    EXPECT_EQ(Read(), before) << "a refused block is not counted";
    winposix::ClearFailures();
    void* block = AllocMem(16);
    EXPECT_NE(block, nullptr);
    FreeMem(block);
    Reset();
  }
}

TEST_F(MemTest, HeapModeWithoutItsRecordGivesNothingUntilDoneMem) {
  winposix::FailNth(winposix::FailPoint::VirtualAlloc, 1);
  Start("2");
  EXPECT_EQ(AllocMem(8), nullptr);
  char stack[32] = {};
  FreeMem(stack + 16); // ignored, not handed to any release
  EnableMemLocks();
  EXPECT_EQ(Read(), Counters{});
  DoneMem();
  void* block = AllocMem(8);
  EXPECT_NE(block, nullptr);
  FreeMem(block);
}
#endif

} // namespace
