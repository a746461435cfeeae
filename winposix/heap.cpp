// The process's default heap over malloc. A header in front of every block keeps the size that was
// asked for, since HeapSize answers that and not what malloc rounded it to.
#include "winposix/internal.h"

#include <cstdlib>
#include <cstring>

namespace {

// Marks a live block, so that HeapSize and HeapFree refuse most addresses this heap never gave.
constexpr uint64_t kLive = 0x4B4C4F4250414548ull;
constexpr uint64_t kFreed = 0x444545524650414Bull;

// 16 bytes keep the caller's data on malloc's own alignment.
struct alignas(16) Header {
  uint64_t size;
  uint64_t mark;
};

char processHeap; // the heap handle is the address of this byte

Header* HeaderOf(LPCVOID mem) {
  return reinterpret_cast<Header*>(const_cast<char*>(static_cast<const char*>(mem)) -
                                   sizeof(Header));
}

bool IsLiveBlock(HANDLE heap, LPCVOID mem) {
  return heap == &processHeap && mem != nullptr && HeaderOf(mem)->mark == kLive;
}

} // namespace

extern "C" HANDLE WINAPI GetProcessHeap(void) {
  return &processHeap;
}

// Like Windows, a failed HeapAlloc leaves the last error alone.
extern "C" LPVOID WINAPI HeapAlloc(HANDLE heap, DWORD flags, SIZE_T bytes) {
  if (winposix::ShouldFail(winposix::FailPoint::HeapAlloc)) return nullptr;
  if (heap != &processHeap || bytes > SIZE_MAX - sizeof(Header)) return nullptr;
  auto* header = static_cast<Header*>(std::malloc(sizeof(Header) + bytes));
  if (header == nullptr) return nullptr;
  header->size = bytes;
  header->mark = kLive;
  if (flags & HEAP_ZERO_MEMORY) std::memset(header + 1, 0, bytes);
  return header + 1;
}

extern "C" SIZE_T WINAPI HeapSize(HANDLE heap, DWORD, LPCVOID mem) {
  if (!IsLiveBlock(heap, mem)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return static_cast<SIZE_T>(-1);
  }
  return static_cast<SIZE_T>(HeaderOf(mem)->size);
}

extern "C" BOOL WINAPI HeapFree(HANDLE heap, DWORD, LPVOID mem) {
  if (mem == nullptr) return TRUE;
  if (!IsLiveBlock(heap, mem)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  Header* header = HeaderOf(mem);
  header->mark = kFreed;
  std::free(header);
  return TRUE;
}
