#include "runtime/startup/start_steps.h"

#include "runtime/diag/time_stamp.h"
#include "runtime/diag/trace.h"
#include "runtime/startup/options.h"
#include "runtime/startup/runtime_state.h"
#include "runtime/sysinfo/process_times.h"
#include "runtime/text/strings.h"
#include "winposix/win32.h"

void StartTiming() {
  RuntimeStateRecord& s = RuntimeState;
  s.StartTick = s.StartUserMs = s.StartKernelMs = 0;
  s.TimingOn = HasOption(kOptTiming);
  if (!s.TimingOn) return;
  s.StartTick = GetTickCount();
  s.StartUserMs = GetProcessCpuTimes(&s.StartKernelMs);
}

void ShowStartStamp() {
  RuntimeState.StampOn = HasOption(kOptTimeStamp);
  if (!RuntimeState.StampOn) return;
  char stamp[40];
  FormatTimeStamp(stamp, sizeof stamp, true);
  TraceFormat("Start: %s", stamp);
}
