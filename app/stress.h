// The stress driver's pieces that tests reach.
#pragma once

#include <stdint.h>

// Rounds address up to a multiple of alignment (a power of two); 0 and 1 leave it unchanged.
void* AlignUp(void* address, uint32_t alignment);

// The exit codes of the stress test.
constexpr uint32_t kExitUnknownArgument = 9;
constexpr uint32_t kExitAffinityRejected = 10; // no processor of the mask can be had
constexpr uint32_t kExitNoSse = 11;            // no SSE, or the system has not enabled it
constexpr uint32_t kExitNoMemory = 12;         // the operand block cannot be had

// Prepares the operand block, pins the process to affinityMask and enters the power loop.
// Returns only when it cannot: the exit code, after one line on standard error that says why.
uint32_t RunStress(uint32_t affinityMask);
