// The runtime's process-wide state. Plain data with load values: nothing constructs it, so it is
// valid before the entry point runs.
#pragma once

#include <stdint.h>

class TLock;

constexpr uint32_t kMaxArgs = 256;
constexpr uint32_t kMaxOptions = 256;
constexpr uint32_t kIoStatCount = 10;

struct RuntimeStateRecord {
  void* ModuleBase{};
  char* CommandLine{};
  char* Args[kMaxArgs]{};
  uint32_t ArgCount{};
  char* OptionList[kMaxOptions]{};
  uint32_t OptionCount{};
  bool OptionTrace{};
  bool OptionsReady{};
  uint32_t ProcessorClass{};
  char RuntimeTag[10]{};
  bool TimingOn{};
  uint32_t StartTick{}, StartUserMs{}, StartKernelMs{};
  bool StampOn{};
  bool ReportAlways{}, LeakReport{};
  uint8_t KeyWaitPolicy = 4; // wait for a key only after a failure under the launcher
  bool IoStatsOn{};
  TLock* IoStatsLock{};
  uint64_t IoStats[kIoStatCount]{};
  bool SlowReadOn{};
};

extern RuntimeStateRecord RuntimeState;

enum OsPlatform : int32_t {
  kPlatformWindows9x = 1,
  kPlatformNT = 2,
  kPlatformWin32s = 3,
  kPlatformOther = 99,
};

struct OsVersionRecord {
  int32_t Platform{};
  uint8_t Major{};
  uint8_t Minor{};
  uint16_t Version{}; // Major * 256 + Minor
  uint16_t Build{};   // 0 when only the old version query answered
};

extern OsVersionRecord OsVersion;

// Fills OsVersion from GetVersionExA when Windows has it, from GetVersion otherwise.
void ReadOsVersion();
