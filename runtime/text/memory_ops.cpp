#include "runtime/text/memory_ops.h"

namespace {

// A 32-bit word at any address; may_alias keeps the copy legal for every kind of object.
typedef uint32_t __attribute__((may_alias, aligned(1))) LooseWord;

// From this length on the string moves copy and fill at the C library's speed (a word loop runs
// at a third of it) without SSE, which the general code must not use; below it their start-up
// costs more than the loop. The sanitizers see no access an assembly instruction makes, so their
// builds keep the loops throughout.
#if defined(__SANITIZE_ADDRESS__)
constexpr uint32_t kStringMoveMin = ~0u;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr uint32_t kStringMoveMin = ~0u;
#else
constexpr uint32_t kStringMoveMin = 256;
#endif
#else
constexpr uint32_t kStringMoveMin = 256;
#endif

} // namespace

void CopyMem(void* dst, const void* src, uint32_t n) {
  if (n >= kStringMoveMin) {
    // Forward, four bytes at a time and then the rest, element by element as the processor
    // defines it, so dst below src may overlap.
    uintptr_t count = n / 4;
    asm volatile("rep movsl" : "+D"(dst), "+S"(src), "+c"(count) : : "memory");
    count = n % 4;
    asm volatile("rep movsb" : "+D"(dst), "+S"(src), "+c"(count) : : "memory");
    return;
  }
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
  if (n >= kStringMoveMin) {
    uintptr_t count = n / 4;
    asm volatile("rep stosl" : "+D"(p), "+c"(count) : "a"(0) : "memory");
    count = n % 4;
    asm volatile("rep stosb" : "+D"(p), "+c"(count) : "a"(0) : "memory");
    return;
  }
  auto* d = static_cast<uint8_t*>(p);
  for (; n != 0; --n) *d++ = 0;
}
