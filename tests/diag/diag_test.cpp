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

#include <gtest/gtest.h>

#include <ctime>

namespace {

// A console program writes to standard error; trace lines, not messages, go to the copy hook.
TEST(Trace, ConsoleProgramWritesToStandardError) {
  static std::string copied; // each text closed by a line end of its own
  RuntimeState.ModuleBase = GetModuleHandleA(nullptr);
  TraceCopy = [](const char* text) { copied = copied + text + "\r\n"; };
  Capture error(STD_ERROR_HANDLE);
  ShowMessage("x", "Title");
  ShowMessage(nullptr, nullptr);
  TraceLine("line", nullptr);
  TraceValue("Count", 42, false);
  TraceValue("Size", 255, true);
  TraceValue(nullptr, 0, false);
  TracePointer("Base", 4194304);
  TraceValue(std::string(300, 'L').c_str(), 7, false); // cut to 255 characters
  TraceCopy = nullptr;
  std::string got;
  for (const std::string& w : error.Finish()) got += w;
  EXPECT_EQ(got, "x\r\n\r\n" + copied);
  EXPECT_EQ(copied, "line\r\nCount: 42\r\nSize: 000000FF\r\n: 0\r\nBase: 00400000\r\n" +
                        std::string(255, 'L') + "\r\n");
}

// Last first, at most 99; once run the table is gone, and null functions are skipped.
TEST(ExitCallbacks, RunLastFirstAndHoldNinetyNine) {
  static std::vector<uintptr_t> calls;
  InitMem();
  const auto record = [](uintptr_t a, uintptr_t b) { calls.push_back(a * 1000 + b); };
  for (uintptr_t i = 0; i < 99; ++i) EXPECT_TRUE(AddExitCallback(record, i, 1)) << i;
  EXPECT_FALSE(AddExitCallback(record, 99, 1));
  RunExitCallbacks();
  EXPECT_TRUE(calls.size() == 99 && calls.front() == 98001 && calls.back() == 1);
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
          fakes::RecordUserInterface();
          winposix::SetImageKind(kind);
          RuntimeState.ModuleBase = GetModuleHandleA(nullptr);
          ShowMessage("text", nullptr);
          winposix::SetImageKind(winposix::ImageKind::Console);
          TraceValue("n", 1, false);
          const auto boxes = fakes::Boxes();
          _exit(!boxes.empty() && boxes[0].text == "text" ? static_cast<int>(boxes.size()) : 99);
        },
        ::testing::ExitedWithCode(kind == winposix::ImageKind::Gui ? 2 : 1), "");
  }
}
#endif

// The stamp against the C library's own clock and zone.
TEST(FormatTimeStamp, LocalAndUniversalTime) {
  char text[40], wanted[40];
  EXPECT_TRUE(FormatCalendarTime(text, 40, 4, 5, 9, 6, 2, 1601));
  EXPECT_STREQ(text, "04:05:09 06.02.1601"); // every field at its width
  for (bool local : {true, false}) {
    for (std::time_t now = -1; now != std::time(nullptr);) { // again when the second changed
      now = std::time(nullptr);
      EXPECT_TRUE(FormatTimeStamp(text, sizeof text, local));
      std::strftime(wanted, sizeof wanted, "%H:%M:%S %d.%m.%Y",
                    local ? std::localtime(&now) : std::gmtime(&now));
    }
    EXPECT_STREQ(text, wanted) << local;
  }
}

} // namespace
