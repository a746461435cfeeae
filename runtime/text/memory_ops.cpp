#include "runtime/text/memory_ops.h"

namespace {

// A 32-bit word at any address; may_alias keeps the copy legal for every kind of object.
typedef uint32_t __attribute__((may_alias, aligned(1))) LooseWord;

} // namespace

void CopyMem(void* dst, const void* src, uint32_t n) {
  auto* d = static_cast<uint8_t*>(dst);
  auto* s = static_cast<const uint8_t*>(src);
  // Each word is read whole before it is written, so dst below src may overlap.
  for (; n >= 4; n -= 4, d += 4, s += 4) {
    *reinterpret_cast<LooseWord*>(d) = *reinterpret_cast<const LooseWord*>(s);
  }
  for (; n != 0; --n) *d++ = *s++;
}

void MoveMem(void* dst, const void* src, uint32_t n) {
  auto* d = static_cast<uint8_t*>(dst);
  auto* s = static_cast<const uint8_t*>(src);
  if (d == s || n == 0) return;
  if (reinterpret_cast<uintptr_t>(d) < reinterpret_cast<uintptr_t>(s)) {
    CopyMem(d, s, n);
    return;
  }
  while (n != 0) {
    --n;
    d[n] = s[n];
  }
}

void ZeroMem(void* p, uint32_t n) {
  auto* d = static_cast<uint8_t*>(p);
  for (; n != 0; --n) *d++ = 0;
}
