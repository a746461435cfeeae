// Functions the exit path calls, last registered first.
#pragma once

#include <stdint.h>

typedef void (*ExitCallback)(uintptr_t a, uintptr_t b);

// False when the table cannot be allocated or already holds 99 entries.
bool AddExitCallback(ExitCallback function, uintptr_t a, uintptr_t b);

// Calls every registered function in reverse order, then releases the table.
void RunExitCallbacks();
