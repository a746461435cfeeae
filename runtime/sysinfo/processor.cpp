#include "runtime/sysinfo/processor.h"

#include "runtime/text/fault_guard.h"

// Only global functions live here: the product check exempts the range from ProbeSSE to the
// next symbol, so nothing local may follow it unseen.

namespace {
const RecordedProcessor* ReplayedProcessor = nullptr;
uint64_t ReplayedTimeStamp = 0;
} // namespace

void ReplayProcessor(const RecordedProcessor* processor) {
  ReplayedProcessor = processor;
  ReplayedTimeStamp = 0;
}

void ExecuteCpuId(uint32_t leaf, uint32_t subLeaf, CpuIdRegisters* out) {
  const RecordedProcessor* replay = ReplayedProcessor;
  if (replay == nullptr) {
    uint32_t a, b, c, d;
    __asm__ volatile("cpuid" : "=a"(a), "=b"(b), "=c"(c), "=d"(d) : "a"(leaf), "c"(subLeaf));
    *out = {a, b, c, d};
    return;
  }
  if (replay->NoCpuId) __asm__ volatile("ud2"); // what the opcode does on a 486
  *out = {0, 0, 0, 0};
  for (uint32_t i = 0; i < replay->LeafCount; ++i) {
    const RecordedLeaf& entry = replay->Leaves[i];
    if (entry.Leaf == leaf && entry.SubLeaf == subLeaf) {
      *out = {entry.Eax, entry.Ebx, entry.Ecx, entry.Edx};
      break;
    }
  }
  if (leaf == 1 && replay->CurrentProcessor != nullptr && replay->ApicIds != nullptr) {
    const uint32_t processor = replay->CurrentProcessor();
    if (processor < replay->ApicIdCount)
      out->Ebx = (out->Ebx & 0x00FFFFFFu) | static_cast<uint32_t>(replay->ApicIds[processor]) << 24;
  }
}

uint64_t ReadTimeStamp() {
  if (ReplayedProcessor != nullptr) return ReplayedTimeStamp += ReplayedProcessor->TimeStampStep;
  uint32_t low, high;
  __asm__ volatile("rdtsc" : "=a"(low), "=d"(high));
  return static_cast<uint64_t>(high) << 32 | low;
}

// The guarded step of the probe. It carries the probe's name because it holds the instruction.
void ProbeSSE(void* stateOff) {
  if (stateOff != nullptr) __asm__ volatile("ud2"); // what the move does with CR4.OSFXSR clear
#ifdef __SSE__
  __asm__ volatile("movaps %%xmm0, %%xmm1" ::: "xmm1");
#else
  // The compiler keeps nothing in XMM registers here.
  __asm__ volatile("movaps %xmm0, %xmm1");
#endif
}

bool ProbeSSE() {
  const RecordedProcessor* replay = ReplayedProcessor;
  void* stateOff = replay != nullptr && replay->SseStateOff ? &ReplayedTimeStamp : nullptr;
  return FaultGuard(static_cast<void (*)(void*)>(&ProbeSSE), stateOff);
}
