// %H: a 64-bit integer passed as two 32-bit arguments, low half first, so that callers on a
// 32-bit build need no 64-bit argument handling. The next format letter says how to show it:
// u (unsigned), d (signed), x or X (hex). Any other letter leaves an empty field and stays text.
#include "runtime/text/format.h"

#include "runtime/text/numbers.h"

namespace {

// Room for a sign, 20 digits and the terminator, and for 16 hex digits.
constexpr int32_t kInt64TextSize = 22;

int32_t Int64Directive(const char** cursor, char* buffer, int32_t bufferSize, ArgCursor* args) {
  const char how = **cursor;
  if ((how != 'u' && how != 'd' && how != 'x' && how != 'X') || bufferSize < kInt64TextSize) {
    if (bufferSize > 0) buffer[0] = 0;
    return 0;
  }
  ++*cursor;
  uint32_t low = __builtin_va_arg(args->list, uint32_t);
  uint32_t high = __builtin_va_arg(args->list, uint32_t);
  const uint32_t size = static_cast<uint32_t>(bufferSize);

  if (how == 'x' || how == 'X') {
    if (high == 0) return UIntToHex(low, buffer, 0);
    const int32_t len = UIntToHex(high, buffer, 0);
    return len + UIntToHex(low, buffer + len, 8);
  }
  if (how == 'd' && (high & 0x80000000u) != 0) {
    // The magnitude in two's complement; the smallest value stays 2^63, which is right unsigned.
    low = 0u - low;
    high = ~high + (low == 0 ? 1u : 0u);
    buffer[0] = '-';
    return 1 + UInt64ToDec(buffer + 1, size - 1, low, high);
  }
  return UInt64ToDec(buffer, size, low, high);
}

} // namespace

bool RegisterInt64Directive() {
  return RegisterFormatDirective('H', Int64Directive);
}
