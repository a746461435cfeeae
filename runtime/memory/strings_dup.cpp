// Text copies on the memory manager.
#include "runtime/memory/memory.h"

#include "runtime/text/memory_ops.h"
#include "runtime/text/strings.h"

const char EmptyString[1] = "";

char* DupString(const char* text) {
  if (text == nullptr) return nullptr;
  const uint32_t size = StrLen(text) + 1;
  auto* copy = static_cast<char*>(AllocMem(size));
  // Callers always get a text to read; EmptyString is never released.
  if (copy == nullptr) return const_cast<char*>(EmptyString);
  CopyMem(copy, text, size);
  return copy;
}

char* DupStringExtra(const char* text, uint32_t extra) {
  if (text == nullptr) return nullptr;
  const uint32_t size = StrLen(text) + 1;
  // Room that does not fit in 32 bits would be a short block the caller then writes past.
  if (extra > 0xFFFFFFFFu - size) return nullptr;
  auto* copy = static_cast<char*>(AllocMem(size + extra));
  if (copy == nullptr) return nullptr;
  CopyMem(copy, text, size);
  return copy;
}

void FreeString(const char* text) {
  if (text == nullptr || text == EmptyString) return;
  FreeMem(const_cast<char*>(text));
}
