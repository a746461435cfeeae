// The process-wide switches of the file object, each read from its option the first time it is
// needed and kept, and the system's allocation granularity, fetched once.
#pragma once

#include <stdint.h>

enum FileSwitch : uint32_t {
  kSwitchNoMap,          // no file is mapped
  kSwitchNoMapRead,      // no mapping for opens with access 0
  kSwitchNoMapWrite,     // ... with access 1
  kSwitchNoMapReadWrite, // ... with access 2
  kSwitchSmallView,      // read-only mappings keep a window of one granule
  kSwitchSeqScan,        // every open and create asks for sequential-scan caching
  kSwitchCompress,       // every TDiskFile::Create compresses
  kFileSwitchCount
};

// Plain data with load values; tests clear it to make the switches look again.
struct FileSwitchCache {
  bool LookedUp[kFileSwitchCount];
  bool On[kFileSwitchCount];
  bool GranularityKnown;
  uint32_t Granularity;
};
extern FileSwitchCache FileSwitches;

bool FileSwitchOn(FileSwitch which);

// dwAllocationGranularity of GetSystemInfo; 0 when the system reports none.
uint32_t AllocationGranularity();
