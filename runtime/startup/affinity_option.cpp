#include "runtime/startup/affinity_option.h"

#include "runtime/startup/options.h"
#include "runtime/startup/runtime_state.h"
#include "runtime/text/numbers.h"
#include "winposix/win32.h"
#include "runtime/text/system_functions.h"

void ApplyAffinityOption() {
  const char* value;
  if (!HasOption(kOptProcessAffinity, &value) || value == nullptr || *value == 0) return;
  bool complete;
  const auto mask = static_cast<uint32_t>(ParseUnsigned(value, &complete));
  if (!complete || OsVersion.Platform != kPlatformNT) return;
  // Windows 95 has no such function.
  const auto setMask =
      FindSystemFunction<SetProcessAffinityMaskFn>(SystemFunction::SetProcessAffinityMask);
  if (setMask != nullptr) setMask(GetCurrentProcess(), mask);
}
