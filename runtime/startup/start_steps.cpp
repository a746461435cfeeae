#include "runtime/startup/start_steps.h"

#include "runtime/diag/trace.h"
#include "runtime/startup/options.h"
#include "runtime/startup/runtime_state.h"
#include "runtime/startup/start_delay.h"
#include "runtime/text/numbers.h"
#include "runtime/text/scramble.h"
#include "runtime/text/strings.h"
#include "winposix/win32.h"

namespace {

constexpr auto kRuntimeTag = Scramble("CVS");
static_assert(sizeof kRuntimeTag.bytes <= sizeof RuntimeState.RuntimeTag, "the tag must fit");

constexpr auto kNotice = Scramble("Calvisto runtime: its own start-up code.");
static_assert(sizeof kNotice.bytes == 41, "the notice is 40 characters");

// Old file systems set it on a volume label; it is taken as a directory, as Windows 95 did.
constexpr DWORD kAttributeVolumeLabel = 0x08;

} // namespace

void SetRuntimeTag() {
  StrCopyN(RuntimeState.RuntimeTag, kRuntimeTag.bytes, sizeof RuntimeState.RuntimeTag);
  UnscrambleName(RuntimeState.RuntimeTag);
}

void ShowProcessorClass() {
  RuntimeStateRecord& s = RuntimeState;
  bool shown = false;
  if (HasOption(kOptShowCpuClass)) {
    TraceValue(s.RuntimeTag, s.ProcessorClass, true);
    shown = true;
  }
  const char* value;
  if (!HasOption(kOptCpuClass, &value) || value == nullptr || *value == 0) return;
  bool complete;
  const auto processorClass = static_cast<uint32_t>(ParseUnsigned(value, &complete));
  if (!complete || processorClass == 0) return;
  s.ProcessorClass = processorClass;
  if (shown) TraceValue(s.RuntimeTag, processorClass, true);
}

void ShowNotice() {
  if (!FindOption(kOptNotice.bytes, nullptr, kFindUnscramble | kFindNoTrace)) return;
  PlainName notice(kNotice);
  TraceLine(notice, nullptr);
}

void DumpArguments() {
  const RuntimeStateRecord& s = RuntimeState;
  if (!HasOption(kOptArgDump)) return;
  for (uint32_t i = 0; i < s.ArgCount; ++i)
    TraceLine(s.Args[i] != nullptr ? s.Args[i] : "", nullptr);
  if (s.OptionCount == 0) return;
  TraceLine("===", nullptr);
  for (uint32_t i = 0; i < s.OptionCount; ++i) TraceLine(s.OptionList[i], nullptr);
}

void EnterWorkingDirectory() {
  const char* path;
  if (!HasOption(kOptWorkDir, &path) || path == nullptr || *path == 0) return;
  const DWORD attributes = GetFileAttributesA(path);
  if (attributes == INVALID_FILE_ATTRIBUTES) return;
  if ((attributes & (FILE_ATTRIBUTE_DIRECTORY | kAttributeVolumeLabel)) != 0)
    SetCurrentDirectoryA(path);
}

bool MainSkipped() {
  return HasOption(kOptNoMain);
}

void ApplyStartDelay() {
  const char* value;
  if (!HasOption(kOptStartDelay, &value) || value == nullptr || *value == 0) return;
  uint32_t milliseconds;
  if (ParseStartDelay(value, &milliseconds)) Sleep(milliseconds);
}
