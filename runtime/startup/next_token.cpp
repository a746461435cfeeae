#include "runtime/text/strings.h"
#include "runtime/startup/next_token.h"

namespace {

const char* SkipBlanks(const char* p) {
  while (IsBlank(*p)) ++p;
  return p;
}

// A separator of 0 would stand for the terminator, which ends every field anyway.
bool IsSeparator(char c, char sep1, char sep2, char sep3) {
  return c != 0 && (c == sep1 || c == sep2 || c == sep3);
}

void Trim(char* out) {
  char* begin = out;
  while (IsBlank(*begin)) ++begin;
  char* end = begin;
  while (*end != 0) ++end;
  while (end > begin && IsBlank(end[-1])) --end;
  char* dst = out;
  for (const char* src = begin; src < end; ++src) *dst++ = *src;
  *dst = 0;
}

} // namespace

const char* NextToken(const char* text, char* out, uint32_t outSize, uint32_t mode, char sep1,
                      char sep2, char sep3, char* foundSep) {
  if (foundSep != nullptr) *foundSep = 0;
  const bool hasOut = out != nullptr && outSize > 0;
  if (text == nullptr) {
    if (hasOut) out[0] = 0;
    return "";
  }
  const char* p = SkipBlanks(text);
  uint32_t length = 0;
  for (; *p != 0; ++p) {
    const char c = *p;
    if (mode == kTokenToSeparator && IsSeparator(c, sep1, sep2, sep3)) {
      if (foundSep != nullptr) *foundSep = c;
      ++p;
      break;
    }
    if (mode == kTokenToBlank && IsBlank(c)) {
      ++p;
      break;
    }
    if (hasOut && length + 1 < outSize) out[length++] = c;
  }
  if (hasOut) {
    out[length] = 0;
    Trim(out);
  }
  return SkipBlanks(p);
}
