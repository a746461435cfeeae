// Virtual memory over mmap. Reserved pages are mapped without access and committing gives them
// the requested protection, so touching an uncommitted page faults as it does on Windows.
#include "winposix/internal.h"

#include <map>
#include <mutex>
#include <sys/mman.h>
#include <unistd.h>

namespace {

int ProtectionFor(DWORD protect) {
  switch (protect & 0xFF) {
  case PAGE_READONLY:
    return PROT_READ;
  case PAGE_READWRITE:
    return PROT_READ | PROT_WRITE;
  case PAGE_EXECUTE_READWRITE:
    return PROT_READ | PROT_WRITE | PROT_EXEC;
  default:
    return PROT_NONE;
  }
}

uintptr_t PageSize() {
  return static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
}

// Windows reserves in 64 KiB granules and callers may rely on that alignment.
constexpr uintptr_t kGranularity = 0x10000;

// MEM_RELEASE frees a whole reservation given only its base, so the layer keeps the lengths.
std::mutex reservationsLock;
std::map<uintptr_t, uintptr_t>& Reservations() {
  static auto* table = new std::map<uintptr_t, uintptr_t>;
  return *table;
}

// The pages get protection at once: PROT_NONE for a bare reservation, the committed protection
// when the whole reservation is committed with it, which spares an mprotect.
void* Reserve(SIZE_T size, int protection) {
  const uintptr_t page = PageSize();
  const uintptr_t length = (size + page - 1) & ~(page - 1);
  // Where the kernel places it, over-reserve, then trim both ends so the start lies on a granule.
  const uintptr_t spare = winposix::MappingsOnGranules() ? 0 : kGranularity;
  void* raw = winposix::MapForProgram(length + spare, protection,
                                      MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (raw == MAP_FAILED) return nullptr;
  const uintptr_t start = reinterpret_cast<uintptr_t>(raw);
  const uintptr_t aligned = (start + kGranularity - 1) & ~(kGranularity - 1);
  if (aligned > start) munmap(raw, aligned - start);
  const uintptr_t tail = start + spare - aligned;
  if (tail > 0) munmap(reinterpret_cast<void*>(aligned + length), tail);
  std::lock_guard<std::mutex> hold(reservationsLock);
  Reservations()[aligned] = length;
  return reinterpret_cast<void*>(aligned);
}

// The page range [begin, end) that covers size bytes from address.
void PageRange(LPVOID address, SIZE_T size, uintptr_t* begin, uintptr_t* end) {
  const uintptr_t page = PageSize();
  const uintptr_t at = reinterpret_cast<uintptr_t>(address);
  *begin = at & ~(page - 1);
  *end = (at + size + page - 1) & ~(page - 1);
}

} // namespace

extern "C" LPVOID WINAPI VirtualAlloc(LPVOID address, SIZE_T size, DWORD type, DWORD protect) {
  if (winposix::ShouldFail(winposix::FailPoint::VirtualAlloc)) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  if (size == 0 || !(type & (MEM_RESERVE | MEM_COMMIT)) ||
      ((type & MEM_RESERVE) && address != nullptr)) { // fixed-address reservations not offered
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  if (type & MEM_RESERVE) {
    address = Reserve(size, (type & MEM_COMMIT) ? ProtectionFor(protect) : PROT_NONE);
    if (address == nullptr) {
      SetLastError(ERROR_NOT_ENOUGH_MEMORY);
      return nullptr;
    }
    return address;
  }
  if (type & MEM_COMMIT) {
    uintptr_t begin, end;
    PageRange(address, size, &begin, &end);
    if (mprotect(reinterpret_cast<void*>(begin), end - begin, ProtectionFor(protect)) != 0) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return nullptr;
    }
  }
  return address;
}

extern "C" BOOL WINAPI VirtualFree(LPVOID address, SIZE_T size, DWORD type) {
  if (type == MEM_RELEASE && size == 0) {
    uintptr_t length = 0;
    {
      std::lock_guard<std::mutex> hold(reservationsLock);
      auto found = Reservations().find(reinterpret_cast<uintptr_t>(address));
      if (found != Reservations().end()) {
        length = found->second;
        Reservations().erase(found);
      }
    }
    if (length == 0) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return FALSE;
    }
    munmap(address, length);
    return TRUE;
  }
  if (type == MEM_DECOMMIT && address != nullptr) {
    uintptr_t begin, end;
    PageRange(address, size, &begin, &end);
    // A fresh mapping in place drops the contents, as decommitting does.
    mmap(reinterpret_cast<void*>(begin), end - begin, PROT_NONE,
         MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE | MAP_FIXED, -1, 0);
    return TRUE;
  }
  SetLastError(ERROR_INVALID_PARAMETER);
  return FALSE;
}

extern "C" BOOL WINAPI VirtualProtect(LPVOID address, SIZE_T size, DWORD protect,
                                      DWORD* oldProtect) {
  uintptr_t begin, end;
  PageRange(address, size, &begin, &end);
  if (oldProtect != nullptr) *oldProtect = PAGE_READWRITE; // Linux cannot tell the old one
  if (mprotect(reinterpret_cast<void*>(begin), end - begin, ProtectionFor(protect)) != 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  return TRUE;
}
