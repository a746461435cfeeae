#include "runtime/startup/console_window.h"

#include "runtime/memory/memory.h"
#include "runtime/startup/runtime_state.h"

#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#ifndef _WIN32 // the console, its window and the monitors are the layer's to describe
#include "tests/support/system_exports.h"

namespace {

using winposix::ConsoleCall;
using winposix::ConsoleSetup;

// The console's counts that a case may set.
// clang-format off
const std::pair<const char*, int ConsoleSetup::*> kCounts[] = {
    {"bufferColumns", &ConsoleSetup::bufferColumns}, {"bufferRows", &ConsoleSetup::bufferRows},
    {"windowColumns", &ConsoleSetup::windowColumns}, {"windowRows", &ConsoleSetup::windowRows},
    {"largestColumns", &ConsoleSetup::largestColumns}, {"largestRows", &ConsoleSetup::largestRows},
    {"windowX", &ConsoleSetup::windowX}, {"windowY", &ConsoleSetup::windowY}};
// clang-format on

// The numbers in a text, whatever separates them.
std::vector<int> Numbers(std::string text) {
  for (char& c : text) c = c == ',' || c == ';' ? ' ' : c;
  std::vector<int> numbers;
  std::istringstream in(text);
  for (int n; in >> n;) numbers.push_back(n);
  return numbers;
}

// A fresh layer, a console program, and the option list of just this text.
void Arrange(const std::string& option) {
  static std::string text;
  InitMem();
  ResetLayer();
  RuntimeState.ModuleBase = GetModuleHandleA(nullptr);
  text = option;
  RuntimeState.OptionList[0] = text.data();
  RuntimeState.OptionCount = option.empty() ? 0 : 1;
}

// placements.txt, described there.
TEST(ConsoleWindow, SizesTheConsoleAndCentresItsWindow) {
  const std::string self = __FILE__;
  std::ifstream file(self.substr(0, self.find_last_of("/\\") + 1) + "placements.txt");
  ASSERT_TRUE(file);
  for (std::string line; std::getline(file, line);) {
    if (line.empty() || line[0] == '#') continue;
    SCOPED_TRACE(line);
    std::vector<std::string> f;
    for (size_t start = 0, end = 0; end != std::string::npos; start = end + 3)
      f.push_back(line.substr(start, (end = line.find(" | ", start)) - start));
    std::map<std::string, std::string> set;
    std::istringstream settings(f[2] == "-" ? "" : f[2]);
    for (std::string item; settings >> item;)
      set[item.substr(0, item.find('='))] = item.substr(item.find('=') + 1);
    const std::vector<int> m = Numbers(f[1]);
    std::vector<winposix::ScreenRect> monitors;
    for (size_t i = 0; i + 3 < m.size(); i += 4)
      monitors.push_back({m[i], m[i + 1], m[i + 2], m[i + 3]});
    Arrange(f[0]);
    winposix::SetMonitors(monitors, set["multiMonitor"] != "0");
    for (int monitor : Numbers(set["failMonitorInfo"])) winposix::FailMonitorInfo(monitor);
    if (!set["missing"].empty()) RemoveSystemExport(set["missing"].c_str());
    ConsoleSetup setup;
    for (const auto& [name, member] : kCounts)
      if (!set[name].empty()) setup.*member = std::stoi(set[name]);
    for (int misses : Numbers(set["missedSearches"])) setup.missedSearches = misses;
    setup.placementFails = set["placementFails"] == "1";
    winposix::SetConsole(setup);
    SetUpConsoleWindow();

    const ConsoleSetup now = winposix::CurrentConsole();
    EXPECT_EQ(std::vector<int>({now.bufferColumns, now.bufferRows, now.windowColumns,
                                now.windowRows, now.windowX, now.windowY}),
              Numbers(f.at(4)));
    const auto calls = winposix::RecordedConsoleCalls();
    std::string got;
    for (const auto& call : calls) got += "TFPBW"[static_cast<int>(call.call)];
    EXPECT_EQ(got, f[3] == "-" ? "" : f[3]);
    // The temporary title "<tick>/<process id>" is searched for exactly; the old one comes back.
    for (const auto& call : calls)
      EXPECT_TRUE(call.call != ConsoleCall::FindWindow || call.text == calls[0].text);
    if (calls.empty()) continue;
    EXPECT_EQ(calls[0].text.substr(calls[0].text.find('/')),
              "/" + std::to_string(GetCurrentProcessId()));
    EXPECT_EQ(now.title, setup.title);
  }
}

} // namespace

#endif

TEST(MonitorRect, NoMonitorBeyondTheLastAndNoRoomForTheAnswer) {
  RECT r = {7, 7, 7, 7};
  EXPECT_FALSE(MonitorRect(MonitorCount(), &r));
  EXPECT_EQ(r.left | r.top | r.right | r.bottom, 0);
  EXPECT_FALSE(MonitorRect(0, nullptr));
}
