// The stress driver: prepares the operand block, pins the process and enters the power loop,
// or says why it cannot.
#include "app/stress.h"
#include "app/stress_kernel.h"
#include "runtime/memory/memory.h"
#include "runtime/text/system_functions.h"
#include "runtime/sysinfo/cpu_info.h"
#include "runtime/diag/console.h"
#include "winposix/win32.h"

namespace {

// Operands of the loop: 0xAAAAAAAA is about -3.03e-13 and 0x55555555 about 1.47e13, both normal,
// so every addition runs at full speed and raises no exception.
void FillOperands(uint32_t* block) {
  for (int i = 0; i < 4; ++i) block[i] = 0xAAAAAAAAu;
  for (int i = 4; i < 8; ++i) block[i] = 0x55555555u;
}

typedef BOOL(WINAPI* GetProcessAffinityMaskFn)(HANDLE, DWORD_PTR*, DWORD_PTR*);
typedef BOOL(WINAPI* SetProcessAffinityMaskFn)(HANDLE, DWORD_PTR);

enum class Pinning { Pinned, Unpinned, Rejected };

// Windows 95, 98 and Me have one processor and no affinity setter (missing, or failing with
// ERROR_CALL_NOT_IMPLEMENTED): a mask with processor 0 runs there unpinned. *offered receives
// the processors the system offers.
Pinning PinProcess(uint32_t mask, uint32_t* offered) {
  *offered = 0;
  const auto getMask =
      FindSystemFunction<GetProcessAffinityMaskFn>(SystemFunction::GetProcessAffinityMask);
  const auto setMask =
      FindSystemFunction<SetProcessAffinityMaskFn>(SystemFunction::SetProcessAffinityMask);
  HANDLE process = GetCurrentProcess();
  DWORD_PTR processMask = 1, systemMask = 1;
  if (getMask != nullptr && !getMask(process, &processMask, &systemMask)) return Pinning::Rejected;
  *offered = static_cast<uint32_t>(systemMask);
  if (setMask != nullptr && setMask(process, mask)) return Pinning::Pinned;
  const bool noSetter = setMask == nullptr || GetLastError() == ERROR_CALL_NOT_IMPLEMENTED;
  return noSetter && systemMask == 1 && (mask & 1) != 0 ? Pinning::Unpinned : Pinning::Rejected;
}

} // namespace

void* AlignUp(void* address, uint32_t alignment) {
  if (alignment <= 1) return address;
  const uintptr_t at = reinterpret_cast<uintptr_t>(address);
  return reinterpret_cast<void*>((at + alignment - 1) & ~static_cast<uintptr_t>(alignment - 1));
}

uint32_t RunStress(uint32_t affinityMask) {
  // The loop is SSE code: without SSE state it would fault at its first instruction.
  if (!CpuInfo.HasSSE) {
    const bool sseBit = (CpuInfo.Leaf1[3] & (1u << 25)) != 0;
    PrintError(sseBit ? "Windows has not enabled SSE on this processor; the stress test needs it\n"
                      : "This processor has no SSE; the stress test needs it\n");
    return kExitNoSse;
  }
  void* raw = AllocMem(48);
  if (raw == nullptr) {
    PrintError("Not enough memory for the stress test\n");
    return kExitNoMemory;
  }
  auto* block = static_cast<uint32_t*>(AlignUp(raw, 16));
  FillOperands(block);
  uint32_t offered = 0;
  if (PinProcess(affinityMask, &offered) != Pinning::Rejected) {
    Sleep(0);
    PrintMessage("Press ^C to stop CPU stress test...\n");
    StressKernel(block);
  }
  PrintError("Affinity mask 0x%X rejected: this system offers processors 0x%X\n", affinityMask,
             offered);
  FreeMem(raw);
  return kExitAffinityRejected;
}
