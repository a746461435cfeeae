#include "runtime/text/scramble.h"

namespace {

// Any value that is not a permutation of 0-15 would lose characters for good.
constexpr bool IsPermutation() {
  bool seen[16] = {};
  for (uint8_t v : kUnscrambleTable) {
    if (v > 15 || seen[v]) return false;
    seen[v] = true;
  }
  return true;
}
static_assert(IsPermutation());

} // namespace

void UnscrambleName(char* s) {
  for (; *s != 0; ++s) {
    uint8_t b = static_cast<uint8_t>(*s);
    *s = static_cast<char>((b & 0xF0) | kUnscrambleTable[b & 0x0F]);
  }
}
