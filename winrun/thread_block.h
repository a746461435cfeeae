// The 32-bit side of a thread: its thread block (what fs: addresses) and its stack, both below
// 4 GiB. The blocks share one region, so a signal handler can tell from FS alone whether it
// interrupted 32-bit code.
#pragma once

#include <stdint.h>

namespace winrun {

// The fields of the thread block that 32-bit Windows programs read.
struct ThreadBlock {
  uint32_t ExceptionList; // fs:[0], 0xFFFFFFFF at the end of the chain
  uint32_t StackBase;     // the top
  uint32_t StackLimit;    // the lowest usable address
  uint32_t SubSystemTib, FiberData, ArbitraryUserPointer;
  uint32_t Self; // fs:[0x18]
  uint32_t EnvironmentPointer;
  uint32_t ProcessId, ThreadId; // fs:[0x20], fs:[0x24]
  uint32_t ActiveRpcHandle, ThreadLocalStoragePointer;
  uint32_t ProcessBlock;   // fs:[0x30]
  uint32_t LastErrorValue; // fs:[0x34]
};

constexpr uint32_t kEndOfChain = 0xFFFFFFFF;

struct Thread32 {
  ThreadBlock* block = nullptr;
  uint32_t stackTop = 0;
  uint32_t stackBottom = 0; // where the stack's mapping starts (a guard page)
  uint32_t stackSize = 0;
  uint32_t Block() const;
};

// The region of thread blocks and the process block; false when memory below 4 GiB ran out.
bool ReserveThreadBlocks();
// Writes the image's base into the process block.
void SetImageBase(uint32_t base);
// A block and a stack of at least stackReserve bytes for a new thread; false when none is left.
bool NewThread(uint32_t stackReserve, Thread32* thread);
// Runs on the thread itself before its 32-bit code: the signal stack and the thread's identity.
void AdoptThread(const Thread32& thread);
// After the thread's 32-bit code ended, on the thread itself.
void LeaveThread(const Thread32& thread);
// Gives back the block and the stack of a thread that never ran.
void FreeThread(const Thread32& thread);
// The 32-bit thread block of the calling thread (0 on a thread without one).
uint32_t CurrentBlock();
// The process block's address.
uint32_t ProcessBlock();

} // namespace winrun
