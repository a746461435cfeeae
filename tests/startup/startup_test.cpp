#include "runtime/startup/affinity_option.h"
#include "runtime/startup/args.h"
#include "runtime/startup/io_stats.h"
#include "runtime/startup/options.h"
#include "runtime/startup/start_delay.h"
#include "runtime/startup/start_steps.h"
#include "tests/startup/state.h"
#include "tests/support/rows.h"

#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>

namespace {

namespace fs = std::filesystem;

Row Split(const char* text, uint32_t capacity, bool* overflow = nullptr) {
  std::vector<char*> slots(capacity + 1, reinterpret_cast<char*>(1));
  uint32_t count = 0;
  SplitArgs(text, slots.data(), capacity, &count, overflow);
  Row args;
  for (uint32_t i = 0; i < count; ++i)
    args.push_back(slots[i] ? Field(slots[i]) : Field()), FreeMem(slots[i]);
  for (uint32_t i = count; i < capacity; ++i) EXPECT_EQ(slots[i], nullptr) << "slot " << i;
  EXPECT_EQ(slots[capacity], reinterpret_cast<char*>(1)) << "written past the slots";
  return args;
}

TEST(SplitArgs, QuotingBlanksAndOverflow) {
  for (const Row& row : ReadRows(__FILE__, "split_args.tsv"))
    EXPECT_EQ(Split(Text(row[0]), 8), Row(row.begin() + 1, row.end())) << Text(row[0]);
  bool overflow = false;
  EXPECT_EQ(Split("a b c d", 2, &overflow), (Row{"a", "b"}));
  EXPECT_TRUE(overflow);
  EXPECT_EQ(Split("a b", 2, &overflow).size(), 2u);
  EXPECT_FALSE(overflow);
}

TEST(StartDelay, Grammar) {
  for (const Row& row : ReadRows(__FILE__, "start_delay.tsv")) {
    uint32_t ms = 12345;
    EXPECT_EQ(ParseStartDelay(Text(row[0]), &ms), *row[1] == "1") << Text(row[0]);
    EXPECT_EQ(ms, *row[2] == "max" ? kLongestStartDelayMs : std::stoul(*row[2])) << *row[2];
  }
}

TEST_F(StartupTest, OptionsMovedOutOfTheArgumentsKeepingBothOrders) {
  const std::tuple<const char*, Names, Names, bool> cases[] = {
      {"prog -~Alpha -x -~Beta:1:2 y", {"prog", "-x", "y"}, {"-~Alpha", "-~Beta:1:2"}, false},
      {"-~prog -~SysArgDbg -~SysArgDbgX", {"-~prog"}, {"-~SysArgDbg", "-~SysArgDbgX"}, true}};
  for (const auto& [line, args, options, trace] : cases) {
    Reset();
    SplitArgs(line, RuntimeState.Args, kMaxArgs, &RuntimeState.ArgCount, nullptr);
    MoveOptions();
    EXPECT_EQ(List(RuntimeState.Args, RuntimeState.ArgCount), args);
    EXPECT_EQ(RuntimeState.Args[RuntimeState.ArgCount], nullptr);
    EXPECT_EQ(List(RuntimeState.OptionList, RuntimeState.OptionCount), options);
    EXPECT_EQ(RuntimeState.OptionTrace, trace);
  }
}

TEST_F(StartupTest, OptionsBeyondTheListLeaveTheArgumentsAndAreReleased) {
  // Heap mode counts the blocks in use, so a dropped option that is not released shows.
  DoneMem();
  SetEnvironmentVariableA("_Heap_Mgr_", "2");
  InitMem();
  MemStats before, after;
  GetMemStats(&before);
  std::string line = "prog";
  for (int i = 0; i < 250; ++i) line += " -~o" + std::to_string(i);
  SetOptions(std::vector<std::string>(kMaxOptions - 10, "-~pre")); // the command line's overflow it
  SplitArgs((line + " keep").c_str(), RuntimeState.Args, kMaxArgs, &RuntimeState.ArgCount, nullptr);
  MoveOptions();
  EXPECT_EQ(RuntimeState.OptionCount, kMaxOptions);
  EXPECT_EQ(List(RuntimeState.Args, RuntimeState.ArgCount), (Names{"prog", "keep"}));
  EXPECT_STREQ(RuntimeState.OptionList[kMaxOptions - 1], "-~o9");
  Reset();
  GetMemStats(&after);
  EXPECT_EQ(after.Counter[kMemBlocksInUse], before.Counter[kMemBlocksInUse]);
  DoneMem();
  SetEnvironmentVariableA("_Heap_Mgr_", nullptr);
}

TEST_F(StartupTest, OptionsFoundByExactNameFirstMatchWins) {
  SetOptions({"-~Alpha", "-~Beta:1:2", "-~Gamma:", "-~Beta:second", "-~", "-~Alphabet"});
  RuntimeState.OptionList[RuntimeState.OptionCount++] = nullptr; // a failed copy
  const std::pair<const char*, const char*> cases[] = {
      // no value: not found
      {"Alpha", ""},      {"Beta", "1:2"},   {"Gamma", ""},      {"Alphabet", ""},
      {"alpha", nullptr}, {"Alph", nullptr}, {"Delta", nullptr}, {nullptr, nullptr}};
  for (const auto& [name, want] : cases) {
    const char* value = "untouched";
    EXPECT_EQ(FindOption(name, &value, 0), want != nullptr) << (name ? name : "null");
    EXPECT_EQ(FindOption(name, nullptr, 0), want != nullptr);
    EXPECT_STREQ(value, want);
  }
  RuntimeState.OptionTrace = true; // a traced lookup shows its plain name
  EXPECT_EQ(Output([] {
              FindOption("Alpha", nullptr, 0);
              HasOption(kOptQuiet);
              FindOption("Hidden", nullptr, kFindUnscramble | kFindNoTrace);
            }),
            "Checking: -~Alpha\r\nChecking: -~Quiet\r\n");
  SetOptions({"-~Timing"}); // scrambled names are unscrambled first
  EXPECT_TRUE(HasOption(kOptTiming));
  EXPECT_FALSE(FindOption("Timing", nullptr, kFindUnscramble));
}

TEST_F(StartupTest, EnvironmentOptionsComeAfterTheCommandLine) {
  SetOptions({"-~Alpha:cmd"});
  SetEnvironmentVariableA("_GlobSysArgs_", "-~Alpha:env junk \"-~Path:C:\\My Files\" -~SysArgDbg");
  AddEnvOptions();
  EXPECT_EQ(List(RuntimeState.OptionList, RuntimeState.OptionCount),
            (Names{"-~Alpha:cmd", "-~Alpha:env", "-~Path:C:\\My Files", "-~SysArgDbg"}));
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

TEST_F(StartupTest, ProcessorClassDisplayAndOverride) {
  SetRuntimeTag();
  const std::string tag = RuntimeState.RuntimeTag;
  EXPECT_TRUE(std::regex_match(tag, std::regex("[!-~]{3}"))) << tag;
  // No value: the option without one; nothing after: no override.
  const std::pair<const char*, const char*> cases[] = {
      {"0x200", ": 00000200"}, {"513", ": 00000201"}, {"0", nullptr},    {"abc", nullptr},
      {"12x", nullptr},        {"", nullptr},         {nullptr, nullptr}};
  for (const auto& [value, after] : cases)
    for (bool shown : {false, true}) {
      SetOptions({Opt(kOptCpuClass, value), shown ? Opt(kOptShowCpuClass) : "-~Other"});
      RuntimeState.ProcessorClass = 0x80;
      const std::string want =
          shown ? tag + ": 00000080\r\n" + (after ? tag + after + "\r\n" : "") : "";
      EXPECT_EQ(Output(ShowProcessorClass), want) << (value ? value : "null");
      EXPECT_EQ(RuntimeState.ProcessorClass, after ? std::stoul(after + 2, nullptr, 16) : 0x80);
    }
}

// Its own lookup is never traced; others, such as the error copy's for the line, are as usual.
TEST_F(StartupTest, NoticeShownWhenAsked) {
  for (bool given : {true, false}) {
    SetOptions({given ? Opt(kOptNotice) : "-~Other"});
    RuntimeState.OptionTrace = true;
    const std::string all = Output(ShowNotice);
    EXPECT_EQ(all.find("Checking: " + Opt(kOptNotice)), std::string::npos);
    const std::string shown = std::regex_replace(all, std::regex("Checking: -~.*\r\n"), "");
    EXPECT_EQ(std::count(shown.begin(), shown.end(), '\n'), given ? 1 : 0) << all;
  }
}

TEST_F(StartupTest, ArgumentDumpShowsArgsThenTheOptions) {
  SetOptions({Opt(kOptArgDump), "-~Other:1:2"});
  RuntimeState.Args[0] = DupString("C:\\prog.exe");
  RuntimeState.Args[2] = DupString("-x");
  RuntimeState.ArgCount = 3; // the middle copy failed
  EXPECT_EQ(Output(DumpArguments),
            "C:\\prog.exe\r\n\r\n-x\r\n===\r\n" + Opt(kOptArgDump) + "\r\n-~Other:1:2\r\n");
  SetOptions({"-~Other"});
  EXPECT_EQ(Output(DumpArguments), "");
}

TEST_F(StartupTest, IoStatsReportShowsTheTenCountersOnce) {
  SetOptions({Opt(kOptIoStats)});
  RuntimeState.IoStats[4] = 99;
  EnableIoStats();
  ASSERT_TRUE(RuntimeState.IoStatsOn);
  EXPECT_FALSE(RuntimeState.SlowReadOn);
  EXPECT_EQ(RuntimeState.IoStats[4], 0u);
  const uint64_t counters[] = {1, 0, 22, 0, 333, 0, 4294967296ull, ~0ull, 5, 1234567890123ull};
  std::copy(counters, counters + kIoStatCount, RuntimeState.IoStats);
  EXPECT_EQ(Output(ReportIoStats),
            "I/O: O 1/0 C 22/0 S 333/0 R 4294967296/18446744073709551615 W 5/1234567890123\r\n");
  EXPECT_EQ(Output(ReportIoStats), ""); // once
  SetOptions({Opt(kOptSlowRead)});
  EnableIoStats();
  EXPECT_TRUE(RuntimeState.SlowReadOn);
  EXPECT_FALSE(RuntimeState.IoStatsOn);
}

TEST_F(StartupTest, AffinityOptionParsingAndPlatform) {
  DWORD_PTR mask = 0, system = 0, now = 0;
  GetProcessAffinityMask(GetCurrentProcess(), &mask, &system);
  const DWORD_PTR first = mask & (~mask + 1), second = (mask - first) & (~(mask - first) + 1);
  if (second == 0) GTEST_SKIP() << "needs two processors";
  const std::string opt = Opt(kOptProcessAffinity), b = std::to_string(second);
  const std::string both = (std::ostringstream() << "0x" << std::hex << (first | second)).str();
  const std::tuple<int32_t, std::string, DWORD_PTR> cases[] = {
      {kPlatformNT, opt + ":" + b, second},      {kPlatformNT, opt + ":" + both, first | second},
      {kPlatformNT, opt + ":" + b + "x", first}, {kPlatformNT, opt + ":junk", first},
      {kPlatformNT, opt + ":", first},           {kPlatformNT, opt, first},
      {kPlatformNT, "-~Other:" + b, first},      {kPlatformWindows9x, opt + ":" + b, first},
      {kPlatformWin32s, opt + ":" + b, first}};
  for (const auto& [platform, option, want] : cases) {
    ASSERT_TRUE(SetProcessAffinityMask(GetCurrentProcess(), first));
    OsVersion.Platform = platform;
    SetOptions({option});
    ApplyAffinityOption();
    GetProcessAffinityMask(GetCurrentProcess(), &now, &system);
    EXPECT_EQ(now, want) << option << " platform " << platform;
  }
  SetProcessAffinityMask(GetCurrentProcess(), mask);
}

TEST_F(StartupTest, WorkingDirectoryOnlyForADirectory) {
  const fs::path start = fs::current_path();
  const fs::path dir =
      fs::temp_directory_path() / ("cv-wd-" + std::to_string(GetCurrentProcessId()));
  fs::create_directories(dir / "sub");
  std::ofstream(dir / "file") << "x";
  for (const char* path : {"sub", "file", "missing", ""}) { // only the directory is entered
    fs::current_path(dir);
    SetOptions({Opt(kOptWorkDir, path)});
    EnterWorkingDirectory();
    EXPECT_EQ(fs::equivalent(fs::current_path(), dir / "sub"), path == std::string("sub")) << path;
  }
  fs::current_path(start);
  fs::remove_all(dir);
}

} // namespace
