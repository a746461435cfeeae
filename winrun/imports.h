// The functions a 32-bit program can reach: each is a 32-bit stub below 4 GiB that enters 64-bit
// code with its index, where an adapter converts the arguments and calls the Win32 layer.
#pragma once

#include "winrun/widths.h"

namespace winrun {

// Writes the stubs below 4 GiB; false when memory ran out.
bool BuildStubs();

// The stub of a function the layer exports from module (under its name there) and the runner
// adapts; 0 with ERROR_PROC_NOT_FOUND when either lacks it.
uint32_t StubFor(HMODULE module, const char* name);

// The stack a new thread reserves unless it asks for more: the image's own.
void SetDefaultStack(uint32_t reserve);
uint32_t DefaultStack();

} // namespace winrun
