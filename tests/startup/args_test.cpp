#include "runtime/memory/memory.h"
#include "runtime/startup/args.h"
#include "runtime/startup/runtime_state.h"
#include "winposix/win32.h"
#ifndef _WIN32
#include "winposix/testctl.h"
#endif

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::vector<std::string> Split(const char* text, uint32_t capacity, bool* overflow = nullptr) {
  std::vector<char*> slots(capacity + 1, reinterpret_cast<char*>(1));
  uint32_t count = 0;
  SplitArgs(text, slots.data(), capacity, &count, overflow);
  std::vector<std::string> args;
  for (uint32_t i = 0; i < count; ++i) {
    args.push_back(slots[i] != nullptr ? slots[i] : "<null>");
    FreeMem(slots[i]);
  }
  for (uint32_t i = count; i < capacity; ++i) EXPECT_EQ(slots[i], nullptr) << "slot " << i;
  EXPECT_EQ(slots[capacity], reinterpret_cast<char*>(1)) << "written past the slots";
  return args;
}

TEST(SplitArgs, QuotingAndBlanks) {
  struct Case {
    const char* text;
    std::vector<std::string> args;
  } cases[] = {
      {"prog  -a \"b c\"d \"\" e", {"prog", "-a", "b cd", "", "e"}},
      {nullptr, {}},
      {"", {}},
      {" \t ", {}},
      {"\tone\t two ", {"one", "two"}},
      {"a\"b c", {"ab c"}}, // an unclosed quote runs to the end
      {"-~Path:\"C:\\My Files\"", {"-~Path:C:\\My Files"}},
      {"a\\b\\\\c \"d\\ e\"", {"a\\b\\\\c", "d\\ e"}}, // plain without a quote
      {"a\\\"b \"c\\\\\" d\"", {"a\"b", "c\\", "d"}},  // odd: a plain quote; even: halved
      {"\"x\\\\\\\" y\"", {"x\\\" y"}},
  };
  for (const Case& c : cases) EXPECT_EQ(Split(c.text, 8), c.args) << (c.text ? c.text : "null");
}

#ifndef _WIN32
// The layer's command line gives back, split, the arguments the process was started with.
TEST(SplitArgs, UndoesTheLayersQuoting) {
  const std::vector<std::string> cases[] = {
      {"prog", "a\"b c\"d"},
      {"", " ", "\t", "\""},
      {"C:\\dir\\", "x y\\"},
      {"\\\"", "\\\\\" \\", "a\\\\b"},
  };
  for (const std::vector<std::string>& args : cases) {
    const std::string line = winposix::CommandLineOf(args);
    EXPECT_EQ(Split(line.c_str(), 8), args) << line;
  }
}
#endif

TEST(SplitArgs, DropsWhatDoesNotFit) {
  bool overflow = false;
  EXPECT_EQ(Split("a b c d", 2, &overflow), (std::vector<std::string>{"a", "b"}));
  EXPECT_TRUE(overflow);
  EXPECT_EQ(Split("a b", 2, &overflow).size(), 2u);
  EXPECT_FALSE(overflow);
}

class MoveOptionsTest : public ::testing::Test {
protected:
  void SetUp() override { Reset(); }
  void TearDown() override { Reset(); }
  void Reset() {
    for (char*& a : RuntimeState.Args) FreeMem(a), a = nullptr;
    for (char*& o : RuntimeState.OptionList) FreeMem(o), o = nullptr;
    RuntimeState.ArgCount = RuntimeState.OptionCount = 0;
    RuntimeState.OptionTrace = false;
  }
  void Load(const char* line) {
    SplitArgs(line, RuntimeState.Args, kMaxArgs, &RuntimeState.ArgCount, nullptr);
    MoveOptions();
  }
  static std::vector<std::string> List(char** slots, uint32_t count) {
    return std::vector<std::string>(slots, slots + count);
  }
};

TEST_F(MoveOptionsTest, SeparatesOptionsKeepingBothOrders) {
  Load("prog -~Alpha -x -~Beta:1:2 y");
  EXPECT_EQ(List(RuntimeState.Args, RuntimeState.ArgCount),
            (std::vector<std::string>{"prog", "-x", "y"}));
  EXPECT_EQ(RuntimeState.Args[RuntimeState.ArgCount], nullptr);
  EXPECT_EQ(List(RuntimeState.OptionList, RuntimeState.OptionCount),
            (std::vector<std::string>{"-~Alpha", "-~Beta:1:2"}));
  EXPECT_FALSE(RuntimeState.OptionTrace);
}

TEST_F(MoveOptionsTest, FirstArgumentStaysAndTraceSwitch) {
  Load("-~prog -~SysArgDbg -~SysArgDbgX");
  EXPECT_EQ(List(RuntimeState.Args, RuntimeState.ArgCount), (std::vector<std::string>{"-~prog"}));
  EXPECT_EQ(RuntimeState.OptionCount, 2u);
  EXPECT_TRUE(RuntimeState.OptionTrace);
}

TEST_F(MoveOptionsTest, OptionsBeyondTheListLeaveTheArgumentsAndAreReleased) {
  // Heap mode counts the blocks in use, so a dropped option that is not released shows.
  SetEnvironmentVariableA("_Heap_Mgr_", "2");
  InitMem();
  MemStats before;
  GetMemStats(&before);
  std::string line = "prog";
  for (int i = 0; i < 250; ++i) line += " -~o" + std::to_string(i);
  line += " keep";
  SplitArgs(line.c_str(), RuntimeState.Args, kMaxArgs, &RuntimeState.ArgCount, nullptr);
  RuntimeState.OptionCount = 0;
  // Fill the list first so the command line's options overflow it.
  for (uint32_t i = 0; i < kMaxOptions - 10; ++i)
    RuntimeState.OptionList[RuntimeState.OptionCount++] = DupString("-~pre");
  MoveOptions();
  EXPECT_EQ(RuntimeState.OptionCount, kMaxOptions);
  EXPECT_EQ(List(RuntimeState.Args, RuntimeState.ArgCount),
            (std::vector<std::string>{"prog", "keep"}));
  EXPECT_STREQ(RuntimeState.OptionList[kMaxOptions - 1], "-~o9");
  Reset();
  MemStats after;
  GetMemStats(&after);
  EXPECT_EQ(after.Counter[kMemBlocksInUse], before.Counter[kMemBlocksInUse]);
  EXPECT_EQ(after.Counter[kMemBytesInUse], before.Counter[kMemBytesInUse]);
  DoneMem();
  SetEnvironmentVariableA("_Heap_Mgr_", nullptr);
}

} // namespace
