#include "runtime/memory/memory.h"
#include "runtime/startup/affinity_option.h"
#include "runtime/startup/io_stats.h"
#include "runtime/startup/options.h"
#include "runtime/startup/runtime_state.h"
#include "runtime/startup/start_steps.h"
#include "tests/support/std_capture.h"
#include "winposix/win32.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <regex>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

template <size_t N> std::string Opt(const ScrambledName<N>& name, const char* value = nullptr) {
  std::string text = "-~" + std::string(PlainName(name));
  if (value != nullptr) text += std::string(":") + value;
  return text;
}

// The lines a step writes to standard error.
std::vector<std::string> Lines(const std::function<void()>& step) {
  Capture capture(STD_ERROR_HANDLE);
  step();
  std::string all;
  for (const std::string& write : capture.Finish()) all += write;
  std::vector<std::string> lines;
  for (size_t at = 0; at < all.size();) {
    const size_t end = all.find("\r\n", at);
    if (end == std::string::npos) {
      lines.push_back(all.substr(at) + "<no line end>");
      break;
    }
    lines.push_back(all.substr(at, end - at));
    at = end + 2;
  }
  return lines;
}

class StartSteps : public ::testing::Test {
protected:
  void SetUp() override {
    savedVersion_ = OsVersion;
    RuntimeState.ModuleBase = GetModuleHandleA(nullptr); // a console program: lines on stderr
  }
  void TearDown() override {
    SetOptions({});
    for (char*& arg : RuntimeState.Args) FreeMem(arg), arg = nullptr;
    RuntimeState.ArgCount = 0;
    RuntimeState.OptionTrace = false;
    RuntimeState.IoStatsOn = RuntimeState.SlowReadOn = false;
    RuntimeState.ProcessorClass = 0;
    OsVersion = savedVersion_;
  }
  static void SetOptions(const std::vector<std::string>& options) {
    for (uint32_t i = 0; i < RuntimeState.OptionCount; ++i) FreeMem(RuntimeState.OptionList[i]);
    RuntimeState.OptionCount = 0;
    for (const std::string& option : options)
      RuntimeState.OptionList[RuntimeState.OptionCount++] = DupString(option.c_str());
  }

private:
  OsVersionRecord savedVersion_;
};

TEST_F(StartSteps, ProcessorClassDisplayAndOverride) {
  SetRuntimeTag();
  const std::string tag = RuntimeState.RuntimeTag;
  ASSERT_EQ(tag.size(), 3u);
  for (char c : tag) EXPECT_TRUE(c > ' ' && c < 127) << tag;
  const std::string show = Opt(kOptShowCpuClass);
  struct Case {
    std::vector<std::string> options;
    std::vector<std::string> lines; // behind the tag
    uint32_t finalClass;
  } cases[] = {
      {{show}, {": 00000080"}, 0x80},
      {{show, Opt(kOptCpuClass, "0x200")}, {": 00000080", ": 00000200"}, 0x200},
      {{Opt(kOptCpuClass, "0x200")}, {}, 0x200},
      {{Opt(kOptCpuClass, "513"), show}, {": 00000080", ": 00000201"}, 513},
      {{show, Opt(kOptCpuClass, "0")}, {": 00000080"}, 0x80},
      {{show, Opt(kOptCpuClass, "abc")}, {": 00000080"}, 0x80},
      {{show, Opt(kOptCpuClass, "12x")}, {": 00000080"}, 0x80},
      {{show, Opt(kOptCpuClass, "")}, {": 00000080"}, 0x80},
      {{show, Opt(kOptCpuClass)}, {": 00000080"}, 0x80},
      {{}, {}, 0x80},
  };
  for (const Case& c : cases) {
    SetOptions(c.options);
    RuntimeState.ProcessorClass = 0x80;
    std::vector<std::string> expected;
    for (const std::string& line : c.lines) expected.push_back(tag + line);
    EXPECT_EQ(Lines(ShowProcessorClass), expected) << ::testing::PrintToString(c.options);
    EXPECT_EQ(RuntimeState.ProcessorClass, c.finalClass);
  }
}

TEST_F(StartSteps, NoticeIsFortyCharactersAndItsLookupIsNeverTraced) {
  RuntimeState.OptionTrace = true;
  const std::string lookup = "Checking: " + Opt(kOptNotice);
  for (bool given : {true, false}) {
    SetOptions(given ? std::vector<std::string>{Opt(kOptNotice)} : std::vector<std::string>{});
    std::vector<std::string> notices;
    for (const std::string& line : Lines(ShowNotice)) {
      EXPECT_NE(line, lookup);
      // Other lookups, such as the error copy's for the trace line, are traced as usual.
      if (line.rfind("Checking: -~", 0) != 0) notices.push_back(line);
    }
    ASSERT_EQ(notices.size(), given ? 1u : 0u);
    if (!given) continue;
    EXPECT_EQ(notices[0].size(), 40u) << notices[0];
    for (char c : notices[0]) EXPECT_TRUE(c >= ' ' && c < 127) << notices[0];
  }
}

TEST_F(StartSteps, ArgumentDumpShowsArgsThenTheOptions) {
  RuntimeState.Args[0] = DupString("C:\\prog.exe");
  RuntimeState.Args[2] = DupString("-x");
  RuntimeState.ArgCount = 3; // the middle copy failed
  SetOptions({Opt(kOptArgDump), "-~Other:1:2"});
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
  size_t digits = 0;
  std::vector<std::string> expected;
  for (uint32_t i = 0; i < kIoStatCount; ++i) {
    RuntimeState.IoStats[i] = counters[i];
    expected.push_back(std::to_string(counters[i]));
    digits += expected.back().size();
  }
  const std::vector<std::string> lines = Lines(ReportIoStats);
  ASSERT_EQ(lines.size(), 1u);
  std::vector<std::string> shown;
  const std::regex number("[0-9]+");
  for (auto it = std::sregex_iterator(lines[0].begin(), lines[0].end(), number);
       it != std::sregex_iterator(); ++it)
    shown.push_back(it->str());
  EXPECT_EQ(shown, expected) << lines[0];
  // A 54-character format whose ten directives each take three characters.
  EXPECT_EQ(lines[0].size(), 54 - 10 * 3 + digits) << lines[0];
  EXPECT_FALSE(RuntimeState.IoStatsOn);
  EXPECT_EQ(Lines(ReportIoStats), std::vector<std::string>{});

  SetOptions({Opt(kOptSlowRead)});
  EnableIoStats();
  EXPECT_TRUE(RuntimeState.SlowReadOn);
  EXPECT_FALSE(RuntimeState.IoStatsOn);
}

// Restores the process's affinity mask however the test ends.
class AffinityGuard {
public:
  AffinityGuard() { GetProcessAffinityMask(GetCurrentProcess(), &saved_, &system_); }
  ~AffinityGuard() { SetProcessAffinityMask(GetCurrentProcess(), saved_); }
  DWORD_PTR saved() const { return saved_; }

private:
  DWORD_PTR saved_ = 0, system_ = 0;
};

DWORD_PTR CurrentMask() {
  DWORD_PTR process = 0, system = 0;
  GetProcessAffinityMask(GetCurrentProcess(), &process, &system);
  return process;
}

TEST_F(StartSteps, AffinityOptionParsingAndPlatform) {
  AffinityGuard guard;
  const DWORD_PTR mask = guard.saved();
  const DWORD_PTR first = mask & (~mask + 1);
  const DWORD_PTR second = (mask & ~first) & (~(mask & ~first) + 1);
  if (second == 0) GTEST_SKIP() << "needs two processors";
  const std::string b = std::to_string(second);
  char hex[32];
  snprintf(hex, sizeof hex, "0x%llx", static_cast<unsigned long long>(first | second));
  struct Case {
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
  for (const Case& c : cases) {
    ASSERT_TRUE(SetProcessAffinityMask(GetCurrentProcess(), first));
    OsVersion.Platform = c.platform;
    SetOptions({c.option});
    ApplyAffinityOption();
    EXPECT_EQ(CurrentMask(), c.expected) << c.option << " platform " << c.platform;
  }
}

TEST_F(StartSteps, WorkingDirectoryOnlyForADirectory) {
  const fs::path start = fs::current_path();
  const fs::path dir =
      fs::temp_directory_path() / ("calvisto-wd-" + std::to_string(GetCurrentProcessId()));
  fs::create_directories(dir / "sub");
  std::ofstream(dir / "file") << "x";
  struct Case {
    std::string value;
    bool changes;
  } cases[] = {
      {(dir / "sub").string(), true},      {"sub", true}, {(dir / "file").string(), false},
      {(dir / "missing").string(), false}, {"", false},
  };
  for (const Case& c : cases) {
    fs::current_path(dir);
    SetOptions({Opt(kOptWorkDir, c.value.c_str())});
    EnterWorkingDirectory();
    EXPECT_EQ(fs::equivalent(fs::current_path(), dir / "sub"), c.changes) << c.value;
  }
  fs::current_path(start);
  fs::remove_all(dir);
}

TEST(FileAttributes, TypesAndMissingPaths) {
  const fs::path dir =
      fs::temp_directory_path() / ("calvisto-fa-" + std::to_string(GetCurrentProcessId()));
  fs::create_directories(dir);
  std::ofstream(dir / "plain") << "x";
  std::ofstream(dir / "locked") << "x";
  const auto writable = fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write;
  fs::permissions(dir / "locked", writable, fs::perm_options::remove);
  struct Case {
    fs::path path;
    bool exists, directory, readOnly;
    DWORD error;
  } cases[] = {
      {dir, true, true, false, 0},
      {dir / "plain", true, false, false, 0},
      {dir / "locked", true, false, true, 0},
      {dir / "missing", false, false, false, ERROR_FILE_NOT_FOUND},
      {dir / "missing" / "deeper", false, false, false, ERROR_PATH_NOT_FOUND},
  };
  for (const Case& c : cases) {
    SetLastError(0);
    const DWORD attributes = GetFileAttributesA(c.path.string().c_str());
    const std::string what = c.path.string();
    if (!c.exists) {
      EXPECT_EQ(attributes, INVALID_FILE_ATTRIBUTES) << what;
      EXPECT_EQ(GetLastError(), c.error) << what;
      continue;
    }
    ASSERT_NE(attributes, INVALID_FILE_ATTRIBUTES) << what;
    EXPECT_EQ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0, c.directory) << what;
    EXPECT_EQ((attributes & FILE_ATTRIBUTE_READONLY) != 0, c.readOnly) << what;
#ifndef _WIN32
    if (!c.directory && !c.readOnly) {
      EXPECT_EQ(attributes, FILE_ATTRIBUTE_NORMAL) << what;
    }
#endif
  }
  fs::permissions(dir / "locked", writable, fs::perm_options::add);
  fs::remove_all(dir);
}

} // namespace
