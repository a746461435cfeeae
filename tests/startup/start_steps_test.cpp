#include "runtime/startup/affinity_option.h"
#include "runtime/startup/io_stats.h"
#include "runtime/startup/options.h"
#include "runtime/startup/start_steps.h"
#include "tests/startup/state.h"
#include "tests/support/std_capture.h"

#include <filesystem>
#include <fstream>
#include <regex>

namespace {

namespace fs = std::filesystem;

template <size_t N> std::string Opt(const ScrambledName<N>& name, const char* value = nullptr) {
  return "-~" + std::string(PlainName(name)) + (value ? std::string(":") + value : "");
}

// The lines a step writes to standard error.
std::vector<std::string> Lines(void (*step)()) {
  Capture capture(STD_ERROR_HANDLE);
  step();
  std::string all;
  for (const std::string& write : capture.Finish()) all += write;
  std::vector<std::string> lines;
  size_t at = 0;
  for (size_t end; (end = all.find("\r\n", at)) != std::string::npos; at = end + 2)
    lines.push_back(all.substr(at, end - at));
  if (at < all.size()) lines.push_back(all.substr(at) + "<no line end>");
  return lines;
}

class StartSteps : public StartupTest {
protected:
  void TearDown() override {
    RuntimeState.ProcessorClass = 0;
    OsVersion = savedVersion_;
    StartupTest::TearDown();
  }

private:
  OsVersionRecord savedVersion_ = OsVersion;
};

TEST_F(StartSteps, ProcessorClassDisplayAndOverride) {
  SetRuntimeTag();
  const std::string tag = RuntimeState.RuntimeTag;
  ASSERT_EQ(tag.size(), 3u);
  for (char c : tag) EXPECT_TRUE(c > ' ' && c < 127) << tag;
  const struct {
    const char *value, *after; // no value: the option without one; no after: no override
  } cases[] = {{"0x200", ": 00000200"}, {"513", ": 00000201"}, {"0", nullptr},    {"abc", nullptr},
               {"12x", nullptr},        {"", nullptr},         {nullptr, nullptr}};
  for (const auto& c : cases) {
    for (bool shown : {false, true}) {
      SetOptions({Opt(kOptCpuClass, c.value), shown ? Opt(kOptShowCpuClass) : "-~Other"});
      RuntimeState.ProcessorClass = 0x80;
      std::vector<std::string> want;
      if (shown) want.push_back(tag + ": 00000080");
      if (shown && c.after) want.push_back(tag + c.after);
      EXPECT_EQ(Lines(ShowProcessorClass), want) << (c.value ? c.value : "null");
      EXPECT_EQ(RuntimeState.ProcessorClass, c.after ? std::stoul(c.after + 2, nullptr, 16) : 0x80);
    }
  }
}

TEST_F(StartSteps, NoticeShownWhenAskedAndItsLookupIsNeverTraced) {
  for (bool given : {true, false}) {
    SetOptions(given ? std::vector<std::string>{Opt(kOptNotice)} : std::vector<std::string>{});
    RuntimeState.OptionTrace = true;
    size_t notices = 0;
    for (const std::string& line : Lines(ShowNotice)) {
      EXPECT_NE(line, "Checking: " + Opt(kOptNotice));
      // Other lookups, such as the error copy's for the trace line, are traced as usual.
      notices += line.rfind("Checking: -~", 0) != 0;
    }
    EXPECT_EQ(notices, given ? 1u : 0u);
  }
}

TEST_F(StartSteps, ArgumentDumpShowsArgsThenTheOptions) {
  SetOptions({Opt(kOptArgDump), "-~Other:1:2"});
  RuntimeState.Args[0] = DupString("C:\\prog.exe");
  RuntimeState.Args[2] = DupString("-x");
  RuntimeState.ArgCount = 3; // the middle copy failed
  EXPECT_EQ(
      Lines(DumpArguments),
      (std::vector<std::string>{"C:\\prog.exe", "", "-x", "===", Opt(kOptArgDump), "-~Other:1:2"}));
  SetOptions({"-~Other"});
  EXPECT_EQ(Lines(DumpArguments), std::vector<std::string>{});
}

TEST_F(StartSteps, IoStatsReportShowsTheTenCountersOnce) {
  SetOptions({Opt(kOptIoStats)});
  RuntimeState.IoStats[4] = 99;
  EnableIoStats();
  ASSERT_TRUE(RuntimeState.IoStatsOn);
  EXPECT_FALSE(RuntimeState.SlowReadOn);
  EXPECT_EQ(RuntimeState.IoStats[4], 0u);
  const uint64_t counters[kIoStatCount] = {
      1, 0, 22, 0, 333, 0, 4294967296ull, 18446744073709551615ull, 5, 1234567890123ull};
  std::string expected, shown;
  for (uint32_t i = 0; i < kIoStatCount; ++i)
    expected += std::to_string(RuntimeState.IoStats[i] = counters[i]) + " ";
  const std::vector<std::string> lines = Lines(ReportIoStats);
  ASSERT_EQ(lines.size(), 1u);
  const std::regex number("[0-9]+");
  for (auto it = std::sregex_iterator(lines[0].begin(), lines[0].end(), number);
       it != std::sregex_iterator(); ++it)
    shown += it->str() + " ";
  EXPECT_EQ(shown, expected) << lines[0];
  EXPECT_FALSE(RuntimeState.IoStatsOn);
  EXPECT_EQ(Lines(ReportIoStats), std::vector<std::string>{});

  SetOptions({Opt(kOptSlowRead)});
  EnableIoStats();
  EXPECT_TRUE(RuntimeState.SlowReadOn);
  EXPECT_FALSE(RuntimeState.IoStatsOn);
}

DWORD_PTR CurrentMask() {
  DWORD_PTR process = 0, system = 0;
  GetProcessAffinityMask(GetCurrentProcess(), &process, &system);
  return process;
}

TEST_F(StartSteps, AffinityOptionParsingAndPlatform) {
  const DWORD_PTR mask = CurrentMask(), first = mask & (~mask + 1);
  const DWORD_PTR second = (mask & ~first) & (~(mask & ~first) + 1);
  if (second == 0) GTEST_SKIP() << "needs two processors";
  const std::string b = std::to_string(second);
  char hex[32];
  snprintf(hex, sizeof hex, "0x%llx", static_cast<unsigned long long>(first | second));
  const struct {
    int32_t platform;
    std::string option;
    DWORD_PTR expected;
  } cases[] = {
      {kPlatformNT, Opt(kOptProcessAffinity, b.c_str()), second},
      {kPlatformNT, Opt(kOptProcessAffinity, hex), first | second},
      {kPlatformNT, Opt(kOptProcessAffinity, (b + "x").c_str()), first},
      {kPlatformNT, Opt(kOptProcessAffinity, "junk"), first},
      {kPlatformNT, Opt(kOptProcessAffinity, ""), first},
      {kPlatformNT, Opt(kOptProcessAffinity), first},
      {kPlatformNT, "-~Other:" + b, first},
      {kPlatformWindows9x, Opt(kOptProcessAffinity, b.c_str()), first},
      {kPlatformWin32s, Opt(kOptProcessAffinity, b.c_str()), first},
  };
  for (const auto& c : cases) {
    ASSERT_TRUE(SetProcessAffinityMask(GetCurrentProcess(), first));
    OsVersion.Platform = c.platform;
    SetOptions({c.option});
    ApplyAffinityOption();
    EXPECT_EQ(CurrentMask(), c.expected) << c.option << " platform " << c.platform;
  }
  SetProcessAffinityMask(GetCurrentProcess(), mask);
}

TEST_F(StartSteps, WorkingDirectoryOnlyForADirectory) {
  const fs::path start = fs::current_path();
  const fs::path dir =
      fs::temp_directory_path() / ("cv-wd-" + std::to_string(GetCurrentProcessId()));
  fs::create_directories(dir / "sub");
  std::ofstream(dir / "file") << "x";
  const struct {
    fs::path path;
    bool changes;
  } cases[] = {{dir / "sub", true},
               {"sub", true},
               {dir / "file", false},
               {dir / "missing", false},
               {"", false}};
  for (const auto& c : cases) {
    fs::current_path(dir);
    SetOptions({Opt(kOptWorkDir, c.path.string().c_str())});
    EnterWorkingDirectory();
    EXPECT_EQ(fs::equivalent(fs::current_path(), dir / "sub"), c.changes) << c.path;
  }
  fs::current_path(start);
  fs::remove_all(dir);
}

} // namespace
