#include "runtime/startup/args.h"

#include "runtime/memory/memory.h"
#include "runtime/startup/runtime_state.h"
#include "runtime/text/memory_ops.h"
#include "runtime/text/strings.h"

namespace {

bool IsBlank(char c) {
  return c == ' ' || c == '\t';
}

// The length of the argument at text without its quotes, and where the argument ends.
const char* MeasureArgument(const char* text, uint32_t* length) {
  bool quoted = false;
  *length = 0;
  for (; *text != 0 && (quoted || !IsBlank(*text)); ++text) {
    if (*text == '"')
      quoted = !quoted;
    else
      ++*length;
  }
  return text;
}

void CopyArgument(char* dst, const char* from, const char* to) {
  for (; from < to; ++from)
    if (*from != '"') *dst++ = *from;
  *dst = 0;
}

bool IsOption(const char* arg) {
  return arg != nullptr && arg[0] == '-' && arg[1] == '~';
}

} // namespace

void SplitArgs(const char* text, char** slots, uint32_t capacity, uint32_t* count, bool* overflow) {
  ZeroMem(slots, capacity * static_cast<uint32_t>(sizeof(char*)));
  if (overflow != nullptr) *overflow = false;
  if (text == nullptr) return;
  for (;;) {
    while (IsBlank(*text)) ++text;
    if (*text == 0) return;
    uint32_t length;
    const char* end = MeasureArgument(text, &length);
    auto* block = static_cast<char*>(AllocMem(length + 1));
    if (*count < capacity) {
      slots[(*count)++] = block;
    } else {
      if (overflow != nullptr) *overflow = true;
      FreeMem(block);
      block = nullptr;
    }
    if (block != nullptr) CopyArgument(block, text, end);
    text = end;
  }
}

void MoveOptions() {
  RuntimeStateRecord& s = RuntimeState;
  for (uint32_t i = 1; i < s.ArgCount;) {
    char* arg = s.Args[i];
    if (!IsOption(arg)) {
      ++i;
      continue;
    }
    if (StrEqual(arg, "-~SysArgDbg")) s.OptionTrace = true;
    if (s.OptionCount < kMaxOptions)
      s.OptionList[s.OptionCount++] = arg;
    else
      FreeMem(arg); // dropped, but it still leaves the program's arguments
    MoveMem(&s.Args[i], &s.Args[i + 1],
            (s.ArgCount - i - 1) * static_cast<uint32_t>(sizeof(char*)));
    s.Args[--s.ArgCount] = nullptr;
  }
}
