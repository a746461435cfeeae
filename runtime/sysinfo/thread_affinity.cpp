#include "runtime/sysinfo/thread_affinity.h"

SetThreadAffinityMaskFunction ResolveSetThreadAffinityMask() {
  HMODULE kernel = GetModuleHandleA("kernel32.dll");
  if (kernel == nullptr) return nullptr;
  FARPROC found = GetProcAddress(kernel, "SetThreadAffinityMask");
  return reinterpret_cast<SetThreadAffinityMaskFunction>(reinterpret_cast<void (*)()>(found));
}
