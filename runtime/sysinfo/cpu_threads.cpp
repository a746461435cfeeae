#include "runtime/sysinfo/cpu_threads.h"

#include "runtime/diag/trace.h"
#include "runtime/sysinfo/cpu_info.h"
#include "runtime/sysinfo/smt.h"

uint32_t CpuIdThread::Execute() {
  if (Verbose) TraceValue("CPU", Index, false);
  IdentifyCpu(Verbose);
  return 0;
}

bool IdentifyOnEveryProcessor() {
  const uint32_t count = ProcessorCount();
  if (count <= 1 || !PinningAllowed() || !PinningAvailable()) return false;
  bool ran = false;
  for (uint32_t i = 0; i < count; ++i) {
    auto* thread = new CpuIdThread(i, true);
    if (thread == nullptr) continue;
    thread->SetAffinity(1u << (i % 32));
    // Only a thread that ran has identified its processor.
    if (thread->Start() && thread->WaitFor()) ran = true;
    delete thread;
  }
  return ran;
}
