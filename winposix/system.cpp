// The system record: page size and processor count from the running system, the processor's
// family, model and stepping from CPUID, and the 64 KiB allocation granularity of Windows, which
// VirtualAlloc here honours too.
#include "winposix/internal.h"

#include <atomic>
#include <cpuid.h>
#include <unistd.h>

namespace {

struct Level {
  WORD level, revision;
};

// Family and model with their extended parts folded in, as Windows reports them. Leaf 1 is
// there on every x86-64 processor; asking for the highest leaf first would double the cost, and
// each CPUID is a trap to the hypervisor on a virtual machine (about 5 us on the one measured).
Level ReadProcessorLevel() {
  unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
  __cpuid(1, eax, ebx, ecx, edx);
  unsigned family = (eax >> 8) & 0xF;
  unsigned model = (eax >> 4) & 0xF;
  if (family == 0xF) family += (eax >> 20) & 0xFF;
  if (family == 0x6 || family >= 0xF) model |= ((eax >> 16) & 0xF) << 4;
  return {static_cast<WORD>(family), static_cast<WORD>((model << 8) | (eax & 0xF))};
}

// Read once, as Windows keeps it in the system's own record.
void ProcessorLevel(WORD* level, WORD* revision) {
  static const Level known = ReadProcessorLevel();
  *level = known.level;
  *revision = known.revision;
}

std::atomic<long> onlineProcessors{0}; // 0 until read; racing first reads store the same

} // namespace

long winposix::OnlineProcessors() {
  long count = onlineProcessors.load(std::memory_order_relaxed);
  if (count == 0) {
    count = sysconf(_SC_NPROCESSORS_ONLN);
    if (count < 1) count = 1;
    onlineProcessors.store(count, std::memory_order_relaxed);
  }
  return count;
}

extern "C" void WINAPI GetSystemInfo(LPSYSTEM_INFO info) {
  long processors = winposix::OnlineProcessors();
  if (processors > 64) processors = 64; // one mask word, as in a Windows processor group
  info->dwOemId = 0;
  info->wProcessorArchitecture = PROCESSOR_ARCHITECTURE_AMD64;
  info->dwPageSize = static_cast<DWORD>(sysconf(_SC_PAGESIZE));
  info->lpMinimumApplicationAddress = reinterpret_cast<LPVOID>(0x10000);
  info->lpMaximumApplicationAddress = reinterpret_cast<LPVOID>(0x7FFFFFFEFFFFull);
  info->dwActiveProcessorMask = processors == 64 ? ~DWORD_PTR{0} : (DWORD_PTR{1} << processors) - 1;
  info->dwNumberOfProcessors = static_cast<DWORD>(processors);
  info->dwProcessorType = PROCESSOR_AMD_X8664;
  info->dwAllocationGranularity = 0x10000;
  ProcessorLevel(&info->wProcessorLevel, &info->wProcessorRevision);
  winposix::ApplySystemRecord(info); // a machine a test describes
}
