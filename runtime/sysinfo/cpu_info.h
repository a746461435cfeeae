// Who the processor is, as CPUID tells it: one process-wide record, written at start-up.
#pragma once

#include <stdint.h>

enum CpuVendor : int32_t {
  kVendorUnknown = 0,
  kVendorIntel = 1,
  kVendorAmd = 2,
  kVendorCentaur = 3,
  kVendorTransmeta = 4,
};

constexpr uint32_t kCpuNameSize = 113; // brand string, Transmeta suffix, terminator

struct CpuInfoRecord {
  bool Valid;
  int32_t Vendor;
  char VendorName[13];
  uint8_t Family, Model, Stepping, Brand; // the plain 4-bit fields; extended bits not folded in
  char Name[kCpuNameSize];
  bool HasMMX, HasFXSR, HasSSE; // HasSSE: the feature bit and the system's SSE support
  uint32_t Leaf0[4];            // EAX (the highest standard leaf), EBX, ECX, EDX
  uint32_t Leaf1[4];
  uint32_t Leaf2[4];
  uint32_t Leaf3[4];
  uint32_t MaxExtLeaf;
};

extern CpuInfoRecord CpuInfo;

// CPUID (leaf, sub-leaf 0) under the fault guard. Null outputs are skipped; false (and zeros)
// on a processor without CPUID.
bool ReadCpuId(uint32_t leaf, uint32_t* eax, uint32_t* ebx, uint32_t* ecx, uint32_t* edx);

// Fills CpuInfo; verbose traces every leaf read and the name. Not complete (and not verbose),
// only leaves 0 and 1 are read: the vendor, the family and the features the runtime acts on;
// the name, leaves 2 and 3 and the highest extended leaf stay as they were. False when leaf 0
// cannot be read.
bool IdentifyCpu(bool verbose, bool complete = true);

// The start-up's identification: verbose with the CPU-report option, complete with it or the
// system-description option.
bool IdentifyAllCpus();

// RuntimeState.ProcessorClass from CpuInfo: the processor generation code.
void ComputeProcessorClass();
