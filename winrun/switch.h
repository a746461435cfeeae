// Crossing between the runner's 64-bit code and the program's 32-bit code. The processor runs
// 32-bit code through the user code selector 0x23 and comes back through 0x33; FS holds the
// 32-bit thread block while 32-bit code runs and the C library's thread pointer otherwise,
// which the thread block keeps for the way back.
#pragma once

#include <stdint.h>

namespace winrun {

constexpr uint16_t kCode32 = 0x23;
constexpr uint16_t kCode64 = 0x33;
constexpr uint16_t kData = 0x2B;
// Where in the thread block the C library's thread pointer waits (its page is 4 KiB).
constexpr uint32_t kLibraryPointerSlot = 0xFF0;

} // namespace winrun

extern "C" {

// Calls the 32-bit function at target with count 32-bit arguments (stdcall or cdecl) on the
// thread whose block is at block; stack is the 32-bit stack's top, or 0 to go on below the
// current stack pointer, which must then lie below 4 GiB. Returns EAX.
uint32_t Call32(uint32_t target, const uint32_t* args, uint32_t count, uint32_t block,
                uint32_t stack);

// Puts the registers of a 32-bit context (winrun::Context32) back and runs on from them.
[[noreturn]] void Resume32(const void* context, uint32_t block);

// Where every import stub enters 64-bit code: a far call with the entry's index in EAX.
void Enter64();

// The signal handler in front of winrun::OnSignal: it swaps the thread pointer when the signal
// found the 32-bit one in FS, and puts it back before returning.
void SignalEntry(int signal, void* info, void* context);

// Where a fault in 32-bit code continues after its signal returns: in 64-bit code on the
// thread's 32-bit stack, with the exception record in RDI and the context in RSI.
void DispatchEntry();

// The 32-bit thread blocks lie in [ThreadBlocksStart, ThreadBlocksEnd).
extern uint64_t ThreadBlocksStart, ThreadBlocksEnd;
}
