// The exit path: the time line, the key-wait decision, the end lines, the signal and the code,
// the exit callbacks and what is released after them, and the pure virtual call.
#include "runtime/diag/copy_files.h"
#include "runtime/startup/exit_callbacks.h"
#include "runtime/diag/log_file.h"
#include "runtime/diag/trace.h"
#include "runtime/memory/memory.h"
#include "runtime/startup/exit.h"
#include "runtime/startup/options.h"
#include "runtime/startup/runtime_state.h"
#include "runtime/text/fault_guard.h"
#include "runtime/startup/startup.h"
#include "tests/support/std_capture.h"
#ifndef _WIN32
#include "tests/support/fakes.h"
#endif
#include "winposix/win32.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <tuple>
#include <vector>

namespace {

template <size_t N> std::string Opt(const ScrambledName<N>& name) {
  return std::string("-~") + PlainName<N>(name).text;
}

TEST(TimeLine, BothFormsAndTheChoiceBetweenThem) {
  const std::tuple<TimeReading, TimeReading, const char*> cases[] = {
      {{0, 0, 0}, {5250, 4010, 20}, "Time: 5.250/U=4.010/K=0.020"},
      {{1000, 500, 7}, {60999, 60499, 7}, "Time: 59.999/U=59.999/K=0.000"},
      {{0, 0, 0}, {60000, 0, 0}, "Time: 1:00.000/U=0:00.000/K=0:00.000"},
      {{0, 0, 0}, {61000, 4010, 20}, "Time: 1:01.000/U=0:04.010/K=0:00.020"},
      {{0, 0, 0}, {30000, 75000, 0}, "Time: 0:30.000/U=1:15.000/K=0:00.000"},
      {{0, 0, 0}, {1000, 500, 75000}, "Time: 1.000/U=0.500/K=75.000"}, // kernel has no say
      {{0xFFFFFC18u, 0xFFFFFFFFu, 0}, {250, 9, 1}, "Time: 1.250/U=0.010/K=0.001"}, // wrapped
      {{0, 0, 0}, {3725123, 0, 0}, "Time: 62:05.123/U=0:00.000/K=0:00.000"},       // no hours
      {{1, 1, 1}, {0, 0, 0}, "Time: 71582:47.295/U=71582:47.295/K=71582:47.295"}};
  for (const auto& [start, now, text] : cases) {
    char line[80];
    EXPECT_TRUE(FormatTimeLine(line, sizeof line, start, now));
    EXPECT_STREQ(line, text);
  }
  char small[12];
  EXPECT_FALSE(FormatTimeLine(small, sizeof small, {0, 0, 0}, {5250, 0, 0}));
  EXPECT_STREQ(small, "Time: 5.250");
}

class ExitTest : public ::testing::Test {
protected:
  void SetUp() override {
    RuntimeStateRecord& s = RuntimeState;
    for (char*& o : s.OptionList) o = nullptr;
    for (char*& a : s.Args) a = nullptr;
    s.OptionCount = s.ArgCount = 0;
    s.TimingOn = s.StampOn = s.TearingDown = false;
    MemConfig = {};
    s.KeyWaitPolicy = kKeyWaitAtStart;
    s.ModuleBase = GetModuleHandleA(nullptr);
    InitMem();
    ConnectSinks();
#ifndef _WIN32
    winposix::ResetAll();
    fakes::RecordUserInterface();
#endif
  }
  static void AddOptions(const std::vector<std::string>& options) {
    for (const std::string& o : options)
      RuntimeState.OptionList[RuntimeState.OptionCount++] = DupString(o.c_str());
  }
  // What FinishRun writes to standard error; *result receives its code.
  static std::string Finish(int32_t code, int32_t* result) {
    Capture error(STD_ERROR_HANDLE);
    *result = FinishRun(code);
    std::string all;
    for (const std::string& w : error.Finish()) all += w;
    return all;
  }
};

TEST_F(ExitTest, KeyWaitOptionsComeBeforeThePolicy) {
  const std::string wait = Opt(kOptKeyWait), noWait = Opt(kOptNoKeyWait);
  // The options, the policy, the code, whether to wait.
  const std::tuple<std::vector<std::string>, uint8_t, int32_t, bool> cases[] = {
      {{}, 4, 9, false}, // after a failure, but not started by the launcher
      {{}, 4, 0, false},       {{}, 6, 0, false}, // bit 2 rules alone
      {{}, 2, 0, true},        {{}, 3, 9, false}, // never before always
      {{}, 0, 9, false},       {{wait}, 4, 0, true}, {{wait, noWait}, 2, 9, false},
      {{noWait}, 2, 0, false},
  };
  for (const auto& [options, policy, code, waits] : cases) {
    SetUp();
    AddOptions(options);
    RuntimeState.KeyWaitPolicy = policy;
    EXPECT_EQ(KeyWaitWanted(code), waits) << options.size() << " " << int(policy) << " " << code;
    DoneMem();
  }
}

// The signal sees the code before success-exit changes it; the quiet option silences it.
TEST_F(ExitTest, OptionsDecideSignalCodeAndLines) {
  // The options, the code given, the code returned, the lines, the beeps.
  const std::tuple<std::vector<std::string>, int32_t, int32_t, std::string, size_t> cases[] = {
      {{}, 9, 9, "", 0},
      {{Opt(kOptExitCode)}, -1, -1, "ExitCode: 4294967295\r\n", 0},
      {{Opt(kOptExitCode), Opt(kOptExitOk)}, 9, 0, "ExitCode: 0\r\n", 0},
      {{Opt(kOptBeepOnError), Opt(kOptExitOk)}, 9, 0, "", 1},
      {{Opt(kOptBeepOnError), Opt(kOptBeepAtExit)}, 0, 0, "", 0},
      {{Opt(kOptBeepAtExit)}, 0, 0, "", 1},
      {{Opt(kOptBeepAtExit), Opt(kOptQuiet)}, 0, 0, "", 0}};
  for (const auto& [options, code, result, lines, beeps] : cases) {
    SetUp();
    AddOptions(options);
    int32_t returned;
    EXPECT_EQ(Finish(code, &returned), lines) << options.size() << " options";
    EXPECT_EQ(returned, result);
#ifndef _WIN32
    EXPECT_EQ(fakes::Beeps().size(), beeps);
#endif
  }
}

TEST_F(ExitTest, TimeStampPeakAndSwitches) {
  AddOptions({Opt(kOptMemPeak), Opt(kOptMemReport), Opt(kOptLeakReport)});
  RuntimeState.TimingOn = RuntimeState.StampOn = true;
  RuntimeState.StartTick = GetTickCount() - 61000; // a minute ago: the long form
  MemStats stats;
  GetMemStats(&stats);
  int32_t result;
  const std::string lines = Finish(0, &result); // then the pool's report, as asked
  EXPECT_TRUE(std::regex_match(lines, std::regex(R"(Time: 1:0\d\.\d{3}/U=[^\r]*\r\n)"
                                                 R"(End: \d\d:\d\d:\d\d \d\d\.\d\d\.\d{4}\r\n)"
                                                 "MemMax: " +
                                                 std::to_string(stats.Counter[kMemBytesPeak]) +
                                                 "\r\nCU:[^\r]*\r\n")))
      << lines;
  EXPECT_TRUE(MemConfig.ReportAlways && MemConfig.ReportLeaks);
}

// The pool reports after the lists and the exit callbacks are gone: its line still reaches the
// error copy, its leak beep still obeys the quiet option, and no log lock is made again.
TEST_F(ExitTest, PoolReportReachesTheCopyAndKeepsQuiet) {
  const auto path = std::filesystem::temp_directory_path() / "calvisto_exit_copy.txt";
  for (const bool quiet : {false, true}) {
    SetUp();
    std::filesystem::remove(path);
    ErrCopyState = {};
    AddOptions({Opt(kOptErrCopy) + ":" + path.string(), Opt(kOptLeakReport)});
    if (quiet) AddOptions({Opt(kOptQuiet)});
    ASSERT_NE(AllocMem(8), nullptr); // left over for the report
    int32_t result;
    const std::string lines = Finish(0, &result);
    EXPECT_TRUE(std::regex_match(lines, std::regex("CU:1,[^\r]*\r\n"))) << lines;
    std::ifstream copy(path, std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(copy), {}), lines);
    EXPECT_EQ(LogLock, nullptr);
#ifndef _WIN32
    EXPECT_EQ(fakes::Beeps().size(), quiet ? 0u : 1u);
#endif
  }
  std::filesystem::remove(path);
}

void TraceName(uintptr_t name, uintptr_t) {
  // The lists are still there, and memory still works.
  EXPECT_NE(RuntimeState.OptionList[0], nullptr);
  EXPECT_NE(RuntimeState.Args[0], nullptr);
  FreeMem(AllocMem(16));
  TraceLine(reinterpret_cast<const char*>(name), nullptr);
}

// Called last first after the end lines; then the lists are released, their blocks unreadable.
TEST_F(ExitTest, CallbacksAfterTheLinesThenEverythingReleased) {
  DoneMem(); // one reservation per block: a released block can no longer be read
  SetEnvironmentVariableA("_Heap_Mgr_", "1");
  InitMem();
  SetEnvironmentVariableA("_Heap_Mgr_", nullptr);
  AddOptions({Opt(kOptExitCode)});
  RuntimeState.OptionCount = 2; // with a gap the release skips
  RuntimeState.CommandLine = DupString("prog a");
  RuntimeState.Args[0] = DupString("prog");
  RuntimeState.Args[1] = const_cast<char*>(EmptyString); // never released
  RuntimeState.Args[255] = DupString("beyond ArgCount");
  RuntimeState.ArgCount = 2;
  const void* blocks[] = {RuntimeState.OptionList[0], RuntimeState.CommandLine,
                          RuntimeState.Args[0], RuntimeState.Args[255]};
  for (const char* name : {"A", "B"})
    ASSERT_TRUE(AddExitCallback(TraceName, reinterpret_cast<uintptr_t>(name), 0));
  int32_t result;
  EXPECT_EQ(Finish(5, &result), "ExitCode: 5\r\nB\r\nA\r\n");
  EXPECT_EQ(RuntimeState.CommandLine, nullptr);
  for (char* arg : RuntimeState.Args) EXPECT_EQ(arg, nullptr);
  for (char* option : RuntimeState.OptionList) EXPECT_EQ(option, nullptr);
  char byte;
  for (const void* block : blocks) EXPECT_FALSE(SafeCopyMem(&byte, block, 1));
  EXPECT_EQ(EmptyString[0], 0);
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
