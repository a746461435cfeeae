// CvLaunch: runs the stress program once per processor, shows that each loads its processor,
// and ends them all together: on Ctrl+C or when the set time is over.
#include "app/launcher/instances.h"
#include "runtime/memory/memory.h"
#include "runtime/text/system_functions.h"
#include "runtime/startup/runtime_state.h"
#include "runtime/startup/start_delay.h"
#include "runtime/startup/startup.h"
#include "runtime/diag/console.h"
#include "runtime/text/format.h"
#include "runtime/text/numbers.h"
#include "runtime/text/strings.h"
#include "winposix/win32.h"

namespace {

const char kBanner[] = "CvLaunch 1.1  Runs the Calvisto stress test on every processor";
const char kUsage[] = "Usage: %s [-Cpus:<mask>] [-Time:<duration>] [-Shared] [-v]\n";
constexpr uint32_t kExitUnknownArgument = 9;
constexpr uint32_t kExitNothingStarted = 1;
constexpr uint32_t kStatusEveryMs = 2000;
constexpr uint32_t kLookEveryMs = 100;
constexpr uint32_t kStarvedBelow = 90; // percent of a processor

volatile bool stopAsked = false;

BOOL WINAPI OnControl(DWORD) {
  stopAsked = true;
  return TRUE;
}

struct Settings {
  uint32_t cpus = 0;   // 0: every processor the launcher may run on
  uint32_t timeMs = 0; // 0: until stopped
  bool shared = false;
};

// The launcher's own arguments; false (with the lines of an unknown argument) for another.
bool ReadSettings(int argc, char** argv, Settings* settings) {
  for (int i = 1; i < argc; ++i) {
    const char* arg = argv[i];
    if (arg == nullptr || StrEqual(arg, "-v")) continue;
    if (StrEqualN(arg, "-Cpus:", 6)) {
      settings->cpus = static_cast<uint32_t>(ParseUnsigned(arg + 6, nullptr));
      if (settings->cpus != 0) continue;
    } else if (StrEqualN(arg, "-Time:", 6)) {
      if (ParseStartDelay(arg + 6, &settings->timeMs) && settings->timeMs != 0) continue;
    } else if (StrEqual(arg, "-Shared")) {
      settings->shared = true;
      continue;
    }
    PrintError("Unknown command-line argument: '%s'\n", arg);
    PrintMessage(kUsage, argv[0]);
    return false;
  }
  return true;
}

// The runtime options of the launcher's own command line, as they were written, each behind a
// blank: they reach every instance as well.
char* PassedOn(const char* line) {
  char* passed = static_cast<char*>(AllocMem(StrLen(line) + 2));
  if (passed == nullptr) return nullptr;
  uint32_t length = 0;
  bool first = true;
  while (*line != 0) {
    while (*line == ' ' || *line == '\t') ++line;
    const char* start = line;
    bool quoted = false;
    for (; *line != 0 && (quoted || (*line != ' ' && *line != '\t')); ++line) {
      if (*line == '\\' && line[1] == '"')
        ++line;
      else if (*line == '"')
        quoted = !quoted;
    }
    const char* unquoted = *start == '"' ? start + 1 : start;
    if (!first && line > start && StrEqualN(unquoted, "-~", 2)) {
      passed[length++] = ' ';
      for (const char* c = start; c < line; ++c) passed[length++] = *c;
    }
    first = false;
  }
  passed[length] = 0;
  return passed;
}

// The stress program in the launcher's folder, with the launcher's own suffix (".exe").
char* ProgramBeside(const char* launcher) {
  const uint32_t length = StrLen(launcher);
  char* program = static_cast<char*>(AllocMem(length + 16));
  if (program == nullptr) return nullptr;
  uint32_t folder = length;
  while (folder > 0 && launcher[folder - 1] != '\\' && launcher[folder - 1] != '/') --folder;
  const uint32_t dot =
      StrLen(launcher + folder) > 4 && launcher[length - 4] == '.' ? length - 4 : length;
  StrCopyN(program, launcher, folder + 1);
  FormatString(program + folder, 16, "calvisto%s", launcher + dot);
  return program;
}

typedef BOOL(WINAPI* AffinityFunction)(HANDLE, DWORD_PTR*, DWORD_PTR*);

// Without the function the system has one processor.
uint32_t AllowedProcessors() {
  const auto affinity =
      FindSystemFunction<AffinityFunction>(SystemFunction::GetProcessAffinityMask);
  DWORD_PTR process = 1, system = 1;
  if (affinity == nullptr || !affinity(GetCurrentProcess(), &process, &system) || process == 0)
    return 1;
  return static_cast<uint32_t>(process);
}

bool IsConsole(HANDLE output) {
  return GetFileType(output) == FILE_TYPE_CHAR;
}

// "12s, 48s left: 0 100%  1 62%!" where "!" marks an instance below 90% for the interval.
void ShowStatus(const Instances& all, uint32_t elapsedMs, uint32_t timeMs, bool measured,
                bool inPlace) {
  char line[512];
  uint32_t at = 0;
  const auto append = [&](const char* format, auto... values) {
    FormatString(line + at, static_cast<int32_t>(sizeof line - at), format, values...);
    at += StrLen(line + at);
  };
  append("%us", elapsedMs / 1000);
  if (timeMs != 0)
    append(", %us left", (timeMs - (elapsedMs < timeMs ? elapsedMs : timeMs)) / 1000);
  append(":");
  for (uint32_t i = 0; i < all.count && at < sizeof line - 16; ++i) {
    const Instance& instance = all.list[i];
    if (instance.process == nullptr) continue;
    if (measured)
      append("  %u %u%%%s", instance.processor, instance.lastShare,
             instance.lastShare < kStarvedBelow ? "!" : "");
    else
      append("  %u", instance.processor);
  }
  // In a console the line is rewritten in place; elsewhere each interval is a line of its own.
  PrintMessage(inPlace ? "\r%-79s" : "%s\n", line);
}

} // namespace

int main(int argc, char** argv) {
  RegisterInt64Directive();
  PrintMessage("%s\n\n", kBanner);
  Settings settings;
  if (!ReadSettings(argc, argv, &settings)) return kExitUnknownArgument;
  const uint32_t mask = settings.cpus != 0 ? settings.cpus : AllowedProcessors();
  char* program = ProgramBeside(argv[0]);
  char* arguments = PassedOn(RuntimeState.CommandLine != nullptr ? RuntimeState.CommandLine : "");
  Instances* all = static_cast<Instances*>(AllocMem(sizeof(Instances)));
  if (program == nullptr || arguments == nullptr || all == nullptr) return kExitNothingStarted;
  SetConsoleCtrlHandler(OnControl, TRUE);
  const bool started = StartInstances(all, program, arguments, mask, settings.shared);
  uint32_t firstFailure = started ? 0 : kExitNothingStarted;
  const bool inPlace = IsConsole(GetStdHandle(STD_OUTPUT_HANDLE));
  const DWORD begin = GetTickCount();
  uint32_t lastStatus = 0;
  bool statusShown = false;
  while (started && !stopAsked) {
    Sleep(kLookEveryMs);
    const uint32_t elapsed = GetTickCount() - begin;
    if (settings.timeMs != 0 && elapsed >= settings.timeMs) break;
    const bool running = PollInstances(all, &firstFailure);
    if (!running) break;
    if (elapsed - lastStatus >= kStatusEveryMs) {
      const bool measured = MeasureShares(all, elapsed - lastStatus);
      ShowStatus(*all, elapsed, settings.timeMs, measured, inPlace);
      statusShown = true;
      lastStatus = elapsed;
    }
  }
  if (statusShown && inPlace) PrintMessage("\n");
  PollInstances(all, &firstFailure);
  StopInstances(all, GetTickCount() - begin);
  FreeMem(all);
  FreeMem(arguments);
  FreeMem(program);
  return static_cast<int>(firstFailure);
}
