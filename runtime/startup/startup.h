// The image's entry point and the fixed start-up order that leads to main.
#pragma once

#include <stdint.h>

// The program's main. Its first parameter is int only because compilers insist on that type
// for main; the count is never negative.
int main(int argc, char** argv);

// The entry point: prepares the runtime, calls main and ends the process. Never returns.
extern "C" [[noreturn]] void RuntimeStart();

// Points the sinks of the layers below the diagnostic channel (the runtime state's, the memory
// manager's report) at it: the entry point's first step.
void ConnectSinks();

// Calls main directly and returns its result.
int32_t CallMain(uint32_t argc, char** argv);
