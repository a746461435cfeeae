#include "winrun/thread_block.h"

#include "winposix/loader.h"
#include "winrun/switch.h"
#include "winrun/widths.h"

#include <csignal>
#include <cstdlib>
#include <mutex>
#include <sys/mman.h>
#include <unistd.h>

uint64_t ThreadBlocksStart = 0, ThreadBlocksEnd = 0;

namespace winrun {
namespace {

constexpr uint32_t kPage = 0x1000;
constexpr uint32_t kBlocks = 512; // block 0 is the process block
constexpr size_t kSignalStack = 64 * 1024;

std::mutex blocksLock;
bool blockUsed[kBlocks];
thread_local uint32_t currentBlock = 0;
thread_local void* signalStack = nullptr;

uint32_t BlockAddress(uint32_t index) {
  return static_cast<uint32_t>(ThreadBlocksStart) + index * kPage;
}

// Windows rounds a thread's stack to whole 64 KiB granules.
uint32_t RoundedStack(uint32_t reserve) {
  const uint32_t granule = 0x10000;
  if (reserve < granule) reserve = granule;
  return (reserve + granule - 1) & ~(granule - 1);
}

} // namespace

uint32_t Thread32::Block() const {
  return Address(block);
}

bool ReserveThreadBlocks() {
  void* region = winposix::MapForProgram(kBlocks * kPage, PROT_READ | PROT_WRITE,
                                         MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (region == MAP_FAILED) return false;
  ThreadBlocksStart = reinterpret_cast<uintptr_t>(region);
  ThreadBlocksEnd = ThreadBlocksStart + kBlocks * kPage;
  blockUsed[0] = true;
  return true;
}

// ImageBaseAddress lies at 8 in the process block.
void SetImageBase(uint32_t base) {
  Pointer<uint32_t>(ProcessBlock())[2] = base;
}

uint32_t ProcessBlock() {
  return BlockAddress(0);
}

bool NewThread(uint32_t stackReserve, Thread32* thread) {
  uint32_t index = 0;
  {
    std::lock_guard<std::mutex> hold(blocksLock);
    for (uint32_t i = 1; i < kBlocks && index == 0; ++i)
      if (!blockUsed[i]) index = i;
    if (index == 0) return false;
    blockUsed[index] = true;
  }
  const uint32_t size = RoundedStack(stackReserve);
  void* stack = winposix::MapForProgram(size, PROT_READ | PROT_WRITE,
                                        MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (stack == MAP_FAILED) {
    std::lock_guard<std::mutex> hold(blocksLock);
    blockUsed[index] = false;
    return false;
  }
  // The lowest page stays a guard: running off the stack faults instead of writing elsewhere.
  mprotect(stack, kPage, PROT_NONE);
  thread->stackBottom = Address(stack);
  thread->stackSize = size;
  thread->stackTop = thread->stackBottom + size;
  thread->block = Pointer<ThreadBlock>(BlockAddress(index));
  *thread->block = {};
  thread->block->ExceptionList = kEndOfChain;
  thread->block->StackBase = thread->stackTop;
  thread->block->StackLimit = thread->stackBottom + kPage;
  thread->block->Self = thread->Block();
  thread->block->ProcessId = static_cast<uint32_t>(getpid());
  thread->block->ProcessBlock = ProcessBlock();
  return true;
}

void AdoptThread(const Thread32& thread) {
  thread.block->ThreadId = GetCurrentThreadId();
  currentBlock = thread.Block();
  // A signal in 32-bit code finds a stack pointer the 64-bit handler cannot trust.
  signalStack = std::malloc(kSignalStack);
  if (signalStack == nullptr) Fatal("no memory for a signal stack");
  stack_t alternate = {};
  alternate.ss_sp = signalStack;
  alternate.ss_size = kSignalStack;
  sigaltstack(&alternate, nullptr);
}

void LeaveThread(const Thread32& thread) {
  stack_t off = {};
  off.ss_flags = SS_DISABLE;
  sigaltstack(&off, nullptr);
  std::free(signalStack);
  signalStack = nullptr;
  currentBlock = 0;
  FreeThread(thread);
}

void FreeThread(const Thread32& thread) {
  munmap(Pointer<void>(thread.stackBottom), thread.stackSize);
  std::lock_guard<std::mutex> hold(blocksLock);
  blockUsed[(thread.Block() - static_cast<uint32_t>(ThreadBlocksStart)) / kPage] = false;
}

uint32_t CurrentBlock() {
  return currentBlock;
}

} // namespace winrun
