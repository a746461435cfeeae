// A fresh memory manager for every test, with neither mode variable set.
#pragma once

#include "runtime/memory/manager.h"
#include "winposix/win32.h"
#ifndef _WIN32
#include "winposix/testctl.h"
#endif

#include <gtest/gtest.h>

#include <array>
#include <string>

namespace memtest {

// The variable named by the program's full path and "-Heap".
inline std::string PathVariable() {
  char path[1024] = {};
  GetModuleFileNameA(nullptr, path, sizeof(path));
  return std::string(path) + "-Heap";
}

// A null value removes the variable.
inline void SetVariable(const std::string& name, const char* value) {
  ASSERT_TRUE(SetEnvironmentVariableA(name.c_str(), value) || value == nullptr);
}

inline std::array<uint32_t, kMemCounterCount> Counters() {
  MemStats stats;
  GetMemStats(&stats);
  return std::to_array(stats.Counter);
}

class MemTest : public ::testing::Test {
protected:
  void SetUp() override { Reset(); }
  void TearDown() override { Reset(); }

  // Starts the manager with "_Heap_Mgr_" holding heapMgr (null: unset).
  static void Start(const char* heapMgr) {
    SetVariable("_Heap_Mgr_", heapMgr);
    InitMem();
  }

  static void Reset() {
    DoneMem();
    SetVariable("_Heap_Mgr_", nullptr);
    SetVariable(PathVariable(), nullptr);
#ifndef _WIN32
    winposix::ClearFailures();
#endif
  }
};

} // namespace memtest
