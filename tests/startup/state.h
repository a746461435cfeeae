// The runtime state the start-up steps read, emptied before and after each test.
#pragma once

#include "runtime/memory/memory.h"
#include "runtime/startup/runtime_state.h"
#include "runtime/startup/startup.h"
#include "winposix/win32.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

class StartupTest : public ::testing::Test {
protected:
  void SetUp() override {
    InitMem();
    ConnectSinks();
    RuntimeState.ModuleBase = GetModuleHandleA(nullptr); // a console program: lines on stderr
    Reset();
  }
  void TearDown() override {
    Reset();
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
  static std::vector<std::string> List(char** slots, uint32_t count) {
    return {slots, slots + count};
  }
};
