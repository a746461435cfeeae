// Where the memory handed to the program lies. Without a limit the kernel chooses; with one (a
// 32-bit image run on the layer) each mapping goes right below the one before, or into the
// highest free gap below the limit when that spot is taken, so the program's mappings grow down
// from the limit while the C library's heap grows up from the loader's data.
#include "winposix/internal.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <mutex>
#include <sys/mman.h>
#include <unistd.h>
#include <vector>

namespace {

uintptr_t mappingLimit = 0;
uintptr_t lastPlaced = 0; // the start of the latest placement; 0 before the first
std::mutex placementLock;

// Windows hands out nothing in the first 64 KiB either.
constexpr uintptr_t kLowest = 0x10000;
constexpr uintptr_t kGranularity = 0x10000;

struct Range {
  uintptr_t begin, end;
};

// The process's mappings in ascending order, from /proc/self/maps.
std::vector<Range> CurrentMappings() {
  std::vector<Range> ranges;
  const std::string maps = winposix::ReadSystemFile("/proc/self/maps");
  for (size_t at = 0; at < maps.size();) {
    char* end = nullptr;
    const uintptr_t begin = std::strtoull(maps.c_str() + at, &end, 16);
    const uintptr_t finish = std::strtoull(end + 1, nullptr, 16);
    ranges.push_back({begin, finish});
    const size_t line = maps.find('\n', at);
    if (line == std::string::npos) break;
    at = line + 1;
  }
  return ranges;
}

// The highest granule-aligned start below the limit where length bytes fit; 0 when none does.
uintptr_t HighestGap(size_t length) {
  const std::vector<Range> ranges = CurrentMappings();
  for (size_t i = ranges.size();; --i) { // the gap below ranges[i], the last one open above
    const uintptr_t top =
        i < ranges.size() ? std::min(ranges[i].begin, mappingLimit) : mappingLimit;
    const uintptr_t bottom = i > 0 ? std::max(ranges[i - 1].end, kLowest) : kLowest;
    if (top > bottom && top - bottom >= length) {
      const uintptr_t start = (top - length) & ~(kGranularity - 1);
      if (start >= bottom) return start;
    }
    if (i == 0) return 0;
  }
}

} // namespace

void winposix::KeepMappingsBelow(uintptr_t limit) {
  mappingLimit = limit;
}

bool winposix::MappingsOnGranules() {
  return mappingLimit != 0;
}

void* winposix::MapForProgram(size_t length, int protection, int flags, int fd, off_t offset) {
  if (mappingLimit == 0) return mmap(nullptr, length, protection, flags, fd, offset);
  std::lock_guard<std::mutex> hold(placementLock);
  // Right below the latest placement first: reading the map costs more than the mapping itself
  // (about 20 us with the runner's thirty mappings), and that spot is usually free.
  if (lastPlaced != 0 && lastPlaced >= length && lastPlaced - length >= kLowest) {
    const uintptr_t start = (lastPlaced - length) & ~(kGranularity - 1);
    void* placed = mmap(reinterpret_cast<void*>(start), length, protection,
                        flags | MAP_FIXED_NOREPLACE, fd, offset);
    if (placed != MAP_FAILED) lastPlaced = start;
    if (placed != MAP_FAILED || errno != EEXIST) return placed;
  }
  // Another thread of the process may map into the gap between the look and the mapping.
  for (int attempt = 0; attempt < 4; ++attempt) {
    const uintptr_t start = HighestGap(length);
    if (start == 0) break;
    void* placed = mmap(reinterpret_cast<void*>(start), length, protection,
                        flags | MAP_FIXED_NOREPLACE, fd, offset);
    if (placed != MAP_FAILED) lastPlaced = start;
    if (placed != MAP_FAILED || errno != EEXIST) return placed;
  }
  errno = ENOMEM;
  return MAP_FAILED;
}
