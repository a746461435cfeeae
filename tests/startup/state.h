// The runtime state the start-up steps read, emptied before and after each test.
#pragma once

#include "runtime/memory/memory.h"
#include "runtime/startup/runtime_state.h"
#include "runtime/startup/startup.h"
#include "runtime/text/scramble.h"
#include "tests/support/std_capture.h"

using Names = std::vector<std::string>;

class StartupTest : public ::testing::Test {
protected:
  void SetUp() override {
    InitMem();
    ConnectSinks();
    RuntimeState.ModuleBase = GetModuleHandleA(nullptr); // a console program: lines on stderr
  }
  void TearDown() override {
    Reset();
    RuntimeState.ProcessorClass = 0;
    OsVersion = savedVersion_;
    SetEnvironmentVariableA("_GlobSysArgs_", nullptr);
  }
  static void Reset() {
    for (char*& a : RuntimeState.Args) FreeMem(a), a = nullptr;
    for (char*& o : RuntimeState.OptionList) FreeMem(o), o = nullptr;
    RuntimeState.ArgCount = RuntimeState.OptionCount = 0;
    RuntimeState.OptionTrace = RuntimeState.IoStatsOn = RuntimeState.SlowReadOn = false;
  }
  static void SetOptions(const std::vector<std::string>& options) {
    Reset();
    for (const std::string& o : options)
      RuntimeState.OptionList[RuntimeState.OptionCount++] = DupString(o.c_str());
  }
  static Names List(char** slots, uint32_t n) { return {slots, slots + n}; }
  template <size_t N> static std::string Opt(const ScrambledName<N>& name, const char* value = {}) {
    return "-~" + std::string(PlainName(name)) + (value ? std::string(":") + value : "");
  }
  // All that a step writes to standard error.
  static std::string Output(void (*step)()) {
    Capture capture(STD_ERROR_HANDLE);
    step();
    std::string all;
    for (const std::string& write : capture.Finish()) all += write;
    return all;
  }

private:
  OsVersionRecord savedVersion_ = OsVersion;
};
