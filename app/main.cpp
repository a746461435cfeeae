// The stress test: reads its two arguments, pins the process and enters the power loop.
#include "app/stress.h"
#include "app/stress_kernel.h"
#include "runtime/memory/memory.h"
#include "runtime/startup/startup.h"
#include "runtime/text/console.h"
#include "runtime/text/format.h"
#include "runtime/text/numbers.h"
#include "runtime/text/strings.h"
#include "winposix/win32.h"

namespace {

const char kBanner[] = "Calvisto 1.1  Processor power stress test";
const char kAffinityPrefix[] = "-Affinity:";
constexpr uint32_t kAffinityPrefixLength = sizeof kAffinityPrefix - 1;

// Operands of the loop: 0xAAAAAAAA is about -3.03e-13 and 0x55555555 about 1.47e13, both normal,
// so every addition runs at full speed and raises no exception.
void FillOperands(uint32_t* block) {
  for (int i = 0; i < 4; ++i) block[i] = 0xAAAAAAAAu;
  for (int i = 4; i < 8; ++i) block[i] = 0x55555555u;
}

typedef BOOL(WINAPI* GetProcessAffinityMaskFn)(HANDLE, DWORD_PTR*, DWORD_PTR*);
typedef BOOL(WINAPI* SetProcessAffinityMaskFn)(HANDLE, DWORD_PTR);

template <typename Fn> Fn FindFunction(HMODULE module, const char* name) {
  return reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}

bool PinProcess(uint32_t mask) {
  HMODULE kernel = GetModuleHandleA("kernel32");
  if (kernel == nullptr) return false;
  auto getMask = FindFunction<GetProcessAffinityMaskFn>(kernel, "GetProcessAffinityMask");
  auto setMask = FindFunction<SetProcessAffinityMaskFn>(kernel, "SetProcessAffinityMask");
  if (getMask == nullptr || setMask == nullptr) return false;
  HANDLE process = GetCurrentProcess();
  DWORD_PTR processMask, systemMask;
  if (!getMask(process, &processMask, &systemMask)) return false;
  return setMask(process, mask) != 0;
}

} // namespace

void* AlignUp(void* address, uint32_t alignment) {
  if (alignment <= 1) return address;
  const uintptr_t at = reinterpret_cast<uintptr_t>(address);
  return reinterpret_cast<void*>((at + alignment - 1) & ~static_cast<uintptr_t>(alignment - 1));
}

void RunStress(uint32_t affinityMask) {
  void* raw = AllocMem(48);
  if (raw == nullptr) return;
  auto* block = static_cast<uint32_t*>(AlignUp(raw, 16));
  FillOperands(block);
  if (PinProcess(affinityMask)) {
    Sleep(0);
    PrintMessage("Press ^C to stop CPU stress test...\n");
    StressKernel(block);
  }
  FreeMem(raw);
}

int main(int argc, char** argv) {
  RegisterInt64Directive();
  PrintMessage("%s\n\n", kBanner);
  uint32_t mask = 1;
  for (int i = 1; i < argc; ++i) {
    const char* arg = argv[i];
    if (arg == nullptr || StrEqual(arg, "-v")) continue; // null: its copy could not be made
    if (StrEqualN(arg, kAffinityPrefix, kAffinityPrefixLength)) {
      mask = static_cast<uint32_t>(ParseUnsigned(arg + kAffinityPrefixLength, nullptr));
      continue;
    }
    PrintError("Unknown command-line argument: '%s'\n", arg);
    PrintMessage("Usage: %s [-Affinity:<n>] [-v]]\n", argv[0]);
    return 9;
  }
  RunStress(mask);
  return 0;
}
