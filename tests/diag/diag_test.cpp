// Trace lines and message boxes, the exit callbacks, and the time stamps.
#include "runtime/startup/exit_callbacks.h"
#include "runtime/diag/time_stamp.h"
#include "runtime/diag/trace.h"
#include "runtime/memory/memory.h"
#include "runtime/startup/runtime_state.h"
#include "tests/support/std_capture.h"
#ifndef _WIN32
#include "tests/support/fakes.h"
#endif
#include "winposix/win32.h"

#include <gtest/gtest.h>

#include <ctime>
#include <string>
#include <tuple>
#include <vector>

namespace {

std::vector<std::string> copied;

// A console program writes to standard error; trace lines, not messages, go to the copy hook.
TEST(Trace, ConsoleProgramWritesToStandardError) {
  InitMem();
  RuntimeState.ModuleBase = GetModuleHandleA(nullptr);
  TraceCopy = [](const char* text) { copied.push_back(text); };
  // What is written, what standard error shows, whether the copy hook is offered it.
  const std::tuple<void (*)(), std::string, bool> cases[] = {
      {[] { ShowMessage("x", "Title"); }, "x\r\n", false},
      {[] { ShowMessage(nullptr, nullptr); }, "\r\n", false},
      {[] { TraceLine("line", nullptr); }, "line\r\n", true},
      {[] { TraceValue("Count", 42, false); }, "Count: 42\r\n", true},
      {[] { TraceValue("Size", 255, true); }, "Size: 000000FF\r\n", true},
      {[] { TraceValue(nullptr, 0, false); }, ": 0\r\n", true},
      {[] { TracePointer("Base", 4194304); }, "Base: 00400000\r\n", true},
      {[] { TraceValue(std::string(300, 'L').c_str(), 7, false); }, // cut to 255 characters
       std::string(255, 'L') + "\r\n", true}};
  for (const auto& [write, shown, copy] : cases) {
    copied.clear();
    Capture error(STD_ERROR_HANDLE);
    write();
    std::string got;
    for (const std::string& w : error.Finish()) got += w;
    EXPECT_EQ(got, shown);
    EXPECT_EQ(copied, std::vector<std::string>(copy, shown.substr(0, shown.size() - 2)));
  }
  TraceCopy = nullptr;
}

std::vector<uintptr_t> calls;

TEST(ExitCallbacks, RunLastFirstAndHoldNinetyNine) {
  InitMem();
  const auto record = [](uintptr_t a, uintptr_t b) { calls.push_back(a * 1000 + b); };
  for (uintptr_t i = 0; i < 99; ++i) EXPECT_TRUE(AddExitCallback(record, i, 1)) << i;
  EXPECT_FALSE(AddExitCallback(record, 99, 1));
  RunExitCallbacks();
  EXPECT_TRUE(calls.size() == 99 && calls.front() == 98001 && calls.back() == 1);
  // The table is gone: a new registration starts a new one, and null functions are skipped.
  calls.clear();
  EXPECT_TRUE(AddExitCallback(record, 1, 2) && AddExitCallback(nullptr, 0, 0) &&
              AddExitCallback(record, 3, 4));
  RunExitCallbacks();
  EXPECT_EQ(calls, (std::vector<uintptr_t>{3004, 1002}));
}

#ifndef _WIN32
// Each in a child process, as the GUI decision is made once per process: a GUI program shows
// message boxes for good; an unreadable header counts as a GUI program's until it can be read.
TEST(TraceDeathTest, GuiProgramShowsMessageBoxes) {
  for (auto kind : {winposix::ImageKind::Gui, winposix::ImageKind::NoHeader}) {
    EXPECT_EXIT(
        {
          winposix::ResetAll();
          fakes::RecordUserInterface();
          winposix::SetImageKind(kind);
          RuntimeState.ModuleBase = GetModuleHandleA(nullptr);
          ShowMessage("text", nullptr);
          winposix::SetImageKind(winposix::ImageKind::Console);
          TraceValue("n", 1, false);
          const auto boxes = fakes::Boxes();
          const size_t wanted = kind == winposix::ImageKind::Gui ? 2 : 1;
          _exit(boxes.size() == wanted && boxes[0].text == "text" ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
  }
}
#endif

// The stamp against the C library's own clock and zone, taken within one second.
TEST(FormatTimeStamp, LocalAndUniversalTime) {
  char text[40], wanted[40];
  EXPECT_TRUE(FormatCalendarTime(text, 40, 4, 5, 9, 6, 2, 1601));
  EXPECT_STREQ(text, "04:05:09 06.02.1601"); // every field at its width
  for (bool local : {true, false}) {
    std::string stamp, expected;
    for (int attempt = 0; attempt < 5 && (stamp.empty() || stamp != expected); ++attempt) {
      const std::time_t before = std::time(nullptr);
      EXPECT_TRUE(FormatTimeStamp(text, sizeof text, local));
      std::strftime(wanted, sizeof wanted, "%H:%M:%S %d.%m.%Y",
                    local ? std::localtime(&before) : std::gmtime(&before));
      stamp = text;
      expected = wanted;
    }
    EXPECT_EQ(stamp, expected) << (local ? "local" : "UTC");
  }
}

} // namespace
