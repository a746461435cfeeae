// Runs a step of code so that a processor exception inside it (access violation, illegal or
// privileged instruction, arithmetic fault) ends only the step. Nothing else is caught.
#pragma once

#include <stdint.h>

typedef void (*GuardedStep)(void* context);

// True when the step ran to its end; false when a processor exception stopped it (or the guard
// could not be set up, in which case the step does not run).
bool FaultGuard(GuardedStep step, void* context);

// CopyMem under the guard: false when a fault stopped the copy; bytes copied before stay copied.
bool SafeCopyMem(void* dst, const void* src, uint32_t n);
