#include "runtime/memory/memory.h"
#include "runtime/startup/options.h"
#include "runtime/startup/runtime_state.h"
#include "tests/support/std_capture.h"
#include "winposix/win32.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

class OptionsTest : public ::testing::Test {
protected:
  void SetUp() override {
    InitMem();
    RuntimeState.ModuleBase = GetModuleHandleA(nullptr);
    Clear();
  }
  void TearDown() override {
    Clear();
    SetEnvironmentVariableA("_GlobSysArgs_", nullptr);
  }
  void Clear() {
    for (uint32_t i = 0; i < RuntimeState.OptionCount; ++i) FreeMem(RuntimeState.OptionList[i]);
    for (char*& o : RuntimeState.OptionList) o = nullptr;
    RuntimeState.OptionCount = 0;
    RuntimeState.OptionTrace = false;
  }
  void Add(const char* option) {
    RuntimeState.OptionList[RuntimeState.OptionCount++] = DupString(option);
  }
  std::vector<std::string> Options() {
    return {RuntimeState.OptionList, RuntimeState.OptionList + RuntimeState.OptionCount};
  }
};

TEST_F(OptionsTest, FindsByExactNameFirstMatchWins) {
  for (const char* o : {"-~Alpha", "-~Beta:1:2", "-~Gamma:", "-~Beta:second", "-~", "-~Alphabet"})
    Add(o);
  RuntimeState.OptionList[RuntimeState.OptionCount++] = nullptr; // a failed copy
  struct Case {
    const char* name;
    bool found;
    const char* value;
  } cases[] = {
      {"Alpha", true, ""},       {"Beta", true, "1:2"},     {"Gamma", true, ""},
      {"Alphabet", true, ""},    {"alpha", false, nullptr}, {"Alph", false, nullptr},
      {"Delta", false, nullptr}, {nullptr, false, nullptr},
  };
  for (const Case& c : cases) {
    const char* value = "untouched";
    EXPECT_EQ(FindOption(c.name, &value, 0), c.found) << (c.name ? c.name : "null");
    if (c.value == nullptr)
      EXPECT_EQ(value, nullptr);
    else
      EXPECT_STREQ(value, c.value);
    EXPECT_EQ(FindOption(c.name, nullptr, 0), c.found);
  }
}

TEST_F(OptionsTest, ScrambledNamesAreUnscrambledFirst) {
  Add("-~Timing");
  Add("-~WorkDir:/tmp/x");
  EXPECT_TRUE(HasOption(kOptTiming));
  const char* value = nullptr;
  EXPECT_TRUE(HasOption(kOptWorkDir, &value));
  EXPECT_STREQ(value, "/tmp/x");
  EXPECT_FALSE(HasOption(kOptNoMain));
  EXPECT_FALSE(FindOption("Timing", nullptr, kFindUnscramble)); // a plain name, unscrambled
}

TEST_F(OptionsTest, TracedLookupsShowTheirPlainName) {
  Add("-~Alpha");
  RuntimeState.OptionTrace = true;
  Capture error(STD_ERROR_HANDLE);
  FindOption("Alpha", nullptr, 0);
  HasOption(kOptQuiet);
  FindOption("Hidden", nullptr, kFindUnscramble | kFindNoTrace);
  std::string all;
  for (const std::string& w : error.Finish()) all += w;
  EXPECT_EQ(all, "Checking: -~Alpha\r\nChecking: -~Quiet\r\n");
}

TEST_F(OptionsTest, EnvironmentOptionsComeAfterTheCommandLine) {
  Add("-~Alpha:cmd");
  SetEnvironmentVariableA("_GlobSysArgs_", "-~Alpha:env junk \"-~Path:C:\\My Files\" -~SysArgDbg");
  AddEnvOptions();
  EXPECT_EQ(Options(), (std::vector<std::string>{"-~Alpha:cmd", "-~Alpha:env",
                                                 "-~Path:C:\\My Files", "-~SysArgDbg"}));
  EXPECT_FALSE(RuntimeState.OptionTrace);
  const char* value = nullptr;
  EXPECT_TRUE(FindOption("Alpha", &value, 0));
  EXPECT_STREQ(value, "cmd");
}

TEST_F(OptionsTest, EnvironmentValueTooLongOrListFullAddsNothing) {
  const std::string tooLong = "-~Long:" + std::string(1100, 'x');
  SetEnvironmentVariableA("_GlobSysArgs_", tooLong.c_str());
  AddEnvOptions();
  EXPECT_EQ(RuntimeState.OptionCount, 0u);

  for (uint32_t i = 0; i < kMaxOptions - 1; ++i) Add("-~Fill");
  SetEnvironmentVariableA("_GlobSysArgs_", "-~Last -~Dropped");
  AddEnvOptions();
  EXPECT_EQ(RuntimeState.OptionCount, kMaxOptions);
  EXPECT_STREQ(RuntimeState.OptionList[kMaxOptions - 1], "-~Last");
}

} // namespace
