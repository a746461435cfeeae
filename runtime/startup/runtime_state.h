// The runtime's process-wide state. Plain data that loads as zeros, so that it takes no room in
// the image (a single other load value would put all of it there): nothing constructs it, and
// the entry point sets the fields that start otherwise before anything reads them.
#pragma once

#include <stdint.h>

class TLock;

constexpr uint32_t kMaxArgs = 256;
constexpr uint32_t kMaxOptions = 256;
constexpr uint32_t kIoStatCount = 10;

// Where code below the diagnostic channel sends a line: start-up points these at it.
typedef void (*LineSink)(const char* text);

struct RuntimeStateRecord {
  LineSink TraceSink{};   // a trace line, offered to the error copy
  LineSink MessageSink{}; // a message only
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
  uint8_t KeyWaitPolicy{}; // see kKeyWaitAtStart
  bool IoStatsOn{};
  TLock* IoStatsLock{};
  uint64_t IoStats[kIoStatCount]{};
  bool SlowReadOn{};
  bool TearingDown{}; // the exit callbacks are running or have run
};

extern RuntimeStateRecord RuntimeState;

// The key-wait policy the entry point sets: wait for a key only after a failure under the launcher.
constexpr uint8_t kKeyWaitAtStart = 4;

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
