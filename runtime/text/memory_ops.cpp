#include "runtime/text/memory_ops.h"

// The string moves copy and fill as fast as the C library does (a word loop runs at a third of
// that) and need no SSE, which the general code must not use. The sanitizers see no access made
// by an assembly instruction, so their builds keep the loops.
#if defined(__SANITIZE_ADDRESS__)
#define CALVISTO_PLAIN_LOOPS 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define CALVISTO_PLAIN_LOOPS 1
#endif
#endif

#ifdef CALVISTO_PLAIN_LOOPS
namespace {
// A 32-bit word at any address; may_alias keeps the copy legal for every kind of object.
typedef uint32_t __attribute__((may_alias, aligned(1))) LooseWord;
} // namespace
#endif

void CopyMem(void* dst, const void* src, uint32_t n) {
#ifdef CALVISTO_PLAIN_LOOPS
  auto* d = static_cast<uint8_t*>(dst);
  auto* s = static_cast<const uint8_t*>(src);
  // Each word is read whole before it is written, so dst below src may overlap.
  for (; n >= 4; n -= 4, d += 4, s += 4) {
    *reinterpret_cast<LooseWord*>(d) = *reinterpret_cast<const LooseWord*>(s);
  }
  for (; n != 0; --n) *d++ = *s++;
#else
  // Forward, four bytes at a time and then the rest, element by element as the processor
  // defines it, so dst below src may overlap.
  uintptr_t count = n / 4;
  asm volatile("rep movsl" : "+D"(dst), "+S"(src), "+c"(count) : : "memory");
  count = n % 4;
  asm volatile("rep movsb" : "+D"(dst), "+S"(src), "+c"(count) : : "memory");
#endif
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
#ifdef CALVISTO_PLAIN_LOOPS
  auto* d = static_cast<uint8_t*>(p);
  for (; n != 0; --n) *d++ = 0;
#else
  uintptr_t count = n / 4;
  asm volatile("rep stosl" : "+D"(p), "+c"(count) : "a"(0) : "memory");
  count = n % 4;
  asm volatile("rep stosb" : "+D"(p), "+c"(count) : "a"(0) : "memory");
#endif
}
