#include "runtime/sysinfo/process_times.h"

#include "winposix/win32.h"
#include "runtime/text/system_functions.h"

namespace {

typedef BOOL(WINAPI* GetProcessTimesFn)(HANDLE, FILETIME*, FILETIME*, FILETIME*, FILETIME*);

} // namespace

// Long division a bit at a time: on a 32-bit target `a / b` is a call into the compiler's
// helper library, which the product would otherwise carry only for this, the rarely taken path
// of FileTimeToMs.
uint64_t U64Div(uint64_t a, uint64_t b) {
  if (b == 0) return 0;
  uint64_t quotient = 0, remainder = 0;
  // The remainder stays below b, and below 2^63 before each shift (with b above 2^63 nothing
  // is subtracted before the last bit): the shift never loses a bit.
  for (int bit = 63; bit >= 0; --bit) {
    remainder = remainder << 1 | ((a >> bit) & 1);
    if (remainder >= b) {
      remainder -= b;
      quotient |= uint64_t{1} << bit;
    }
  }
  return quotient;
}

uint32_t FileTimeToMs(uint32_t low, uint32_t high) {
  // Below 2^36 units (about 1.9 hours) the count / 16 fits in 32 bits, and 10000 = 16 * 625:
  // no 64-bit division for the usual case.
  if (high <= 15) return (high << 28 | low >> 4) / 625;
  return U64Low(U64Div(U64Make(low, high), 10000));
}

uint32_t GetProcessCpuTimes(uint32_t* kernelMs) {
  if (kernelMs != nullptr) *kernelMs = 0;
  // Windows 95 has no GetProcessTimes.
  const auto function = FindSystemFunction<GetProcessTimesFn>(SystemFunction::GetProcessTimes);
  if (function == nullptr) return 0;
  FILETIME creation, exit, kernel, user;
  if (!function(GetCurrentProcess(), &creation, &exit, &kernel, &user)) return 0;
  if (kernelMs != nullptr) *kernelMs = FileTimeToMs(kernel.dwLowDateTime, kernel.dwHighDateTime);
  return FileTimeToMs(user.dwLowDateTime, user.dwHighDateTime);
}
