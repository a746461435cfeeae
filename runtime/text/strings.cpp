#include "runtime/text/strings.h"

#include "runtime/text/memory_ops.h"

namespace {

uint8_t gUpperTable[256];
bool gUpperBuilt;

// Length of the text in a buffer of size bytes, without reading past it: a buffer that holds no
// terminator counts as full.
uint32_t BoundedLen(const char* s, uint32_t size) {
  uint32_t len = 0;
  while (len < size && s[len] != 0) ++len;
  return len;
}

uint8_t Byte(const char* s, uint32_t i) {
  return static_cast<uint8_t>(s[i]);
}

void BuildUpperTable() {
  for (uint32_t i = 0; i < 256; ++i) gUpperTable[i] = static_cast<uint8_t>(i);
  for (uint32_t i = 0x61; i <= 0x7A; ++i) gUpperTable[i] = static_cast<uint8_t>(i - 0x20);
  for (uint32_t i = 0xE0; i <= 0xFE; ++i) {
    if (i != 0xF7) gUpperTable[i] = static_cast<uint8_t>(i - 0x20);
  }
  gUpperTable[0x9A] = 0x8A;
  gUpperTable[0x9C] = 0x8C;
  gUpperTable[0xFF] = 0x9F;
  // Another thread may read the flag first; it must then find the whole table.
  __atomic_store_n(&gUpperBuilt, true, __ATOMIC_RELEASE);
}

// The three comparisons differ only in the byte mapping and the bound.
template <bool kNoCase> int32_t Compare(const char* a, const char* b, uint32_t n) {
  for (uint32_t i = 0; i < n; ++i) {
    uint8_t ca = Byte(a, i);
    uint8_t cb = Byte(b, i);
    if (ca == 0) return cb == 0 ? 0 : -1;
    if (cb == 0) return 1;
    if (kNoCase) {
      ca = CharUpper(ca);
      cb = CharUpper(cb);
    }
    if (ca != cb) return static_cast<int32_t>(ca) - static_cast<int32_t>(cb);
  }
  return 0;
}

} // namespace

uint32_t StrLen(const char* s) {
  uint32_t len = 0;
  while (s[len] != 0) ++len;
  return len;
}

void StrCopy(char* dst, const char* src) {
  uint32_t i = 0;
  do {
    dst[i] = src[i];
  } while (src[i++] != 0);
}

void StrCat(char* dst, const char* src) {
  StrCopy(dst + StrLen(dst), src);
}

void StrCopyN(char* dst, const char* src, uint32_t size) {
  if (size == 0) return;
  uint32_t i = 0;
  for (; i < size - 1 && src[i] != 0; ++i) dst[i] = src[i];
  dst[i] = 0;
}

bool StrCopyBlock(char* dst, uint32_t size, const char* src, uint32_t n) {
  if (dst == nullptr || size == 0) return false;
  if (src == nullptr || n == 0) {
    dst[0] = 0;
    return false;
  }
  bool fits = n <= size - 1;
  uint32_t count = fits ? n : size - 1;
  CopyMem(dst, src, count);
  dst[count] = 0;
  return fits;
}

bool StrAppendN(char* dst, const char* src, uint32_t size) {
  if (size == 0) return false;
  uint32_t len = BoundedLen(dst, size);
  if (len >= size) return false; // not a text of this buffer: leave it alone
  uint32_t room = size - 1 - len;
  uint32_t i = 0;
  for (; i < room && src[i] != 0; ++i) dst[len + i] = src[i];
  dst[len + i] = 0;
  return src[i] == 0;
}

bool StrPrependN(char* dst, const char* prefix, uint32_t size) {
  if (size == 0) return false;
  uint32_t oldLen = BoundedLen(dst, size);
  uint32_t prefixLen = StrLen(prefix);
  uint32_t room = size - 1;
  uint32_t keepPrefix = prefixLen < room ? prefixLen : room;
  uint32_t keepOld = oldLen < room - keepPrefix ? oldLen : room - keepPrefix;
  MoveMem(dst + keepPrefix, dst, keepOld);
  CopyMem(dst, prefix, keepPrefix);
  dst[keepPrefix + keepOld] = 0;
  return keepPrefix == prefixLen && keepOld == oldLen;
}

int32_t StrCompare(const char* a, const char* b) {
  return Compare<false>(a, b, 0xFFFFFFFFu);
}

int32_t StrCompareN(const char* a, const char* b, uint32_t n) {
  return Compare<false>(a, b, n);
}

int32_t StrCompareNoCase(const char* a, const char* b) {
  return Compare<true>(a, b, 0xFFFFFFFFu);
}

bool StrEqual(const char* a, const char* b) {
  return StrCompare(a, b) == 0;
}

bool StrEqualN(const char* a, const char* b, uint32_t n) {
  return StrCompareN(a, b, n) == 0;
}

bool StrEqualNoCase(const char* a, const char* b) {
  return StrCompareNoCase(a, b) == 0;
}

const char* StrFindChar(const char* s, char c) {
  if (s == nullptr || c == 0) return nullptr;
  for (; *s != 0; ++s) {
    if (*s == c) return s;
  }
  return nullptr;
}

const char* StrFindLastChar(const char* s, char c) {
  if (s == nullptr || c == 0) return nullptr;
  for (uint32_t i = StrLen(s); i != 0; --i) {
    if (s[i - 1] == c) return s + i - 1;
  }
  return nullptr;
}

uint8_t CharUpper(uint8_t ch) {
  if (!__atomic_load_n(&gUpperBuilt, __ATOMIC_ACQUIRE)) BuildUpperTable();
  return gUpperTable[ch];
}
