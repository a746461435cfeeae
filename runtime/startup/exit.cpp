#include "runtime/startup/exit.h"

#include "runtime/startup/exit_callbacks.h"
#include "runtime/diag/time_stamp.h"
#include "runtime/diag/trace.h"
#include "runtime/memory/memory.h"
#include "runtime/platform/file_basics.h"
#include "runtime/platform/launcher.h"
#include "runtime/platform/thread.h"
#include "runtime/startup/options.h"
#include "runtime/startup/runtime_state.h"
#include "runtime/sysinfo/process_times.h"
#include "runtime/text/format.h"
#include "runtime/text/numbers.h"
#include "runtime/text/strings.h"
#include "winposix/win32.h"

namespace {

constexpr uint32_t kShortLineSize = 80;
constexpr uint32_t kStampSize = 40;

enum KeyWaitBits : uint8_t {
  kWaitNever = 1,
  kWaitAlways = 2,
  kWaitAfterFailureUnderLauncher = 4,
};

void SignalIfWanted(int32_t code) {
  const bool wanted = HasOption(kOptBeepOnError) ? code != 0 : HasOption(kOptBeepAtExit);
  if (wanted) SignalBeep();
}

void ShowTime() {
  if (!RuntimeState.TimingOn) return;
  const TimeReading start = {RuntimeState.StartTick, RuntimeState.StartUserMs,
                             RuntimeState.StartKernelMs};
  TimeReading now;
  now.Tick = GetTickCount();
  now.UserMs = GetProcessCpuTimes(&now.KernelMs);
  char line[kShortLineSize];
  FormatTimeLine(line, sizeof line, start, now);
  TraceLine(line, nullptr);
}

void ShowEndStamp() {
  if (!RuntimeState.StampOn) return;
  char stamp[kStampSize];
  FormatTimeStamp(stamp, sizeof stamp, true);
  TraceFormat("End: %s", stamp);
}

void ShowMemoryPeak() {
  if (!HasOption(kOptMemPeak)) return;
  MemStats stats;
  GetMemStats(&stats);
  TraceValue("MemMax", stats.Counter[kMemBytesPeak], false);
}

void ReleaseLists() {
  RuntimeStateRecord& s = RuntimeState;
  // The pool's report comes after the lists: its beep and its copy still ask for these two.
  const char* const keep[] = {kOptQuiet.bytes, kOptErrCopy.bytes};
  ReleaseOptionsKeeping(keep, sizeof keep / sizeof keep[0]);
  for (char*& arg : s.Args) {
    FreeString(arg);
    arg = nullptr;
  }
  s.ArgCount = 0;
  FreeString(s.CommandLine);
  s.CommandLine = nullptr;
}

} // namespace

bool FormatTimeLine(char* dst, int32_t size, const TimeReading& start, const TimeReading& now) {
  const uint32_t elapsed = now.Tick - start.Tick;
  const uint32_t user = now.UserMs - start.UserMs;
  const uint32_t kernel = now.KernelMs - start.KernelMs;
  const uint32_t elapsedS = elapsed / 1000, userS = user / 1000, kernelS = kernel / 1000;
  // The kernel time has no say in the form.
  if (elapsedS < 60 && userS < 60)
    return FormatString(dst, size, "Time: %lu.%03lu/U=%lu.%03lu/K=%lu.%03lu", elapsedS,
                        elapsed % 1000, userS, user % 1000, kernelS, kernel % 1000);
  return FormatString(dst, size, "Time: %lu:%02lu.%03lu/U=%lu:%02lu.%03lu/K=%lu:%02lu.%03lu",
                      elapsedS / 60, elapsedS % 60, elapsed % 1000, userS / 60, userS % 60,
                      user % 1000, kernelS / 60, kernelS % 60, kernel % 1000);
}

bool KeyWaitWanted(int32_t code) {
  const bool keyWait = HasOption(kOptKeyWait);
  if (HasOption(kOptNoKeyWait)) return false;
  if (keyWait) return true;
  const uint8_t policy = RuntimeState.KeyWaitPolicy;
  if (policy & kWaitAfterFailureUnderLauncher) return code != 0 && StartedFromLauncher();
  if (policy & kWaitNever) return false;
  return (policy & kWaitAlways) != 0;
}

char WaitForKey() {
  HANDLE input = ConsoleInputHandle();
  if (input == nullptr) return 0;
  for (;;) {
    INPUT_RECORD record;
    DWORD count = 0;
    if (!ReadConsoleInputA(input, &record, 1, &count)) return 0;
    // Releases, keys without a character (Shift, arrows), mouse, focus and window events pass.
    if (count == 1 && record.EventType == KEY_EVENT && record.Event.KeyEvent.bKeyDown &&
        record.Event.KeyEvent.uChar.AsciiChar != 0)
      return record.Event.KeyEvent.uChar.AsciiChar;
  }
}

int32_t FinishRun(int32_t code) {
  SignalIfWanted(code);
  if (HasOption(kOptExitOk)) code = 0;
  const bool keyWait = KeyWaitWanted(code);
  ShowTime();
  ShowEndStamp();
  ShowMemoryPeak();
  // The pool's teardown reads both switches.
  if (HasOption(kOptMemReport)) MemConfig.ReportAlways = true;
  if (HasOption(kOptLeakReport)) MemConfig.ReportLeaks = true;
  if (HasOption(kOptExitCode)) TraceValue("ExitCode", static_cast<uint32_t>(code), false);
  ReportThreadInfo();
  if (HasOption(kOptSelfDelete)) RemoveFile(RuntimeState.Args[0]);
  // The window stays open for reading once every end line is in it; the pause is not timed.
  if (keyWait) WaitForKey();
  // From here on the callbacks have closed what they guard (the console input, the log lock),
  // and nothing makes them again.
  RuntimeState.TearingDown = true;
  RunExitCallbacks();
  ReleaseLists();
  DoneMem();
  ForgetKeptOptions();
  return code;
}

void ExitProgram(int32_t code) {
  ExitProcess(static_cast<UINT>(FinishRun(code)));
  __builtin_unreachable();
}

void PureVirtualCalled() {
  TraceLine("Pure virtual function called!", nullptr);
  ExitProgram(13);
}
