#include "runtime/text/numbers.h"

#include "runtime/text/strings.h"

namespace {

const char kHexDigits[] = "0123456789ABCDEF";

// Writes the digits collected least significant first in reverse, terminated.
int32_t EmitReversed(const char* digits, int32_t count, char* dst) {
  for (int32_t i = 0; i < count; ++i) dst[i] = digits[count - 1 - i];
  dst[count] = 0;
  return count;
}

// Divides the 64-bit value in place by 10 and returns the remainder, with 32-bit arithmetic
// only so the 32-bit product needs no 64-bit division helper: long division in 16-bit steps
// keeps every partial dividend below 10 * 2^16.
uint32_t DivideBy10(uint32_t& low, uint32_t& high) {
  uint32_t rest = high % 10;
  high /= 10;
  uint32_t upper = (rest << 16) | (low >> 16);
  uint32_t lower = ((upper % 10) << 16) | (low & 0xFFFF);
  low = ((upper / 10) << 16) | (lower / 10);
  return lower % 10;
}

// The value of c as a digit of base 10 or 16, or -1.
int32_t DigitValue(char c, uint32_t base) {
  if (c >= '0' && c <= '9') return c - '0';
  if (base == 16 && c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (base == 16 && c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

} // namespace

int32_t UIntToDec(uint32_t value, char* dst) {
  char digits[10];
  int32_t count = 0;
  do {
    digits[count++] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0);
  return EmitReversed(digits, count, dst);
}

int32_t IntToDec(int32_t value, char* dst) {
  if (value >= 0) return UIntToDec(static_cast<uint32_t>(value), dst);
  dst[0] = '-';
  // Negating in unsigned arithmetic keeps -2147483648 intact.
  return 1 + UIntToDec(0u - static_cast<uint32_t>(value), dst + 1);
}

int32_t UIntToHex(uint32_t value, char* dst, int32_t minDigits) {
  char digits[8];
  int32_t count = 0;
  do {
    digits[count++] = kHexDigits[value & 0xF];
    value >>= 4;
  } while (value != 0);
  int32_t pad = minDigits > count ? minDigits - count : 0;
  for (int32_t i = 0; i < pad; ++i) dst[i] = '0';
  return pad + EmitReversed(digits, count, dst + pad);
}

int32_t UInt64ToDec(char* dst, uint32_t size, uint32_t low, uint32_t high) {
  if (size == 0) return 0;
  char digits[20];
  int32_t count = 0;
  do {
    digits[count++] = static_cast<char>('0' + DivideBy10(low, high));
  } while (low != 0 || high != 0);
  int32_t written = 0;
  while (written < count && static_cast<uint32_t>(written) + 1 < size) {
    dst[written] = digits[count - 1 - written];
    ++written;
  }
  dst[written] = 0;
  return written;
}

int32_t ParseNumber(const char* text, bool allowSign, bool* complete) {
  if (complete != nullptr) *complete = false;
  if (text == nullptr || *text == 0) return 0;
  const char* p = text;
  while (IsBlank(*p)) ++p;
  bool negative = false;
  if (allowSign && *p == '-') {
    negative = true;
    ++p;
    while (IsBlank(*p)) ++p;
  } else if (allowSign && *p == '+') {
    while (*p == '+' || IsBlank(*p)) ++p;
  }
  uint32_t base = 10;
  if (p[0] == '0' && CharUpper(static_cast<uint8_t>(p[1])) == 'X') {
    base = 16;
    p += 2;
  }
  uint32_t value = 0;
  bool ended = false;
  for (;; ++p) {
    if (*p == 0) {
      ended = true;
      break;
    }
    int32_t digit = DigitValue(*p, base);
    if (digit < 0) break;
    uint32_t next = value * base + static_cast<uint32_t>(digit);
    // Every overflow counts, not only those that happen to wrap below the old value.
    bool overflow = value > (0xFFFFFFFFu - static_cast<uint32_t>(digit)) / base;
    value = next;
    if (overflow) break;
  }
  if (ended && complete != nullptr) *complete = true;
  return static_cast<int32_t>(negative ? 0u - value : value);
}

int32_t ParseUnsigned(const char* text, bool* complete) {
  return ParseNumber(text, false, complete);
}

int32_t ParseSigned(const char* text, bool* complete) {
  return ParseNumber(text, true, complete);
}
