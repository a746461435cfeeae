#include "runtime/diag/copy_files.h"
#include "runtime/startup/exit_callbacks.h"
#include "runtime/diag/log_file.h"
#include "runtime/diag/trace.h"
#include "runtime/memory/memory.h"
#include "runtime/startup/exit.h"
#include "runtime/startup/options.h"
#include "runtime/startup/runtime_state.h"
#include "runtime/text/fault_guard.h"
#include "tests/support/std_capture.h"
#include "winposix/win32.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <vector>

namespace {

template <size_t N> std::string Opt(const ScrambledName<N>& name) {
  return std::string("-~") + PlainName<N>(name).text;
}

std::vector<std::string> Lines(const std::vector<std::string>& writes) {
  std::string all;
  for (const std::string& w : writes) all += w;
  std::vector<std::string> lines;
  for (size_t at = 0, end; (end = all.find("\r\n", at)) != std::string::npos; at = end + 2)
    lines.push_back(all.substr(at, end - at));
  return lines;
}

TEST(TimeLine, BothFormsAndTheChoiceBetweenThem) {
  struct Case {
    TimeReading start, now;
    const char* line;
  } cases[] = {
      {{0, 0, 0}, {5250, 4010, 20}, "Time: 5.250/U=4.010/K=0.020"},
      {{1000, 500, 7}, {60999, 60499, 7}, "Time: 59.999/U=59.999/K=0.000"},
      {{0, 0, 0}, {60000, 0, 0}, "Time: 1:00.000/U=0:00.000/K=0:00.000"},
      {{0, 0, 0}, {61000, 4010, 20}, "Time: 1:01.000/U=0:04.010/K=0:00.020"},
      {{0, 0, 0}, {30000, 75000, 0}, "Time: 0:30.000/U=1:15.000/K=0:00.000"},
      {{0, 0, 0}, {1000, 500, 75000}, "Time: 1.000/U=0.500/K=75.000"}, // kernel has no say
      {{0xFFFFFC18u, 0xFFFFFFFFu, 0}, {250, 9, 1}, "Time: 1.250/U=0.010/K=0.001"}, // wrapped
      {{0, 0, 0}, {3725123, 0, 0}, "Time: 62:05.123/U=0:00.000/K=0:00.000"},       // no hours
      {{1, 1, 1}, {0, 0, 0}, "Time: 71582:47.295/U=71582:47.295/K=71582:47.295"},
  };
  for (const Case& c : cases) {
    char line[80];
    EXPECT_TRUE(FormatTimeLine(line, sizeof line, c.start, c.now));
    EXPECT_STREQ(line, c.line);
  }
  char small[12];
  EXPECT_FALSE(FormatTimeLine(small, sizeof small, {0, 0, 0}, {5250, 0, 0}));
  EXPECT_STREQ(small, "Time: 5.250");
}

class ExitTest : public ::testing::Test {
protected:
  void SetUp() override {
    Clear();
    InitMem();
    RuntimeState.ModuleBase = GetModuleHandleA(nullptr);
#ifndef _WIN32
    winposix::ResetAll();
#endif
  }
  void TearDown() override {
    for (uint32_t i = 0; i < RuntimeState.OptionCount; ++i) FreeMem(RuntimeState.OptionList[i]);
    Clear();
    DoneMem();
  }
  static void Clear() {
    RuntimeStateRecord& s = RuntimeState;
    for (char*& o : s.OptionList) o = nullptr;
    for (char*& a : s.Args) a = nullptr;
    s.OptionCount = s.ArgCount = 0;
    s.CommandLine = nullptr;
    s.TimingOn = s.StampOn = s.ReportAlways = s.LeakReport = s.TearingDown = false;
    s.KeyWaitPolicy = kKeyWaitAtStart;
  }
  static void SetOptions(const std::vector<std::string>& options) {
    for (const std::string& o : options)
      RuntimeState.OptionList[RuntimeState.OptionCount++] = DupString(o.c_str());
  }
  // FinishRun's standard-error lines; *result receives its code.
  static std::vector<std::string> Finish(int32_t code, int32_t* result) {
    Capture error(STD_ERROR_HANDLE);
    *result = FinishRun(code);
    return Lines(error.Finish());
  }
};

TEST_F(ExitTest, KeyWaitOptionsComeBeforeThePolicy) {
  const std::string wait = Opt(kOptKeyWait), noWait = Opt(kOptNoKeyWait);
  struct Case {
    std::vector<std::string> options;
    uint8_t policy;
    int32_t code;
    bool waits;
  } cases[] = {
      {{}, 4, 9, false}, // after a failure, but not started by the launcher
      {{}, 4, 0, false},       {{}, 6, 0, false}, // bit 2 rules alone
      {{}, 2, 0, true},        {{}, 3, 9, false}, // never before always
      {{}, 0, 9, false},       {{wait}, 4, 0, true}, {{wait, noWait}, 2, 9, false},
      {{noWait}, 2, 0, false},
  };
  for (const Case& c : cases) {
    SetOptions(c.options);
    RuntimeState.KeyWaitPolicy = c.policy;
    EXPECT_EQ(KeyWaitWanted(c.code), c.waits)
        << c.options.size() << " options, policy " << int(c.policy) << ", code " << c.code;
    for (uint32_t i = 0; i < RuntimeState.OptionCount; ++i) FreeMem(RuntimeState.OptionList[i]);
    Clear();
  }
}

TEST_F(ExitTest, OptionsDecideSignalCodeAndLines) {
  struct Case {
    std::vector<std::string> options;
    int32_t code, result;
    std::vector<std::string> lines;
    size_t beeps;
  } cases[] = {
      {{}, 0, 0, {}, 0},
      {{}, 9, 9, {}, 0},
      {{Opt(kOptExitCode)}, -1, -1, {"ExitCode: 4294967295"}, 0},
      {{Opt(kOptExitCode), Opt(kOptExitOk)}, 9, 0, {"ExitCode: 0"}, 0},
      // The signal sees the code before success-exit changes it.
      {{Opt(kOptBeepOnError), Opt(kOptExitOk)}, 9, 0, {}, 1},
      {{Opt(kOptBeepOnError), Opt(kOptBeepAtExit)}, 0, 0, {}, 0},
      {{Opt(kOptBeepAtExit)}, 0, 0, {}, 1},
      {{Opt(kOptBeepAtExit), Opt(kOptQuiet)}, 0, 0, {}, 0},
      {{Opt(kOptKeyWait), Opt(kOptNoKeyWait), Opt(kOptExitCode)}, 2, 2, {"ExitCode: 2"}, 0},
  };
  for (const Case& c : cases) {
    SetUp();
    SetOptions(c.options);
    int32_t result;
    EXPECT_EQ(Finish(c.code, &result), c.lines) << c.options.size() << " options";
    EXPECT_EQ(result, c.result);
#ifndef _WIN32
    const auto beeps = winposix::RecordedBeeps();
    ASSERT_EQ(beeps.size(), c.beeps);
    for (const auto& beep : beeps) {
      EXPECT_EQ(beep.frequency, 440u);
      EXPECT_EQ(beep.duration, 500u);
    }
#endif
  }
}

TEST_F(ExitTest, TimeStampPeakAndSwitches) {
  SetOptions({Opt(kOptMemPeak), Opt(kOptMemReport), Opt(kOptLeakReport)});
  RuntimeState.TimingOn = RuntimeState.StampOn = true;
  RuntimeState.StartTick = GetTickCount() - 61000; // a minute ago: the long form
  MemStats stats;
  GetMemStats(&stats);
  int32_t result;
  const std::vector<std::string> lines = Finish(0, &result);
  ASSERT_GE(lines.size(), 3u);
  EXPECT_TRUE(std::regex_match(lines[0], std::regex(R"(Time: 1:0\d\.\d{3}/U=\d+:\d\d\.\d{3}/)"
                                                    R"(K=\d+:\d\d\.\d{3})")))
      << lines[0];
  EXPECT_TRUE(std::regex_match(lines[1], std::regex(R"(End: \d\d:\d\d:\d\d \d\d\.\d\d\.\d{4})")))
      << lines[1];
  EXPECT_EQ(lines[2], "MemMax: " + std::to_string(stats.Counter[kMemBytesPeak]));
  EXPECT_TRUE(RuntimeState.ReportAlways);
  EXPECT_TRUE(RuntimeState.LeakReport);
}

// The pool reports after the lists and the exit callbacks are gone: its line still reaches the
// error copy, its leak beep still obeys the quiet option, and no log lock is made again.
TEST_F(ExitTest, PoolReportReachesTheCopyAndKeepsQuiet) {
  const auto path = std::filesystem::temp_directory_path() / "calvisto_exit_copy.txt";
  for (const bool quiet : {false, true}) {
    SetUp();
    std::filesystem::remove(path);
    ErrCopyState = {};
    SetOptions({Opt(kOptErrCopy) + ":" + path.string(), Opt(kOptLeakReport)});
    if (quiet) SetOptions({Opt(kOptQuiet)});
    ASSERT_NE(AllocMem(8), nullptr); // left over for the report
    int32_t result;
    const std::vector<std::string> lines = Finish(0, &result);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].rfind("CU:1,", 0), 0u) << lines[0];
    std::ifstream copy(path, std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(copy), {}), lines[0] + "\r\n");
    EXPECT_EQ(LogLock, nullptr);
#ifndef _WIN32
    EXPECT_EQ(winposix::RecordedBeeps().size(), quiet ? 0u : 1u);
#endif
  }
  std::filesystem::remove(path);
}

TEST_F(ExitTest, SelfDeleteRemovesArgsZero) {
  const auto path = std::filesystem::temp_directory_path() / "calvisto_self_delete.exe";
  std::ofstream(path) << "x";
  SetOptions({Opt(kOptSelfDelete)});
  RuntimeState.Args[0] = DupString(path.string().c_str());
  int32_t result;
  Finish(0, &result);
  EXPECT_FALSE(std::filesystem::exists(path));
}

std::vector<std::string> calls;
void Record(uintptr_t name, uintptr_t) {
  const char* text = reinterpret_cast<const char*>(name);
  calls.push_back(text);
  // The lists are still there, and memory still works.
  EXPECT_NE(RuntimeState.OptionList[0], nullptr);
  EXPECT_NE(RuntimeState.Args[0], nullptr);
  void* p = AllocMem(16);
  EXPECT_NE(p, nullptr);
  FreeMem(p);
  TraceLine(text, nullptr);
}

bool Readable(const void* p) {
  char byte;
  return SafeCopyMem(&byte, p, 1);
}

TEST_F(ExitTest, CallbacksLastFirstAfterTheLinesThenEverythingReleased) {
  DoneMem(); // one reservation per block: a released block can no longer be read
  SetEnvironmentVariableA("_Heap_Mgr_", "1");
  InitMem();
  SetEnvironmentVariableA("_Heap_Mgr_", nullptr);
  SetOptions({Opt(kOptExitCode)});
  RuntimeState.OptionCount = 2; // with a gap the release skips
  RuntimeState.CommandLine = DupString("prog a");
  RuntimeState.Args[0] = DupString("prog");
  RuntimeState.Args[1] = const_cast<char*>(EmptyString); // never released
  RuntimeState.Args[255] = DupString("beyond ArgCount");
  RuntimeState.ArgCount = 2;
  const std::vector<const void*> blocks = {RuntimeState.OptionList[0], RuntimeState.CommandLine,
                                           RuntimeState.Args[0], RuntimeState.Args[255]};
  calls.clear();
  for (const char* name : {"A", "B", "C"})
    ASSERT_TRUE(AddExitCallback(Record, reinterpret_cast<uintptr_t>(name), 0));
  int32_t result;
  EXPECT_EQ(Finish(5, &result), (std::vector<std::string>{"ExitCode: 5", "C", "B", "A"}));
  EXPECT_EQ(calls, (std::vector<std::string>{"C", "B", "A"}));
  EXPECT_EQ(RuntimeState.CommandLine, nullptr);
  for (char* arg : RuntimeState.Args) EXPECT_EQ(arg, nullptr);
  for (char* option : RuntimeState.OptionList) EXPECT_EQ(option, nullptr);
  for (const void* block : blocks) EXPECT_FALSE(Readable(block));
  EXPECT_EQ(EmptyString[0], 0);
  RunExitCallbacks(); // the table went with the first run
  EXPECT_EQ(calls.size(), 3u);
}

TEST(PureVirtual, LineAndExitCode13) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        RuntimeState.ModuleBase = GetModuleHandleA(nullptr);
        PureVirtualCalled();
      },
      ::testing::ExitedWithCode(13), "^Pure virtual function called!\r?\n$");
}

} // namespace
