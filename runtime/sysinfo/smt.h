// How many processors to count with, whether they are Hyper-Threading logical processors, and
// the cached answers around thread pinning.
#pragma once

#include "runtime/text/system_functions.h"

#include <stddef.h>
#include <stdint.h>
#include "runtime/memory/memory.h"

constexpr uint32_t kApicTableSize = 32;

struct ApicEntry {
  bool Used;
  uint8_t PhysId, LogId;
};

// Process-wide and plain: a test puts it back with SmtState = SmtStateRecord{}.
struct SmtStateRecord {
  bool SmtDecided{};
  bool SmtPresent{};
  ApicEntry ApicTable[kApicTableSize]{};
  uint32_t PhysCPUCount = 1;
  uint32_t CachedProcessorCount = 1;
  bool ProcessorCountKnown{};
  uint32_t CachedCountOverride{};
  bool CountOverrideKnown{};
  bool CachedPinningAllowed{};
  bool PinningAllowedKnown{};
};

extern SmtStateRecord SmtState;

// The processor-count option's value, else what GetSystemInfo reports; decided once.
uint32_t ProcessorCount();
// The processor-count option's value, or 0 when it is absent, empty, unreadable or 0.
uint32_t ProcessorCountOverride();
// False with the no-pinning option or on Win32s; decided once.
bool PinningAllowed();
// PinningAllowed and the system has SetThreadAffinityMask (looked up on every call).
bool PinningAvailable();

// The initial APIC id of the processor the calling thread runs on (CPUID leaf 1).
uint8_t CurrentApicId();

// Work that must not bring the process down when the processor faults inside it. Objects come
// from the memory manager; new gives null when it is out of memory.
class GuardedJob : public TMemObject {
public:
  virtual ~GuardedJob() = default;
  virtual void Run() = 0;
  // False when a processor exception ended Run.
  bool RunGuarded();
};

// The CPUID words the SMT decision needs, read in one guarded job.
class CpuIdSnapshot : public GuardedJob {
public:
  void Run() override;

  bool Done = false;
  uint32_t VendorEBX = 0, VendorECX = 0, VendorEDX = 0;
  uint32_t Signature = 0; // leaf 1 EAX
  uint32_t Misc = 0;      // leaf 1 EBX
  uint32_t Features = 0;  // leaf 1 EDX
  uint32_t CoreInfo = 0;  // leaf 4 EAX, when CpuInfo says the leaf exists
};

// TThread::SMTSupported lives here: on an Intel processor that announces Hyper-Threading it
// moves the process onto every processor in turn and splits each one's APIC id into package and
// logical processor. count (when given) receives the processors to report: the override, the
// packages found, or ProcessorCount.
