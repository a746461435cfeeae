#include "runtime/startup/console_window.h"
#include "runtime/startup/next_token.h"

#include "runtime/memory/memory.h"
#include "runtime/startup/runtime_state.h"

#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <sstream>

#ifndef _WIN32 // the console, its window and the monitors are the layer's to describe
#include "tests/support/system_exports.h"

namespace {

using winposix::ConsoleSetup;

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
    std::map<std::string, std::string> set; // what differs from the start
    std::istringstream settings(f[2] == "-" ? "" : f[2]);
    for (std::string item; settings >> item;)
      set[item.substr(0, item.find('='))] = item.substr(item.find('=') + 1);
    const std::vector<int> m = Numbers(f[1]);
    std::vector<winposix::ScreenRect> monitors;
    for (size_t i = 0; i + 3 < m.size(); i += 4)
      monitors.push_back({m[i], m[i + 1], m[i + 2], m[i + 3]});
    InitMem(); // a fresh layer, a console program and the option list of just this option
    ResetLayer();
    RuntimeState.ModuleBase = GetModuleHandleA(nullptr);
    RuntimeState.OptionList[0] = f[0].data();
    RuntimeState.OptionCount = 1;
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
      EXPECT_TRUE(call.call != winposix::ConsoleCall::FindWindow || call.text == calls[0].text);
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

TEST(NextToken, SplitsByMode) {
  const std::tuple<const char*, const char*, const char*, uint32_t, uint32_t, char, char, char,
                   char>
      cases[] = {{"100,40", "100", "40", 0, 40, ',', 0, 0, ','},
                 {"  *1 , 120 ,50", "*1", "120 ,50", 0, 40, ',', 0, 0, ','},
                 {"ab  \t,c", "ab", "c", 0, 40, ',', 0, 0, ','},
                 {",,x", "", ",x", 0, 40, ',', 0, 0, ','},
                 {"x;y|z", "x", "y|z", 0, 40, ';', '|', 0, ';'},
                 {"y|z", "y", "z", 0, 40, ';', '|', 0, '|'},
                 {"a:b", "a", "b", 0, 40, ',', ';', ':', ':'},
                 {"last  ", "last", "", 0, 40, ',', 0, 0, 0},
                 {"a b", "a", "b", 0, 40, ' ', 0, 0, ' '},
                 {"abcdefg,h", "abc", "h", 0, 4, ',', 0, 0, ','},
                 {"abcdefg", "", "", 0, 1, ',', 0, 0, 0},
                 {"  hello world\tx", "hello", "world\tx", 1, 40, ',', 0, 0, 0},
                 {"a,b c", "a,b", "c", 1, 40, ',', 0, 0, 0},
                 {"hello\t  \tworld", "hello", "world", 1, 40, 0, 0, 0, 0},
                 {" a b, c \t", "a b, c", "", 2, 40, ',', 0, 0, 0},
                 {" a b, c ", "a b, c", "", 7, 40, ',', 0, 0, 0},
                 {"", "", "", 0, 40, ',', 0, 0, 0},
                 {"   ", "", "", 1, 40, ',', 0, 0, 0}};
  for (const auto& [text, field, rest, mode, size, sep1, sep2, sep3, found] : cases) {
    SCOPED_TRACE(std::string("'") + text + "' mode " + std::to_string(mode));
    std::string out(64, 'Z');
    char seen = 'Q';
    EXPECT_EQ(NextToken(text, out.data(), size, mode, sep1, sep2, sep3, &seen),
              text + std::string_view(text).size() - std::string_view(rest).size());
    EXPECT_STREQ(out.c_str(), field);
    EXPECT_EQ(out[size], 'Z') << "wrote past the buffer";
    EXPECT_EQ(seen, found);
  }
}

// Without an output the field is still passed over; a null text is an empty one.
TEST(NextToken, MissingOutputAndNullText) {
  char out[8] = "junk", found = 'Q';
  EXPECT_STREQ(NextToken("skip me,next", nullptr, 0, 0, ',', 0, 0, nullptr), "next");
  EXPECT_STREQ(NextToken("skip me,next", out, 0, 0, ',', 0, 0, nullptr), "next");
  EXPECT_STREQ(out, "junk");
  EXPECT_STREQ(NextToken(nullptr, out, sizeof out, 0, ',', 0, 0, &found), "");
  EXPECT_STREQ(out, "");
  EXPECT_EQ(found, 0);
}
