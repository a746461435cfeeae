// The single orderly end of the process.
#pragma once

#include <stdint.h>

[[noreturn]] void ExitProgram(int32_t code);
