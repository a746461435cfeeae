#include "runtime/sysinfo/smt.h"

#include "runtime/diag/trace.h"
#include "runtime/memory/memory.h"
#include "runtime/platform/thread.h"
#include "runtime/startup/options.h"
#include "runtime/startup/runtime_state.h"
#include "runtime/sysinfo/cpu_info.h"
#include "runtime/sysinfo/processor.h"
#include "runtime/diag/console.h"
#include "runtime/text/fault_guard.h"
#include "runtime/text/memory_ops.h"
#include "runtime/text/numbers.h"
#include "runtime/text/system_functions.h"

SmtStateRecord SmtState;

namespace {

// "GenuineIntel" as CPUID leaf 0 spreads it over EBX, EDX, ECX.
constexpr uint32_t kIntelEBX = 0x756E6547u, kIntelEDX = 0x49656E69u, kIntelECX = 0x6C65746Eu;
constexpr uint32_t kHyperThreading = 1u << 28;

// Affinity masks of a 32-bit program, and the ApicTable, end at processor 31; a wider
// mask probes no further.
constexpr DWORD_PTR kLastProbedMask = static_cast<DWORD_PTR>(1) << 31;

void RunJob(void* job) {
  static_cast<GuardedJob*>(job)->Run();
}

// Logical processors per package that the APIC id's low bits count, or 0 when SMT is not worth
// probing on this processor.
uint32_t LogicalPerPackage(const CpuIdSnapshot& snap) {
  const bool netburstOrLater =
      (snap.Signature & 0x00000F00u) == 0x00000F00u || (snap.Signature & 0x00F00000u) != 0;
  const bool intel =
      snap.VendorEBX == kIntelEBX && snap.VendorEDX == kIntelEDX && snap.VendorECX == kIntelECX;
  if (!netburstOrLater || !intel || (snap.Features & kHyperThreading) == 0) return 0;
  uint32_t logical = (snap.Misc >> 16) & 0xFF;
  const uint8_t cores = static_cast<uint8_t>((snap.CoreInfo >> 26) + 1);
  if (cores > 1) {
    if (logical * cores > ProcessorCount()) logical >>= 1;
    while (logical > 2) logical >>= 1;
  }
  return logical > 1 ? logical : 0;
}

// Moves the process onto each processor in turn and splits each one's APIC id.
void Probe(const CpuIdSnapshot& snap) {
  SmtStateRecord& s = SmtState;
  const uint32_t logical = LogicalPerPackage(snap);
  if (logical == 0) return;
  uint32_t shift = 0;
  while ((1u << shift) < logical) ++shift;
  const uint8_t physMask = static_cast<uint8_t>(0xFF << shift);

  const auto getMask =
      FindSystemFunction<GetProcessAffinityMaskFn>(SystemFunction::GetProcessAffinityMask);
  const auto setMask =
      FindSystemFunction<SetProcessAffinityMaskFn>(SystemFunction::SetProcessAffinityMask);
  if (getMask == nullptr || setMask == nullptr) return;
  HANDLE process = GetCurrentProcess();
  DWORD_PTR processMask = 0, systemMask = 0;
  if (!getMask(process, &processMask, &systemMask) || processMask != systemMask) return;

  // A probe rewrites the table from the front; what an earlier one left must not count again.
  ZeroMem(s.ApicTable, sizeof s.ApicTable);
  uint32_t entries = 0;
  for (DWORD_PTR mask = 1; mask != 0 && mask < processMask; mask <<= 1) {
    if ((systemMask & mask) != 0 && setMask(process, mask)) {
      Sleep(0); // lets the scheduler move this thread onto the processor
      const uint8_t apic = CurrentApicId();
      const uint8_t phys = static_cast<uint8_t>(apic >> shift);
      const uint8_t log = static_cast<uint8_t>(apic & ~physMask);
      PrintMessage("TThread::SMTSupported() AffinityMask:%02X -> "
                   "CurProcessorAPICID:%u,PhysId:%u,LogId:%u\n",
                   static_cast<uint32_t>(mask), apic, phys, log);
      s.ApicTable[entries++] = {true, phys, log};
      if (log != 0) s.SmtPresent = s.SmtDecided = true;
    }
    if (mask == kLastProbedMask) break;
  }
  setMask(process, processMask);

  uint32_t packages = 0;
  for (uint32_t p = 0; p < kApicTableSize; ++p) {
    for (const ApicEntry& e : s.ApicTable) {
      if (e.Used && e.PhysId == p) {
        ++packages;
        break;
      }
    }
  }
  s.PhysCPUCount = packages != 0 ? packages : 1;
  TraceValue("IA32_PhysCPUCount", s.PhysCPUCount, false);
}

} // namespace

uint32_t ProcessorCountOverride() {
  SmtStateRecord& s = SmtState;
  if (!s.CountOverrideKnown) {
    const char* value = nullptr;
    if (HasOption(kOptCpuCount, &value) && value != nullptr && value[0] != 0) {
      bool complete = false;
      const uint32_t n = static_cast<uint32_t>(ParseUnsigned(value, &complete));
      if (complete && n > 0) s.CachedCountOverride = n;
    }
    s.CountOverrideKnown = true;
  }
  return s.CachedCountOverride;
}

uint32_t ProcessorCount() {
  SmtStateRecord& s = SmtState;
  if (!s.ProcessorCountKnown) {
    uint32_t n = ProcessorCountOverride();
    if (n == 0) {
      SYSTEM_INFO info;
      ZeroMem(&info, sizeof info);
      GetSystemInfo(&info);
      n = info.dwNumberOfProcessors;
    }
    s.CachedProcessorCount = n;
    s.ProcessorCountKnown = true;
  }
  return s.CachedProcessorCount;
}

bool PinningAllowed() {
  SmtStateRecord& s = SmtState;
  if (!s.PinningAllowedKnown) {
    s.CachedPinningAllowed = !HasOption(kOptNoPinning) && OsVersion.Platform != kPlatformWin32s;
    s.PinningAllowedKnown = true;
  }
  return s.CachedPinningAllowed;
}

bool PinningAvailable() {
  return PinningAllowed() && FindSystemFunction<SetThreadAffinityMaskFn>(
                                 SystemFunction::SetThreadAffinityMask) != nullptr;
}

uint8_t CurrentApicId() {
  CpuIdRegisters r;
  ExecuteCpuId(1, 0, &r);
  return static_cast<uint8_t>(r.Ebx >> 24);
}

bool GuardedJob::RunGuarded() {
  return FaultGuard(&RunJob, this);
}

void CpuIdSnapshot::Run() {
  CpuIdRegisters r;
  ExecuteCpuId(0, 0, &r);
  VendorEBX = r.Ebx;
  VendorECX = r.Ecx;
  VendorEDX = r.Edx;
  ExecuteCpuId(1, 0, &r);
  Signature = r.Eax;
  Misc = r.Ebx;
  Features = r.Edx;
  if (CpuInfo.Valid && CpuInfo.Leaf0[0] >= 4) {
    ExecuteCpuId(4, 0, &r);
    CoreInfo = r.Eax;
  }
  Done = true;
}

bool TThread::SMTSupported(uint32_t* count) {
  SmtStateRecord& s = SmtState;
  if (!s.SmtDecided) {
    if (HasOption(kOptNoSmt)) {
      s.SmtPresent = false;
      s.SmtDecided = true;
    } else if (CpuIdSnapshot* snap = new CpuIdSnapshot) {
      if (snap->RunGuarded() && snap->Done) Probe(*snap);
      delete snap;
    }
  }
  const bool present = s.SmtDecided && s.SmtPresent;
  if (count != nullptr) {
    const uint32_t forced = ProcessorCountOverride();
    *count = forced != 0 ? forced : present ? s.PhysCPUCount : ProcessorCount();
  }
  return present;
}
