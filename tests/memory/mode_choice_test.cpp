#include "mem_fixture.h"

namespace {

using memtest::MemTest;
using memtest::PathVariable;
using memtest::SetVariable;

class ModeChoice : public MemTest {};

TEST_F(ModeChoice, HeapMgrFirstThenThePathVariable) {
  const std::string tooLong(100, '2');
  struct Case {
    const char* heapMgr; // null: unset
    const char* byPath;
    int32_t mode;
  } cases[] = {
      {nullptr, nullptr, 0},
      {"1", "2", 1},             // the first found wins
      {"", "2", 2},              // empty is not found
      {nullptr, "1", 1},         //
      {"0x2", nullptr, 2},       //
      {"  \t+2", nullptr, 2},    // blanks and a sign
      {"7", nullptr, 7},         //
      {"-1", "2", -1},           //
      {"heap", "2", 0},          // found, but no number
      {nullptr, "junk", 0},      //
      {tooLong.c_str(), "2", 0}, // found, but too long to be read: no number
  };
  for (const Case& c : cases) {
    SetVariable("_Heap_Mgr_", c.heapMgr);
    SetVariable(PathVariable(), c.byPath);
    EXPECT_EQ(ReadMemMode(), c.mode)
        << (c.heapMgr ? c.heapMgr : "unset") << " / " << (c.byPath ? c.byPath : "unset");
  }
}

TEST_F(ModeChoice, InitMemReadsTheModeOnceUntilDoneMem) {
  Start("2");
  EXPECT_EQ(MemState.MemMode, 2);
  SetVariable("_Heap_Mgr_", "1");
  InitMem(); // already running: nothing changes
  EXPECT_EQ(MemState.MemMode, 2);
  void* block = AllocMem(8);
  EXPECT_EQ(memtest::Counters()[kMemBlocksInUse], 1u);
  FreeMem(block);
  DoneMem();
  InitMem();
  EXPECT_EQ(MemState.MemMode, 1);
}

} // namespace
