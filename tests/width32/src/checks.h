// The harness of the 32-bit image checks: every check counts, only a failure prints.
#pragma once

#include <stdint.h>

void ExpectEq(const char* name, uint32_t expected, uint32_t got);
void ExpectText(const char* name, const char* expected, const char* got);
// A check name from a format, valid until the next call.
const char* Named(const char* format, ...);
inline uint32_t Address(const void* p) {
  return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(p));
}

void CheckFaultGuard();
void CheckThreads();
// Rounds of the fault guard in which a callee-saved register or the stack pointer was lost.
uint32_t LostRounds(uint32_t rounds);
