#include "runtime/startup/console_window.h"

#include "runtime/memory/memory.h"
#include "runtime/startup/runtime_state.h"
#include "winposix/win32.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#ifndef _WIN32
#include "tests/support/system_exports.h"
#include "winposix/testctl.h"
#include <unistd.h>
#endif

namespace {

class ConsoleWindowTest : public ::testing::Test {
protected:
  void SetUp() override {
    InitMem();
    RuntimeState.ModuleBase = GetModuleHandleA(nullptr); // a console program
    ClearOptions();
#ifndef _WIN32
    ResetLayer();
#endif
  }
  void TearDown() override {
    ClearOptions();
#ifndef _WIN32
    ResetLayer();
#endif
  }
  static void ClearOptions() {
    for (uint32_t i = 0; i < RuntimeState.OptionCount; ++i) FreeMem(RuntimeState.OptionList[i]);
    for (char*& o : RuntimeState.OptionList) o = nullptr;
    RuntimeState.OptionCount = 0;
  }
  static void SetOption(const std::string& option) {
    ClearOptions();
    RuntimeState.OptionList[RuntimeState.OptionCount++] = DupString(option.c_str());
  }
};

#ifndef _WIN32

using winposix::ConsoleCall;
using winposix::ConsoleSetup;
using winposix::ScreenRect;

const std::vector<ScreenRect> kOneMonitor = {{0, 0, 1920, 1080}};
const std::vector<ScreenRect> kTwoMonitors = {{0, 0, 1920, 1080}, {1920, 0, 3200, 1024}};

int Count(const std::vector<winposix::ConsoleCallRecord>& calls, ConsoleCall call) {
  int n = 0;
  for (const auto& c : calls) n += c.call == call;
  return n;
}

// Whether the window was moved before the console was first sized.
bool MovedBeforeSizing(const std::vector<winposix::ConsoleCallRecord>& calls) {
  for (const auto& c : calls) {
    if (c.call == ConsoleCall::SetBufferSize) return false;
    if (c.call == ConsoleCall::SetWindowPos) return true;
  }
  return false;
}

// The temporary title is "<tick>/<process id>", searched for exactly, then the old one is back.
void ExpectTitleRoundTrip(const std::vector<winposix::ConsoleCallRecord>& calls,
                          const std::string& old) {
  ASSERT_GE(calls.size(), 3u);
  const std::string temporary = calls[0].text;
  EXPECT_EQ(calls[0].call, ConsoleCall::SetTitle);
  const std::string suffix = "/" + std::to_string(getpid());
  ASSERT_GT(temporary.size(), suffix.size());
  EXPECT_EQ(temporary.substr(temporary.size() - suffix.size()), suffix);
  EXPECT_EQ(temporary.find_first_not_of("0123456789-"), temporary.size() - suffix.size());
  int searches = 0;
  size_t i = 1;
  for (; i < calls.size() && calls[i].call == ConsoleCall::FindWindow; ++i, ++searches)
    EXPECT_EQ(calls[i].text, temporary);
  EXPECT_GE(searches, 1);
  EXPECT_LE(searches, 3);
  ASSERT_LT(i, calls.size());
  EXPECT_EQ(calls[i].call, ConsoleCall::SetTitle);
  EXPECT_EQ(calls[i].text, old);
  EXPECT_EQ(Count(calls, ConsoleCall::SetTitle), 2);
  EXPECT_EQ(winposix::CurrentConsole().title, old);
}

TEST_F(ConsoleWindowTest, SizesTheConsoleAndCentresItsWindow) {
  using Setup = std::function<void(ConsoleSetup&)>;
  const Setup wide = [](ConsoleSetup& c) { // shrinking needs the window first, then the buffer
    c.bufferColumns = c.windowColumns = 120;
    c.bufferRows = 9999;
    c.windowRows = 50;
  };
  const Setup huge = [](ConsoleSetup& c) { c.largestColumns = c.largestRows = 32767; };
  const std::vector<ScreenRect> leftOfPrimary = {{0, 0, 1920, 1080}, {-1280, -200, 0, 824}};
  // The window is columns * 8 + 34 by rows * 16 + 39 pixels and starts at (100, 100).
  struct Case {
    const char* value;
    std::vector<ScreenRect> monitors;
    Setup setup;
    int bufferColumns, bufferRows, windowColumns, windowRows, x, y;
    bool movedFirst;
    int bufferAttempts;
  } cases[] = {
      // clang-format off
      {"100,40", kOneMonitor, nullptr, 100, 400, 100, 40, 543, 200, false, 1},
      {"max", kOneMonitor, nullptr, 156, 580, 156, 58, 319, 56, false, 1},
      {"80,max", kOneMonitor, nullptr, 80, 580, 80, 58, 623, 56, false, 1},
      {"max,30", kOneMonitor, nullptr, 156, 300, 156, 30, 319, 280, false, 1},
      {" 100 , 70000 ", kOneMonitor, nullptr, 100, 580, 100, 58, 543, 56, false, 1},
      {"0x64,40,ignored", kOneMonitor, nullptr, 100, 400, 100, 40, 543, 200, false, 1},
      {"*1,120,50", kTwoMonitors, nullptr, 120, 500, 120, 50, 2063, 92, true, 1},
      {"*3,100,40", kTwoMonitors, nullptr, 100, 400, 100, 40, 543, 200, false, 1},
      {"*1,100,40", leftOfPrimary, nullptr, 100, 400, 100, 40, -1057, -28, true, 1},
      {"100,40", kOneMonitor, [](ConsoleSetup& c) { c.windowX = -2000; }, 100, 400, 100, 40, 543, 200, true, 1},
      {"100,40", kOneMonitor, [](ConsoleSetup& c) { c.windowY = 1080; }, 100, 400, 100, 40, 543, 200, true, 1},
      {"100,40", kOneMonitor, [](ConsoleSetup& c) { c.missedSearches = 2; }, 100, 400, 100, 40, 543, 200, false, 1},
      {"max", {{0, 0, 800, 600}}, nullptr, 156, 580, 156, 58, 0, 0, false, 1},
      {"100,40", kOneMonitor, wide, 100, 400, 100, 40, 543, 200, false, 2},
      {"max", kOneMonitor, huge, 32763, 32767, 32763, 32765, 0, 0, false, 1}, // 16-bit rows
      // clang-format on
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.value);
    ResetLayer();
    ConsoleSetup setup;
    if (c.setup) c.setup(setup);
    winposix::SetConsole(setup);
    winposix::SetMonitors(c.monitors);
    SetOption(std::string("-~ConWin:") + c.value);
    SetUpConsoleWindow();

    const ConsoleSetup now = winposix::CurrentConsole();
    EXPECT_EQ(std::vector<int>({now.bufferColumns, now.bufferRows, now.windowLeft, now.windowTop,
                                now.windowColumns, now.windowRows, now.windowX, now.windowY}),
              std::vector<int>(
                  {c.bufferColumns, c.bufferRows, 0, 0, c.windowColumns, c.windowRows, c.x, c.y}));
    const auto calls = winposix::RecordedConsoleCalls();
    EXPECT_EQ(MovedBeforeSizing(calls), c.movedFirst);
    EXPECT_EQ(Count(calls, ConsoleCall::SetWindowPos), c.movedFirst ? 2 : 1);
    EXPECT_EQ(Count(calls, ConsoleCall::SetBufferSize), c.bufferAttempts);
    for (const auto& call : calls)
      EXPECT_TRUE(call.call != ConsoleCall::SetWindowPos || call.c == -1) << "a move resized";
    ASSERT_FALSE(calls.empty());
    EXPECT_EQ(calls.back().call, ConsoleCall::SetWindowPos) << "centred last";
    ExpectTitleRoundTrip(calls, setup.title);
  }
}

TEST_F(ConsoleWindowTest, MalformedValuesChangeNothing) {
  for (const char* option :
       {"-~ConWin:4,40", "-~ConWin:100,1", "-~ConWin:100", "-~ConWin:100,40x", "-~ConWin:,40",
        "-~ConWin:*x,100,40", "-~ConWin:*,100,40", "-~ConWin:*1", "-~ConWin:MAX",
        "-~ConWin:max,Max", "-~ConWin:4294967296,40", "-~ConWin:", "-~ConWin", "-~ConWindow:100,40",
        "-~conwin:100,40"}) {
    SCOPED_TRACE(option);
    ResetLayer();
    SetOption(option);
    SetUpConsoleWindow();
    EXPECT_TRUE(winposix::RecordedConsoleCalls().empty());
    const ConsoleSetup now = winposix::CurrentConsole(), before;
    EXPECT_EQ(std::vector<int>({now.bufferColumns, now.bufferRows, now.windowColumns,
                                now.windowRows, now.windowX, now.windowY}),
              std::vector<int>({before.bufferColumns, before.bufferRows, before.windowColumns,
                                before.windowRows, before.windowX, before.windowY}));
  }
}

// After the window search these end the set-up: nothing is moved or sized.
TEST_F(ConsoleWindowTest, StopsWithoutWindowOrMonitor) {
  struct Case {
    const char* name;
    std::function<void()> arrange;
    int searches;
  } cases[] = {
      {"window never found", [] { winposix::SetConsole({.hasWindow = false}); }, 3},
      {"window found too late", [] { winposix::SetConsole({.missedSearches = 3}); }, 3},
      {"monitor functions missing",
       [] {
         winposix::SetMonitors(kTwoMonitors);
         RemoveSystemExport("EnumDisplayMonitors");
       },
       1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ResetLayer();
    c.arrange();
    SetOption("-~ConWin:100,40");
    SetUpConsoleWindow();
    const auto calls = winposix::RecordedConsoleCalls();
    EXPECT_EQ(calls.size(), 2u + c.searches);
    EXPECT_EQ(Count(calls, ConsoleCall::FindWindow), c.searches);
    ExpectTitleRoundTrip(calls, ConsoleSetup().title);
  }
}

// Without the placement the window cannot be centred; it is still brought to the monitor.
TEST_F(ConsoleWindowTest, PlacementFailureMovesToTheMonitorButDoesNotCentre) {
  winposix::SetConsole({.placementFails = true});
  winposix::SetMonitors(kTwoMonitors);
  SetOption("-~ConWin:*1,100,40");
  SetUpConsoleWindow();
  const auto calls = winposix::RecordedConsoleCalls();
  EXPECT_TRUE(MovedBeforeSizing(calls));
  EXPECT_EQ(Count(calls, ConsoleCall::SetWindowPos), 1);
  const ConsoleSetup now = winposix::CurrentConsole();
  EXPECT_EQ(std::vector<int>({now.windowX, now.windowY, now.bufferColumns, now.windowRows}),
            std::vector<int>({1920, 0, 100, 40}));
}

TEST_F(ConsoleWindowTest, MonitorRects) {
  const std::vector<ScreenRect> three = {
      {0, 0, 1600, 900}, {1600, 0, 2880, 1024}, {-1024, 100, 0, 868}};
  const auto failSecond = [&] {
    winposix::SetMonitors(three);
    winposix::FailMonitorInfo(1);
  };
  struct Case {
    const char* name;
    std::function<void()> arrange;
    uint32_t index;
    bool ok;
    std::vector<LONG> rect;
  } cases[] = {
      // clang-format off
      {"first of three", [&] { winposix::SetMonitors(three); }, 0, true, {0, 0, 1600, 900}},
      {"third of three", [&] { winposix::SetMonitors(three); }, 2, true, {-1024, 100, 0, 868}},
      {"beyond the count", [&] { winposix::SetMonitors(three); }, 3, false, {0, 0, 0, 0}},
      {"failing one not counted", failSecond, 1, true, {-1024, 100, 0, 868}},
      {"index never reached", failSecond, 2, true, {0, 0, 0, 0}},
      {"info function missing", [&] { winposix::SetMonitors(three); RemoveSystemExport("GetMonitorInfoA"); }, 0, false, {0, 0, 0, 0}},
      {"one monitor: the screen", [] { winposix::SetMonitors({{0, 0, 1024, 768}}); RemoveSystemExport("EnumDisplayMonitors"); }, 0, true, {0, 0, 1024, 768}},
      {"no multi-monitor support: the screen", [] { winposix::SetMonitors({{0, 0, 1024, 768}}, false); }, 0, true, {0, 0, 1024, 768}},
      // clang-format on
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ResetLayer();
    c.arrange();
    RECT r = {7, 7, 7, 7};
    EXPECT_EQ(MonitorRect(c.index, &r), c.ok);
    EXPECT_EQ(std::vector<LONG>({r.left, r.top, r.right, r.bottom}), c.rect);
    EXPECT_FALSE(MonitorRect(c.index, nullptr));
  }
}

#endif // !_WIN32

// Whatever the system's console supports, the set-up ends soon and leaves the title as it was.
TEST_F(ConsoleWindowTest, RunsAgainstTheSystemConsole) {
  char before[1024] = {}, after[1024] = {};
  GetConsoleTitleA(before, sizeof before);
  SetOption("-~ConWin:100,40");
  const auto start = std::chrono::steady_clock::now();
  SetUpConsoleWindow();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  GetConsoleTitleA(after, sizeof after);
  EXPECT_STREQ(after, before);

  RECT r = {1, 1, 1, 1};
  EXPECT_FALSE(MonitorRect(MonitorCount(), &r));
  EXPECT_EQ(r.left | r.top | r.right | r.bottom, 0);
  if (MonitorCount() > 0) {
    EXPECT_TRUE(MonitorRect(0, &r));
    EXPECT_GT(r.right, r.left);
  }
}

} // namespace
