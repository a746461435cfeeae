#include "runtime/text/strings.h"
#include "runtime/startup/start_delay.h"

namespace {

// 0 for anything that is not a unit letter.
uint32_t UnitSeconds(char unit) {
  switch (unit) {
  case 'd':
    return 86400;
  case 'h':
    return 3600;
  case 'm':
    return 60;
  case 's':
    return 1;
  default:
    return 0;
  }
}

// A total that no longer fits stays at the top instead of wrapping round to a short delay.
uint32_t Multiply(uint32_t a, uint32_t b) {
  uint32_t product;
  return __builtin_mul_overflow(a, b, &product) ? 0xFFFFFFFFu : product;
}

uint32_t Add(uint32_t a, uint32_t b) {
  uint32_t sum;
  return __builtin_add_overflow(a, b, &sum) ? 0xFFFFFFFFu : sum;
}

} // namespace

bool ParseStartDelay(const char* text, uint32_t* milliseconds) {
  *milliseconds = 0;
  if (text == nullptr || *text == 0) return false;
  uint32_t seconds = 0;
  while (*text != 0) {
    if (!IsDigit(*text)) return false;
    uint32_t number = 0;
    for (; IsDigit(*text); ++text)
      number = Add(Multiply(number, 10), static_cast<uint32_t>(*text - '0'));
    const uint32_t unit = UnitSeconds(*text);
    if (unit == 0) return false;
    ++text;
    seconds = Add(seconds, Multiply(number, unit));
  }
  const uint32_t total = Multiply(seconds, 1000);
  *milliseconds = total < kLongestStartDelayMs ? total : kLongestStartDelayMs;
  return true;
}
