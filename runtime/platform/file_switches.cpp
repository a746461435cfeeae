#include "runtime/platform/file_switches.h"

#include "runtime/startup/options.h"
#include "winposix/win32.h"

FileSwitchCache FileSwitches;

namespace {

const char* const kSwitchOptions[kFileSwitchCount] = {
    kOptNoMap.bytes,     kOptNoMapRead.bytes, kOptNoMapWrite.bytes, kOptNoMapReadWrite.bytes,
    kOptSmallView.bytes, kOptSeqScan.bytes,   kOptCompress.bytes,
};

} // namespace

// Filled without a lock: two threads that race here find the same answer.
bool FileSwitchOn(FileSwitch which) {
  if (!FileSwitches.LookedUp[which]) {
    FileSwitches.On[which] = FindOption(kSwitchOptions[which], nullptr, kFindUnscramble);
    FileSwitches.LookedUp[which] = true;
  }
  return FileSwitches.On[which];
}

uint32_t AllocationGranularity() {
  if (!FileSwitches.GranularityKnown) {
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    FileSwitches.Granularity = info.dwAllocationGranularity;
    FileSwitches.GranularityKnown = true;
  }
  return FileSwitches.Granularity;
}
