// Page mode: every block is a committed reservation of its own. The requested size stands in
// front of the caller's data.
#include "runtime/memory/manager.h"

namespace {

uint32_t pageSize; // fetched on first use; concurrent first uses store the same value

} // namespace

uint32_t SystemPageSize() {
  uint32_t size = __atomic_load_n(&pageSize, __ATOMIC_RELAXED);
  if (size == 0) {
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    size = info.dwPageSize;
    __atomic_store_n(&pageSize, size, __ATOMIC_RELAXED);
  }
  return size;
}

uint32_t PageReservation(uint32_t n) {
  const uint32_t roundUp = SystemPageSize() - 1;
  if (n > 0xFFFFFFFFu - kPageHeader - roundUp) return 0;
  return (n + kPageHeader + roundUp) & ~roundUp;
}

void* PageAlloc(uint32_t n) {
  const uint32_t bytes = PageReservation(n);
  if (bytes == 0) return nullptr;
  void* base = VirtualAlloc(nullptr, bytes, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
  if (base == nullptr) return nullptr;
  *static_cast<uint32_t*>(base) = n;
  return static_cast<char*>(base) + kPageHeader;
}

// An address that is no reservation's base + header is refused by the system, without effect.
void PageFree(void* p) {
  if (p == nullptr) return;
  VirtualFree(reinterpret_cast<void*>(reinterpret_cast<uintptr_t>(p) - kPageHeader), 0,
              MEM_RELEASE);
}
