// The stress driver's pieces that tests reach.
#pragma once

#include <stdint.h>

// Rounds address up to a multiple of alignment (a power of two); 0 and 1 leave it unchanged.
void* AlignUp(void* address, uint32_t alignment);

// Prepares the operand block, pins the process to affinityMask and enters the power loop.
// Returns only when the set-up fails.
void RunStress(uint32_t affinityMask);
