#include "runtime/startup/options.h"

#include "runtime/memory/memory.h"
#include "runtime/startup/args.h"
#include "runtime/startup/runtime_state.h"
#include "runtime/text/format.h"
#include "runtime/text/memory_ops.h"
#include "runtime/text/scramble.h"
#include "runtime/text/strings.h"
#include "winposix/win32.h"

namespace {

constexpr uint32_t kNameSize = 256;
constexpr uint32_t kEnvSize = 1024;

bool IsOptionText(const char* text) {
  return text != nullptr && text[0] == '-' && text[1] == '~';
}

// Straight to the message channel: lookups are not copied to the error-copy file.
void TraceLookup(const char* name) {
  if (RuntimeState.MessageSink == nullptr) return;
  char line[kNameSize];
  FormatString(line, sizeof line, "Checking: -~%s", name);
  RuntimeState.MessageSink(line);
}

// The index of the first entry of the plain name, or OptionCount; *value as for FindOption.
uint32_t EntryOf(const char* wanted, const char** value) {
  const uint32_t n = StrLen(wanted);
  uint32_t i = 0;
  for (; i < RuntimeState.OptionCount; ++i) {
    const char* entry = RuntimeState.OptionList[i];
    if (entry == nullptr || entry[0] == 0 || entry[1] == 0) continue;
    const char* rest = entry + 2;
    if (!StrEqualN(rest, wanted, n)) continue;
    // StrEqualN stops at a terminator in both texts, so rest is at least n long here.
    const char after = rest[n];
    if (after != 0 && after != ':') continue;
    if (value != nullptr) *value = after == ':' ? rest + n + 1 : rest + n;
    break;
  }
  return i;
}

// Room for the kept entries; an entry that does not fit is not kept.
char keptEntries[1024];

} // namespace

bool FindOption(const char* name, const char** value, uint8_t flags) {
  if (value != nullptr) *value = nullptr;
  if (name == nullptr) return false;
  char wanted[kNameSize];
  StrCopyN(wanted, name, sizeof wanted);
  if (flags & kFindUnscramble) UnscrambleName(wanted);
  if (RuntimeState.OptionTrace && !(flags & kFindNoTrace)) TraceLookup(wanted);
  return EntryOf(wanted, value) < RuntimeState.OptionCount;
}

void ReleaseOptionsKeeping(const char* const* names, uint32_t count) {
  RuntimeStateRecord& s = RuntimeState;
  char* kept[kMaxOptions];
  uint32_t keptCount = 0, used = 0;
  for (uint32_t k = 0; k < count && keptCount < kMaxOptions; ++k) {
    char wanted[kNameSize];
    StrCopyN(wanted, names[k], sizeof wanted);
    UnscrambleName(wanted);
    const uint32_t i = EntryOf(wanted, nullptr);
    if (i >= s.OptionCount) continue;
    const uint32_t size = StrLen(s.OptionList[i]) + 1;
    if (size > sizeof keptEntries - used) continue;
    CopyMem(keptEntries + used, s.OptionList[i], size);
    kept[keptCount++] = keptEntries + used;
    used += size;
  }
  for (uint32_t i = 0; i < s.OptionCount && i < kMaxOptions; ++i) {
    FreeMem(s.OptionList[i]);
    s.OptionList[i] = nullptr;
  }
  for (uint32_t k = 0; k < keptCount; ++k) s.OptionList[k] = kept[k];
  s.OptionCount = keptCount;
}

void ForgetKeptOptions() {
  for (uint32_t i = 0; i < RuntimeState.OptionCount && i < kMaxOptions; ++i)
    RuntimeState.OptionList[i] = nullptr;
  RuntimeState.OptionCount = 0;
}

void AddEnvOptions() {
  char buffer[kEnvSize];
  buffer[0] = 0;
  const DWORD length = GetEnvironmentVariableA("_GlobSysArgs_", buffer, sizeof buffer);
  // Too long a value leaves the buffer as it was: empty.
  if (length == 0 || length >= sizeof buffer) return;
  char* tokens[kMaxOptions];
  uint32_t count = 0;
  SplitArgs(buffer, tokens, kMaxOptions, &count, nullptr);
  for (uint32_t i = 0; i < count; ++i) {
    if (tokens[i] == nullptr) continue;
    if (IsOptionText(tokens[i]) && RuntimeState.OptionCount < kMaxOptions)
      RuntimeState.OptionList[RuntimeState.OptionCount++] = tokens[i];
    else
      FreeMem(tokens[i]);
  }
}
