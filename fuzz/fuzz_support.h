// What every fuzz target needs before its first input.
#pragma once

#include "runtime/memory/memory.h"
#include "runtime/startup/runtime_state.h"
#include "winposix/testctl.h"
#include "winposix/win32.h"

#include <fcntl.h>

namespace fuzz {

// Bytes kept behind an output buffer: a target checks them after each call.
constexpr size_t kGuard = 8;
constexpr char kCanary = '\x5A';

// Heap mode: every block is its own malloc of the exact size, so the sanitizer sees a byte read
// or written past any text. A console program, so diagnostic lines are written to standard
// error, which goes nowhere, instead of piling up as recorded message boxes.
inline void Prepare() {
  static bool ready = false;
  if (ready) return;
  ready = true;
  SetEnvironmentVariableA("_Heap_Mgr_", "2");
  InitMem();
  RuntimeState.ModuleBase = GetModuleHandleA(nullptr);
  SetStdHandle(STD_ERROR_HANDLE, winposix::DescriptorHandle(open("/dev/null", O_WRONLY)));
}

// Stops the run in a way the driver and libFuzzer both report as a crash.
[[noreturn]] inline void Fail() {
  __builtin_trap();
}

} // namespace fuzz
