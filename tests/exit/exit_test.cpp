// The exit path: time line, key-wait decision, end lines, signal, code, callbacks, releases.
#include "runtime/diag/copy_files.h"
#include "runtime/startup/exit_callbacks.h"
#include "runtime/diag/log_file.h"
#include "runtime/diag/trace.h"
#include "runtime/memory/memory.h"
#include "runtime/startup/exit.h"
#include "runtime/startup/runtime_state.h"
#include "runtime/text/fault_guard.h"
#include "runtime/startup/startup.h"
#include "tests/support/std_capture.h"
#include "tests/support/rows.h"
#ifndef _WIN32
#include "tests/support/fakes.h"
#endif

#include <gtest/gtest.h>

#include <filesystem>
#include <regex>

namespace {

TEST(TimeLine, BothFormsAndTheChoiceBetweenThem) {
  for (const Row& row : ReadRows(__FILE__, "time_line.tsv")) {
    uint32_t v[6];
    for (int i = 0; i < 6; ++i) v[i] = static_cast<uint32_t>(std::stoul(*row[i], nullptr, 0));
    char line[80];
    EXPECT_TRUE(FormatTimeLine(line, sizeof line, {v[0], v[1], v[2]}, {v[3], v[4], v[5]}));
    EXPECT_EQ(line, *row[6]);
  }
  char small[12];
  EXPECT_FALSE(FormatTimeLine(small, sizeof small, {0, 0, 0}, {5250, 0, 0}));
  EXPECT_STREQ(small, "Time: 5.250");
}

class ExitTest : public ::testing::Test {
protected:
  void SetUp() override {
    RuntimeState = {};
    RuntimeState.KeyWaitPolicy = kKeyWaitAtStart;
    RuntimeState.ModuleBase = GetModuleHandleA(nullptr);
    MemConfig = {};
    InitMem();
    ConnectSinks();
#ifndef _WIN32
    winposix::ResetAll();
    fakes::RecordUserInterface();
#endif
  }
  // A fresh start with these options, apart by spaces.
  void Restart(const std::string& options) {
    SetUp();
    std::istringstream in(options);
    for (std::string o; in >> o;)
      RuntimeState.OptionList[RuntimeState.OptionCount++] = DupString(o.c_str());
  }
  // What FinishRun writes to standard error; result_ receives its code.
  std::string Finish(int32_t code) {
    Capture error(STD_ERROR_HANDLE);
    result_ = FinishRun(code);
    std::string all;
    for (const std::string& w : error.Finish()) all += w;
    return all;
  }
  int32_t result_ = 0;
};

TEST_F(ExitTest, KeyWaitOptionsComeBeforeThePolicy) {
  for (const Row& row : ReadRows(__FILE__, "key_wait.tsv")) {
    Restart(*row[0]);
    RuntimeState.KeyWaitPolicy = static_cast<uint8_t>(std::stoi(*row[1]));
    EXPECT_EQ(KeyWaitWanted(std::stoi(*row[2])), *row[3] == "1") << *row[0] << *row[1] << *row[2];
    DoneMem();
  }
}

TEST_F(ExitTest, OptionsDecideSignalCodeAndLines) {
  for (const Row& row : ReadRows(__FILE__, "finish.tsv")) {
    Restart(*row[0]);
    EXPECT_EQ(Finish(std::stoi(*row[1])), *row[3]) << *row[0];
    EXPECT_EQ(result_, std::stoi(*row[2]));
#ifndef _WIN32
    EXPECT_EQ(fakes::Beeps().size(), std::stoul(*row[4])) << *row[0];
#endif
  }
}

TEST_F(ExitTest, TimeStampPeakAndSwitches) {
  Restart("-~MemPeak -~MemReport -~LeakReport");
  RuntimeState.TimingOn = RuntimeState.StampOn = true;
  RuntimeState.StartTick = GetTickCount() - 61000; // a minute ago: the long form
  MemStats stats;
  GetMemStats(&stats);
  const std::regex wanted(
      R"(Time: 1:0\d\.\d{3}/U=[^\r]*\r\nEnd: \d\d:\d\d:\d\d \d\d\.\d\d\.\d{4}\r\nMemMax: )" +
      std::to_string(stats.Counter[kMemBytesPeak]) + "\r\nCU:[^\r]*\r\n"); // the pool's report
  EXPECT_TRUE(std::regex_match(Finish(0), wanted));
  EXPECT_TRUE(MemConfig.ReportAlways && MemConfig.ReportLeaks);
}

// The pool reports after the lists and the exit callbacks are gone: its line still reaches the
// error copy, its leak beep still obeys the quiet option, and no log lock is made again.
TEST_F(ExitTest, PoolReportReachesTheCopyAndKeepsQuiet) {
  const auto path = std::filesystem::temp_directory_path() / "calvisto_exit_copy.txt";
  for (const bool quiet : {false, true}) {
    std::filesystem::remove(path);
    ErrCopyState = {};
    Restart("-~ErrCopy:" + path.string() + " -~LeakReport" + (quiet ? " -~Quiet" : ""));
    ASSERT_NE(AllocMem(8), nullptr); // left over for the report
    const std::string lines = Finish(0);
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
  EXPECT_TRUE(RuntimeState.OptionList[0] != nullptr && RuntimeState.Args[0] != nullptr);
  FreeMem(AllocMem(16));
  TraceLine(reinterpret_cast<const char*>(name), nullptr);
}

// Called last first after the end lines; then the lists are released, their blocks unreadable.
TEST_F(ExitTest, CallbacksAfterTheLinesThenEverythingReleased) {
  DoneMem(); // one reservation per block: a released block can no longer be read
  SetEnvironmentVariableA("_Heap_Mgr_", "1");
  InitMem();
  SetEnvironmentVariableA("_Heap_Mgr_", nullptr);
  Restart("-~ExitCode");
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
  EXPECT_EQ(Finish(5), "ExitCode: 5\r\nB\r\nA\r\n");
  EXPECT_EQ(RuntimeState.CommandLine, nullptr);
  for (char* arg : RuntimeState.Args) EXPECT_EQ(arg, nullptr);
  for (char* option : RuntimeState.OptionList) EXPECT_EQ(option, nullptr);
  char byte;
  for (const void* block : blocks) EXPECT_FALSE(SafeCopyMem(&byte, block, 1));
  EXPECT_EQ(EmptyString[0], 0);
}

TEST(PureVirtual, LineAndExitCode13) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  RuntimeState.ModuleBase = GetModuleHandleA(nullptr);
  EXPECT_EXIT(PureVirtualCalled(), ::testing::ExitedWithCode(13),
              "^Pure virtual function called!\r?\n$");
}

} // namespace
