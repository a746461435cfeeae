// What the compiler expects a C runtime to supply, for the images that have none.
#include "runtime/startup/exit.h"
#include "runtime/text/memory_ops.h"

#include <stddef.h>

extern "C" {

// The compiler emits calls to these for block copies and clears.
void* memcpy(void* dst, const void* src, size_t n) {
  CopyMem(dst, src, static_cast<uint32_t>(n));
  return dst;
}

void* memmove(void* dst, const void* src, size_t n) {
  MoveMem(dst, src, static_cast<uint32_t>(n));
  return dst;
}

void* memset(void* dst, int value, size_t n) {
  auto* p = static_cast<unsigned char*>(dst);
  for (size_t i = 0; i < n; ++i) p[i] = static_cast<unsigned char>(value);
  return dst;
}

// MinGW compilers call this from main to run static constructors; the runtime has none.
void __main() {}

// The compiler points every pure virtual slot here.
void __cxa_pure_virtual() {
  PureVirtualCalled();
}
}
