// What every fuzz target needs before its first input.
#pragma once

#include "runtime/memory/memory.h"
#include "winposix/testctl.h"
#include "winposix/win32.h"

#include <fcntl.h>

namespace fuzz {

// Heap mode: every block is its own malloc of the exact size, so the sanitizer sees a byte read
// or written past any text; the option trace goes nowhere instead of filling the log.
inline void Prepare() {
  static bool ready = false;
  if (ready) return;
  ready = true;
  SetEnvironmentVariableA("_Heap_Mgr_", "2");
  InitMem();
  SetStdHandle(STD_ERROR_HANDLE, winposix::DescriptorHandle(open("/dev/null", O_WRONLY)));
}

// Stops the run in a way the driver and libFuzzer both report as a crash.
[[noreturn]] inline void Fail() {
  __builtin_trap();
}

} // namespace fuzz
