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

// fault_probes.x86.S: calls guard(step, 0) rounds times with known values in ebx, esi, edi and
// ebp, the step changing all four and the stack pointer before it faults. Returns the rounds
// that ended with one of them, the stack pointer or the result wrong; seen gets the four.
extern "C" void WreckAndFault(void* context);
extern "C" uint32_t GuardKeepsRegisters(uint32_t rounds, bool (*guard)(void (*)(void*), void*),
                                        uint32_t* seen);
constexpr uint32_t kRegisterSentinels[] = {0x600DB001, 0x600DB002, 0x600DB003, 0x600DB004};
