// The single orderly end of the process: signal, key wait, end-of-run lines, exit callbacks,
// release of the runtime's lists, the memory manager's teardown and ExitProcess.
#pragma once

#include <stdint.h>

// Never returns.
[[noreturn]] void ExitProgram(int32_t code);

// Every step of ExitProgram before ExitProcess; returns the code the process ends with. No
// memory may be allocated or released afterwards until InitMem runs again.
int32_t FinishRun(int32_t code);

// The target of every pure virtual slot: a trace line, then ExitProgram(13).
[[noreturn]] void PureVirtualCalled();

// The character of the first key pressed at the console; 0 at once when the console input
// cannot be read.
char WaitForKey();

// Whether the exit waits for a key after ending with code: the key-wait options, else
// RuntimeState.KeyWaitPolicy.
bool KeyWaitWanted(int32_t code);

// A reading of the clocks the "Time:" line compares, in milliseconds.
struct TimeReading {
  uint32_t Tick, UserMs, KernelMs;
};

// "Time: 5.250/U=4.010/K=0.020" for the time between two readings; with elapsed or user time of
// 60 s or more, "Time: 1:01.000/U=..." with whole minutes for all three. Differences are taken
// modulo 2^32.
bool FormatTimeLine(char* dst, int32_t size, const TimeReading& start, const TimeReading& now);
