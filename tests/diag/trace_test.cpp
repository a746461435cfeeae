#include "runtime/startup/exit_callbacks.h"
#include "runtime/diag/trace.h"
#include "runtime/memory/memory.h"
#include "runtime/startup/runtime_state.h"
#include "tests/support/std_capture.h"
#include "winposix/win32.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::string Joined(const std::vector<std::string>& writes) {
  std::string all;
  for (const std::string& w : writes) all += w;
  return all;
}

class TraceTest : public ::testing::Test {
protected:
  void SetUp() override {
    InitMem();
    RuntimeState.ModuleBase = GetModuleHandleA(nullptr);
  }
};

TEST_F(TraceTest, ConsoleProgramWritesToStandardError) {
  struct Case {
    void (*write)();
    const char* expected;
  } cases[] = {
      {[] { ShowMessage("x", "Title"); }, "x\r\n"},
      {[] { ShowMessage(nullptr, nullptr); }, "\r\n"},
      {[] { TraceLine("line", nullptr); }, "line\r\n"},
      {[] { TraceValue("Count", 42, false); }, "Count: 42\r\n"},
      {[] { TraceValue("Size", 255, true); }, "Size: 000000FF\r\n"},
      {[] { TraceValue(nullptr, 0, false); }, ": 0\r\n"},
      {[] { TracePointer("Base", 4194304); }, "Base: 00400000\r\n"},
      {[] { TraceValue(std::string(300, 'L').c_str(), 7, false); },
       nullptr}, // cut to 255 characters
  };
  EXPECT_FALSE(IsGuiProgram());
  for (const Case& c : cases) {
    Capture error(STD_ERROR_HANDLE);
    c.write();
    const std::string got = Joined(error.Finish());
    if (c.expected != nullptr)
      EXPECT_EQ(got, c.expected);
    else
      EXPECT_EQ(got, std::string(255, 'L') + "\r\n");
  }
}

std::vector<std::string> copied;
void RecordCopy(const char* text) {
  copied.push_back(text);
}

TEST_F(TraceTest, TraceLinesAreOfferedToTheCopyHook) {
  copied.clear();
  TraceCopy = &RecordCopy;
  Capture error(STD_ERROR_HANDLE);
  TraceLine("one", nullptr);
  TraceValue("two", 2, false);
  ShowMessage("not copied", nullptr);
  error.Finish();
  TraceCopy = nullptr;
  EXPECT_EQ(copied, (std::vector<std::string>{"one", "two: 2"}));
}

std::vector<uintptr_t> calls;
void Record(uintptr_t a, uintptr_t b) {
  calls.push_back(a * 1000 + b);
}

TEST_F(TraceTest, ExitCallbacksRunLastFirstAndHoldNinetyNine) {
  calls.clear();
  for (uintptr_t i = 0; i < 99; ++i) EXPECT_TRUE(AddExitCallback(&Record, i, 1)) << i;
  EXPECT_FALSE(AddExitCallback(&Record, 99, 1));
  RunExitCallbacks();
  ASSERT_EQ(calls.size(), 99u);
  EXPECT_EQ(calls.front(), 98001u);
  EXPECT_EQ(calls.back(), 1u);
  // The table is gone: a new registration starts a new one, and null functions are skipped.
  calls.clear();
  EXPECT_TRUE(AddExitCallback(&Record, 1, 2));
  EXPECT_TRUE(AddExitCallback(nullptr, 0, 0));
  EXPECT_TRUE(AddExitCallback(&Record, 3, 4));
  RunExitCallbacks();
  EXPECT_EQ(calls, (std::vector<uintptr_t>{3004, 1002}));
}

#ifndef _WIN32
// The GUI decision is made once per process, so each of these runs in a child process.
TEST(TraceDeathTest, GuiProgramShowsMessageBoxes) {
  EXPECT_EXIT(
      {
        winposix::ResetAll();
        winposix::SetImageKind(winposix::ImageKind::Gui);
        InitMem();
        RuntimeState.ModuleBase = GetModuleHandleA(nullptr);
        ShowMessage("text", nullptr);
        TraceValue("n", 1, false);
        const auto boxes = winposix::RecordedMessageBoxes();
        const bool ok = IsGuiProgram() && boxes.size() == 2 && boxes[0].text == "text" &&
                        boxes[0].caption.empty() && boxes[1].text == "n: 1" &&
                        boxes[0].style == (MB_ICONERROR | MB_SETFOREGROUND);
        _exit(ok ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

TEST(TraceDeathTest, UnreadableHeaderIsAskedAgain) {
  EXPECT_EXIT(
      {
        winposix::ResetAll();
        winposix::SetImageKind(winposix::ImageKind::NoHeader);
        RuntimeState.ModuleBase = GetModuleHandleA(nullptr);
        const bool first = IsGuiProgram();
        winposix::SetImageKind(winposix::ImageKind::Console);
        const bool second = IsGuiProgram();
        _exit(first && !second ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

TEST(TraceDeathTest, QuietSilencesTheBeep) {
  EXPECT_EXIT(
      {
        winposix::ResetAll();
        InitMem();
        SignalBeep();
        static char quiet[] = "-~Quiet";
        RuntimeState.OptionList[RuntimeState.OptionCount++] = quiet;
        SignalBeep();
        const auto beeps = winposix::RecordedBeeps();
        _exit(beeps.size() == 1 && beeps[0].frequency == 440 && beeps[0].duration == 500 ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}
#endif

} // namespace
