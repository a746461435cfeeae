// Whole command lines through the start-up's steps up to main, in this process: the input is the
// command line (the text GetCommandLineA would give) and "_GlobSysArgs_". The arguments and the
// option list must come out as a plain model of the splitting and sorting says, whatever the
// options then make the steps do. Files stay untouched: every CreateFileA fails (so no copy
// file is made), the working directory comes back, the affinity mask is the layer's emulated
// one, the start delay is parsed but not slept, and the console window is not searched for.
//
// Input: the command line up to the first zero byte; the environment variable's value after it
// (absent without a zero byte).
#include "fuzz/fuzz_support.h"
#include "runtime/diag/trace.h"
#include "runtime/startup/affinity_option.h"
#include "runtime/startup/args.h"
#include "runtime/startup/console_window.h"
#include "runtime/startup/io_stats.h"
#include "runtime/startup/options.h"
#include "runtime/startup/runtime_state.h"
#include "runtime/startup/start_delay.h"
#include "runtime/startup/start_steps.h"
#include "runtime/sysinfo/smt.h"

#include <unistd.h>

#include <climits>
#include <cstring>
#include <string>
#include <vector>

namespace {

// Blank- or tab-separated, quotes toggle and vanish.
std::vector<std::string> Split(const std::string& text) {
  std::vector<std::string> args;
  size_t i = 0;
  for (;;) {
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
    if (i == text.size()) return args;
    std::string arg;
    bool quoted = false;
    while (i < text.size() && (quoted || (text[i] != ' ' && text[i] != '\t'))) {
      const size_t end = text.find_first_not_of('\\', i);
      const size_t run = (end == std::string::npos ? text.size() : end) - i; // backslashes
      if (i + run < text.size() && text[i + run] == '"') {
        arg.append(run / 2, '\\');
        if (run % 2 == 1)
          arg += '"';
        else
          quoted = !quoted;
        i += run + 1;
      } else {
        arg.append(text, i, run > 0 ? run : 1);
        i += run > 0 ? run : 1;
      }
    }
    args.push_back(arg);
  }
}

bool IsOption(const std::string& arg) {
  return arg.size() >= 2 && arg[0] == '-' && arg[1] == '~';
}

std::string ProgramPath() {
  char path[PATH_MAX + 1];
  const ssize_t n = readlink("/proc/self/exe", path, PATH_MAX);
  return n > 0 && n < 1024 ? std::string(path, static_cast<size_t>(n)) : std::string();
}

void Release() {
  RuntimeStateRecord& s = RuntimeState;
  for (char*& arg : s.Args) FreeString(arg), arg = nullptr;
  for (char*& option : s.OptionList) FreeMem(option), option = nullptr;
  FreeString(s.CommandLine);
  s.CommandLine = nullptr;
  s.ArgCount = s.OptionCount = 0;
  s.OptionTrace = s.OptionsReady = false;
  s.TimingOn = s.StampOn = s.IoStatsOn = s.SlowReadOn = false;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Prepare();
  static const bool ready = [] {
    winposix::SetSystemRecord({4}); // ProcMask changes the layer's mask, not this process's
    return true;
  }();
  (void)ready;
  static void* const output = GetStdHandle(STD_OUTPUT_HANDLE);
  const uint8_t* zero = static_cast<const uint8_t*>(std::memchr(data, 0, size));
  const std::string line(reinterpret_cast<const char*>(data),
                         zero != nullptr ? static_cast<size_t>(zero - data) : size);
  const bool hasEnv = zero != nullptr;
  std::string env;
  if (hasEnv) env.assign(reinterpret_cast<const char*>(zero + 1), data + size - (zero + 1));
  env = env.c_str();

  char cwd[PATH_MAX];
  if (getcwd(cwd, sizeof cwd) == nullptr) fuzz::Fail();
  winposix::FailNth(winposix::FailPoint::CreateFileA, 1, true);
  SetEnvironmentVariableA("_GlobSysArgs_", hasEnv ? env.c_str() : nullptr);

  // The start-up's steps, in its order, up to main.
  RuntimeStateRecord& s = RuntimeState;
  s.ProcessorClass = 1;
  ReadOsVersion();
  s.ModuleBase = GetModuleHandleA(nullptr);
  s.CommandLine = DupString(line.c_str());
  s.ArgCount = 0;
  bool overflow = false;
  SplitArgs(s.CommandLine, s.Args, kMaxArgs, &s.ArgCount, &overflow);
  MoveOptions();
  AddEnvOptions();
  s.OptionsReady = true;
  if (overflow) TraceLine("WARNING: Too many arguments!", nullptr);
  {
    char path[1024];
    const DWORD length = GetModuleFileNameA(static_cast<HMODULE>(s.ModuleBase), path, sizeof path);
    if (length == 0 || length >= sizeof path) path[0] = 0;
    FreeString(s.Args[0]);
    s.Args[0] = DupString(path);
  }
  ApplyAffinityOption();
  SetRuntimeTag();
  ShowProcessorClass();
  ShowNotice();
  DumpArguments();
  StartTiming();
  ShowStartStamp();
  EnterWorkingDirectory();
  SetStdHandle(STD_OUTPUT_HANDLE, INVALID_HANDLE_VALUE);
  SetUpConsoleWindow();
  SetStdHandle(STD_OUTPUT_HANDLE, output);
  MainSkipped();
  const char* delay;
  uint32_t milliseconds;
  if (HasOption(kOptStartDelay, &delay) && delay != nullptr && *delay != 0)
    ParseStartDelay(delay, &milliseconds);
  SmtState.CountOverrideKnown = false;
  ProcessorCountOverride();
  EnableIoStats();

  // What main would be given, and the option list, against the model.
  std::vector<std::string> args, options;
  const std::vector<std::string> words = Split(line);
  for (size_t i = 0; i < words.size() && i < kMaxArgs; ++i) {
    if (i > 0 && IsOption(words[i])) {
      if (options.size() < kMaxOptions) options.push_back(words[i]);
    } else {
      args.push_back(words[i]);
    }
  }
  // Args[0] is the program's path even when the command line is empty.
  const std::string program = ProgramPath();
  if (!args.empty()) args[0] = program;
  if (hasEnv && env.size() < 1024) {
    const std::vector<std::string> tokens = Split(env);
    for (size_t i = 0; i < tokens.size() && i < kMaxArgs; ++i)
      if (IsOption(tokens[i]) && options.size() < kMaxOptions) options.push_back(tokens[i]);
  }
  if (s.ArgCount != args.size() || s.OptionCount != options.size()) fuzz::Fail();
  if (s.Args[0] == nullptr || program != s.Args[0]) fuzz::Fail();
  for (size_t i = 1; i < kMaxArgs; ++i) {
    if (i < args.size() ? s.Args[i] == nullptr || args[i] != s.Args[i] : s.Args[i] != nullptr)
      fuzz::Fail();
  }
  for (size_t i = 0; i < kMaxOptions; ++i) {
    const char* option = s.OptionList[i];
    if (i < options.size() ? option == nullptr || options[i] != option : option != nullptr)
      fuzz::Fail();
  }

  ReportIoStats();
  Release();
  winposix::ClearFailures();
  if (chdir(cwd) != 0) fuzz::Fail();
  return 0;
}
