// The CPU report on a machine of several processors: one pinned identification thread per
// processor, strictly one after another, each announcing its processor before its lines.
#pragma once

#include "runtime/platform/thread.h"

class CpuIdThread : public TThread {
public:
  CpuIdThread(uint32_t index, bool verbose) : TThread(false, 0), Index(index), Verbose(verbose) {}
  uint32_t Execute() override;

  uint32_t Index;
  bool Verbose;
};

// With more than one processor and pinning allowed and available: identifies on each processor
// in turn, so CpuInfo ends up describing the last. False when no thread could run, and the
// caller identifies on its own thread.
bool IdentifyOnEveryProcessor();
