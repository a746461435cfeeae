// The processor as a seam: every CPUID, RDTSC and SSE probe of the runtime goes through here.
// Each executes the real instruction unless a test has installed a recorded processor, whose
// table then answers in its place.
#pragma once

#include <stdint.h>

struct CpuIdRegisters {
  uint32_t Eax, Ebx, Ecx, Edx;
};

// CPUID with the leaf in EAX and the sub-leaf in ECX. A processor without CPUID raises the
// invalid-opcode fault here: run it under FaultGuard.
void ExecuteCpuId(uint32_t leaf, uint32_t subLeaf, CpuIdRegisters* out);

// The time-stamp counter.
uint64_t ReadTimeStamp();

// One aligned packed move between two XMM registers, as a step of FaultGuard: false when the
// system has not enabled SSE state and the move faults. The only SSE instruction of the runtime.
bool ProbeSSE();

// One CPUID answer of a recorded processor.
struct RecordedLeaf {
  uint32_t Leaf, SubLeaf;
  uint32_t Eax, Ebx, Ecx, Edx;
};

// A processor as a test describes it. Leaves it does not list answer all zero.
struct RecordedProcessor {
  const RecordedLeaf* Leaves;
  uint32_t LeafCount;
  bool NoCpuId;     // CPUID raises the invalid-opcode fault, as before the Pentium
  bool SseStateOff; // the system leaves SSE state off: the probe faults
  // Initial APIC ids (leaf 1 EBX bits 24..31) by processor number, when CurrentProcessor says
  // where the caller runs; leaf 1 of the table answers otherwise.
  const uint8_t* ApicIds;
  uint32_t ApicIdCount;
  uint32_t (*CurrentProcessor)();
  uint64_t TimeStampStep; // each ReadTimeStamp advances the recorded counter by this
};

// Null puts the real processor back.
void ReplayProcessor(const RecordedProcessor* processor);
