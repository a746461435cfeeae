#include "runtime/startup/args.h"

#include "runtime/memory/memory.h"
#include "runtime/startup/runtime_state.h"
#include "runtime/text/memory_ops.h"
#include "runtime/text/strings.h"

namespace {

// Windows rules: a backslash is a plain character unless backslashes run up to a double quote;
// then each pair gives one, and an odd one left over makes the quote a plain character. Any
// other quote switches the inside-quotes state and is dropped. Writes the argument to dst
// unless it is null; gives its length and where it ends.
const char* ScanArgument(const char* text, char* dst, uint32_t* length) {
  bool quoted = false;
  uint32_t n = 0;
  const auto put = [&](char c) {
    if (dst != nullptr) dst[n] = c;
    ++n;
  };
  while (*text != 0 && (quoted || !IsBlank(*text))) {
    uint32_t run = 0;
    while (text[run] == '\\') ++run;
    if (text[run] != '"') {
      for (run = run > 0 ? run : 1; run > 0; --run) put(*text++); // plain characters
      continue;
    }
    for (uint32_t k = 0; k < run / 2; ++k) put('\\');
    text += run;
    if (run % 2 == 1)
      put('"');
    else
      quoted = !quoted;
    ++text;
  }
  if (dst != nullptr) dst[n] = 0;
  *length = n;
  return text;
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
    const char* end = ScanArgument(text, nullptr, &length);
    auto* block = static_cast<char*>(AllocMem(length + 1));
    if (*count < capacity) {
      slots[(*count)++] = block;
    } else {
      if (overflow != nullptr) *overflow = true;
      FreeMem(block);
      block = nullptr;
    }
    if (block != nullptr) ScanArgument(text, block, &length);
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
