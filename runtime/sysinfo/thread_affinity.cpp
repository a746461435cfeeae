#include "runtime/sysinfo/thread_affinity.h"
#include "runtime/platform/system_functions.h"

SetThreadAffinityMaskFunction ResolveSetThreadAffinityMask() {
  return FindSystemFunction<SetThreadAffinityMaskFunction>(SystemFunction::SetThreadAffinityMask);
}
