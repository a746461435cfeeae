// The program's global new and delete: runtime objects live in the runtime's memory manager.
// Linked into the Windows images only: test programs and the Linux build, whose Win32 layer
// allocates through the C++ library, keep the library's allocator.
#include "runtime/memory/memory.h"

#include <stddef.h>

void* operator new(size_t size) {
  return AllocMem(static_cast<uint32_t>(size));
}
void* operator new[](size_t size) {
  return AllocMem(static_cast<uint32_t>(size));
}
void operator delete(void* p) noexcept {
  FreeMem(p);
}
void operator delete[](void* p) noexcept {
  FreeMem(p);
}
void operator delete(void* p, size_t) noexcept {
  FreeMem(p);
}
void operator delete[](void* p, size_t) noexcept {
  FreeMem(p);
}
