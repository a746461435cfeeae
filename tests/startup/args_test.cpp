#include "runtime/startup/args.h"
#include "runtime/startup/options.h"
#include "runtime/startup/start_delay.h"
#include "tests/startup/state.h"
#include "tests/support/std_capture.h"
#include "tests/text/rows.h"
#ifndef _WIN32
#include "winposix/testctl.h"
#endif

namespace {

std::vector<std::string> Split(const char* text, uint32_t capacity, bool* overflow = nullptr) {
  std::vector<char*> slots(capacity + 1, reinterpret_cast<char*>(1));
  uint32_t count = 0;
  SplitArgs(text, slots.data(), capacity, &count, overflow);
  std::vector<std::string> args;
  for (uint32_t i = 0; i < count; ++i) args.push_back(slots[i] ? slots[i] : "<null>");
  for (uint32_t i = 0; i < count; ++i) FreeMem(slots[i]);
  for (uint32_t i = count; i < capacity; ++i) EXPECT_EQ(slots[i], nullptr) << "slot " << i;
  EXPECT_EQ(slots[capacity], reinterpret_cast<char*>(1)) << "written past the slots";
  return args;
}

TEST(SplitArgs, QuotingBlanksAndOverflow) {
  for (const Row& row : ReadRows(__FILE__, "split_args.tsv")) {
    std::vector<std::string> want;
    for (size_t i = 1; i < row.size(); ++i) want.push_back(*row[i]);
    EXPECT_EQ(Split(Text(row[0]), 8), want) << Text(row[0]);
  }
#ifndef _WIN32
  // The layer's command line gives back, split, the arguments the process was started with.
  for (const std::vector<std::string>& args :
       std::vector<std::vector<std::string>>{{"prog", "a\"b c\"d"},
                                             {"", " ", "\t", "\""},
                                             {"C:\\dir\\", "x y\\"},
                                             {"\\\"", "\\\\\" \\", "a\\\\b"}})
    EXPECT_EQ(Split(winposix::CommandLineOf(args).c_str(), 8), args);
#endif
  bool overflow = false;
  EXPECT_EQ(Split("a b c d", 2, &overflow), (std::vector<std::string>{"a", "b"}));
  EXPECT_TRUE(overflow);
  EXPECT_EQ(Split("a b", 2, &overflow).size(), 2u);
  EXPECT_FALSE(overflow);
}

TEST(StartDelay, Grammar) {
  for (const Row& row : ReadRows(__FILE__, "start_delay.tsv")) {
    uint32_t ms = 12345;
    const char* text = Text(row[0]);
    EXPECT_EQ(ParseStartDelay(text, &ms), *row[1] == "1") << (text ? text : "null");
    EXPECT_EQ(ms, *row[2] == "max" ? kLongestStartDelayMs : std::stoul(*row[2])) << *row[2];
  }
}

using Options = StartupTest;

TEST_F(Options, MovedOutOfTheArgumentsKeepingBothOrders) {
  const struct {
    const char* line;
    std::vector<std::string> args, options;
    bool trace;
  } cases[] = {
      {"prog -~Alpha -x -~Beta:1:2 y", {"prog", "-x", "y"}, {"-~Alpha", "-~Beta:1:2"}, false},
      {"-~prog -~SysArgDbg -~SysArgDbgX", {"-~prog"}, {"-~SysArgDbg", "-~SysArgDbgX"}, true},
  };
  for (const auto& c : cases) {
    Reset();
    SplitArgs(c.line, RuntimeState.Args, kMaxArgs, &RuntimeState.ArgCount, nullptr);
    MoveOptions();
    EXPECT_EQ(List(RuntimeState.Args, RuntimeState.ArgCount), c.args);
    EXPECT_EQ(RuntimeState.Args[RuntimeState.ArgCount], nullptr);
    EXPECT_EQ(List(RuntimeState.OptionList, RuntimeState.OptionCount), c.options);
    EXPECT_EQ(RuntimeState.OptionTrace, c.trace);
  }
}

TEST_F(Options, BeyondTheListLeaveTheArgumentsAndAreReleased) {
  // Heap mode counts the blocks in use, so a dropped option that is not released shows.
  DoneMem();
  SetEnvironmentVariableA("_Heap_Mgr_", "2");
  InitMem();
  MemStats before, after;
  GetMemStats(&before);
  std::string line = "prog";
  for (int i = 0; i < 250; ++i) line += " -~o" + std::to_string(i);
  SplitArgs((line + " keep").c_str(), RuntimeState.Args, kMaxArgs, &RuntimeState.ArgCount, nullptr);
  for (uint32_t i = 0; i < kMaxOptions - 10; ++i) // so that the command line's overflow it
    RuntimeState.OptionList[RuntimeState.OptionCount++] = DupString("-~pre");
  MoveOptions();
  EXPECT_EQ(RuntimeState.OptionCount, kMaxOptions);
  EXPECT_EQ(List(RuntimeState.Args, RuntimeState.ArgCount),
            (std::vector<std::string>{"prog", "keep"}));
  EXPECT_STREQ(RuntimeState.OptionList[kMaxOptions - 1], "-~o9");
  Reset();
  GetMemStats(&after);
  EXPECT_EQ(after.Counter[kMemBlocksInUse], before.Counter[kMemBlocksInUse]);
  EXPECT_EQ(after.Counter[kMemBytesInUse], before.Counter[kMemBytesInUse]);
  DoneMem();
  SetEnvironmentVariableA("_Heap_Mgr_", nullptr);
}

TEST_F(Options, FoundByExactNameFirstMatchWins) {
  SetOptions({"-~Alpha", "-~Beta:1:2", "-~Gamma:", "-~Beta:second", "-~", "-~Alphabet"});
  RuntimeState.OptionList[RuntimeState.OptionCount++] = nullptr; // a failed copy
  const struct {
    const char *name, *value; // no value: not found
  } cases[] = {{"Alpha", ""},      {"Beta", "1:2"},   {"Gamma", ""},      {"Alphabet", ""},
               {"alpha", nullptr}, {"Alph", nullptr}, {"Delta", nullptr}, {nullptr, nullptr}};
  for (const auto& c : cases) {
    const char* value = "untouched";
    EXPECT_EQ(FindOption(c.name, &value, 0), c.value != nullptr) << (c.name ? c.name : "null");
    EXPECT_EQ(FindOption(c.name, nullptr, 0), c.value != nullptr);
    EXPECT_STREQ(value, c.value);
  }
  SetOptions({"-~Timing", "-~WorkDir:/tmp/x"}); // scrambled names are unscrambled first
  const char* value = nullptr;
  EXPECT_TRUE(HasOption(kOptTiming));
  EXPECT_TRUE(HasOption(kOptWorkDir, &value));
  EXPECT_STREQ(value, "/tmp/x");
  EXPECT_FALSE(HasOption(kOptNoMain));
  EXPECT_FALSE(FindOption("Timing", nullptr, kFindUnscramble));
}

TEST_F(Options, TracedLookupsShowTheirPlainName) {
  SetOptions({"-~Alpha"});
  RuntimeState.OptionTrace = true;
  Capture error(STD_ERROR_HANDLE);
  FindOption("Alpha", nullptr, 0);
  HasOption(kOptQuiet);
  FindOption("Hidden", nullptr, kFindUnscramble | kFindNoTrace);
  std::string all;
  for (const std::string& write : error.Finish()) all += write;
  EXPECT_EQ(all, "Checking: -~Alpha\r\nChecking: -~Quiet\r\n");
}

TEST_F(Options, EnvironmentOptionsComeAfterTheCommandLine) {
  SetOptions({"-~Alpha:cmd"});
  SetEnvironmentVariableA("_GlobSysArgs_", "-~Alpha:env junk \"-~Path:C:\\My Files\" -~SysArgDbg");
  AddEnvOptions();
  EXPECT_EQ(List(RuntimeState.OptionList, RuntimeState.OptionCount),
            (std::vector<std::string>{"-~Alpha:cmd", "-~Alpha:env", "-~Path:C:\\My Files",
                                      "-~SysArgDbg"}));
  EXPECT_FALSE(RuntimeState.OptionTrace);
  // A value too long adds nothing; a full list takes what fits.
  SetOptions({});
  SetEnvironmentVariableA("_GlobSysArgs_", ("-~Long:" + std::string(1100, 'x')).c_str());
  AddEnvOptions();
  EXPECT_EQ(RuntimeState.OptionCount, 0u);
  SetOptions(std::vector<std::string>(kMaxOptions - 1, "-~Fill"));
  SetEnvironmentVariableA("_GlobSysArgs_", "-~Last -~Dropped");
  AddEnvOptions();
  EXPECT_EQ(RuntimeState.OptionCount, kMaxOptions);
  EXPECT_STREQ(RuntimeState.OptionList[kMaxOptions - 1], "-~Last");
}

} // namespace
