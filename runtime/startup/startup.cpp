#include "runtime/startup/startup.h"

#include "runtime/diag/trace.h"
#include "runtime/memory/memory.h"
#include "runtime/startup/affinity_option.h"
#include "runtime/startup/args.h"
#include "runtime/startup/console_window.h"
#include "runtime/startup/exit.h"
#include "runtime/startup/io_stats.h"
#include "runtime/startup/options.h"
#include "runtime/startup/runtime_state.h"
#include "runtime/startup/start_steps.h"
#include "runtime/sysinfo/cpu_info.h"
#include "runtime/sysinfo/system_description.h"
#include "winposix/win32.h"

namespace {

// True when the command line held more arguments than Args has slots.
bool SplitCommandLine() {
  RuntimeStateRecord& s = RuntimeState;
  s.ArgCount = 0;
  bool overflow = false;
  SplitArgs(s.CommandLine, s.Args, kMaxArgs, &s.ArgCount, &overflow);
  return overflow;
}

// Args[0] becomes the program's full path whatever the command line's first token was.
void SetProgramPath() {
  char path[1024];
  const DWORD length =
      GetModuleFileNameA(static_cast<HMODULE>(RuntimeState.ModuleBase), path, sizeof path);
  if (length == 0 || length >= sizeof path) path[0] = 0;
  FreeString(RuntimeState.Args[0]);
  RuntimeState.Args[0] = DupString(path);
}

void TraceToChannel(const char* text) {
  TraceLine(text, nullptr);
}

void ShowOnChannel(const char* text) {
  ShowMessage(text, nullptr);
}

} // namespace

void ConnectSinks() {
  RuntimeState.TraceSink = TraceToChannel;
  RuntimeState.MessageSink = ShowOnChannel;
  MemConfig.ReportLine = TraceToChannel;
  MemConfig.ReportBeep = SignalBeep;
}

int32_t CallMain(uint32_t argc, char** argv) {
  return main(static_cast<int>(argc), argv);
}

// Windows guarantees only 4-byte stack alignment at the image entry.
#if defined(__i386__)
#define ENTRY_REALIGNS_STACK __attribute__((force_align_arg_pointer))
#else
#define ENTRY_REALIGNS_STACK
#endif

ENTRY_REALIGNS_STACK void RuntimeStart() {
  RuntimeState.ProcessorClass = 1;
  ConnectSinks();
  RuntimeState.KeyWaitPolicy = kKeyWaitAtStart;
  ReadOsVersion();
  InitMem();
  RuntimeState.ModuleBase = GetModuleHandleA(nullptr);
  RuntimeState.CommandLine = DupString(GetCommandLineA());
  const bool tooMany = SplitCommandLine();
  MoveOptions();
  AddEnvOptions();
  // Decisions that rest on options (the pool's cache, the error copy) wait until all are in.
  RuntimeState.OptionsReady = true;
  // The memory manager looks nothing up: it is told.
  MemConfig.CacheOff = HasOption(kOptNoMemCache);
  if (tooMany) TraceLine("WARNING: Too many arguments!", nullptr);
  SetProgramPath();
  IdentifyAllCpus();
  ApplyAffinityOption();
  SetRuntimeTag();
  if (RuntimeState.ProcessorClass <= 1) ComputeProcessorClass();
  ShowProcessorClass();
  ShowNotice();
  DumpArguments();
  StartTiming();
  ShowStartStamp();
  EnterWorkingDirectory();
  ShowSystemDescription();
  SetUpConsoleWindow();
  const bool skipMain = MainSkipped();
  ApplyStartDelay();
  EnableIoStats();
  const int32_t code = skipMain ? 0 : CallMain(RuntimeState.ArgCount, RuntimeState.Args);
  ReportIoStats();
  ExitProgram(code);
}
