// Zero-terminated Windows-1252 texts. A length excludes the terminator; a size is the whole
// buffer including it. The bounded operations never write past size bytes and return false
// when the text had to be cut.
#pragma once

#include <stdint.h>

// The blanks that separate fields, and the decimal digits.
inline bool IsBlank(char c) {
  return c == ' ' || c == '\t';
}
inline bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

// The system headers make CharUpper a macro for CharUpperA; the runtime has its own.
#ifdef CharUpper
#undef CharUpper
#endif

uint32_t StrLen(const char* s);

// Unbounded: the caller's buffer must hold the result.
void StrCopy(char* dst, const char* src);
void StrCat(char* dst, const char* src);

// At most size - 1 bytes of src, always terminated; size 0 writes nothing.
void StrCopyN(char* dst, const char* src, uint32_t size);

// Exactly n bytes of src (zero bytes included), terminated. False and nothing written for a null
// dst or size 0; an empty text and false for a null src or n 0; the first size - 1 bytes and
// false when n does not fit.
bool StrCopyBlock(char* dst, uint32_t size, const char* src, uint32_t n);

// Appends src to the text in dst; when it does not fit, as much as fits and false.
bool StrAppendN(char* dst, const char* src, uint32_t size);

// Puts prefix in front of the text in dst; when it does not fit, the prefix and as much of the
// old text as fits (or the prefix alone, cut), and false.
bool StrPrependN(char* dst, const char* prefix, uint32_t size);

// Byte order as unsigned values: the difference of the first differing bytes, or -1 / 1 when
// one text is a proper beginning of the other, or 0.
int32_t StrCompare(const char* a, const char* b);
int32_t StrCompareN(const char* a, const char* b, uint32_t n);
int32_t StrCompareNoCase(const char* a, const char* b);

bool StrEqual(const char* a, const char* b);
bool StrEqualN(const char* a, const char* b, uint32_t n);
bool StrEqualNoCase(const char* a, const char* b);

// Null for a null text, when c is absent, and when c is the terminator.
const char* StrFindChar(const char* s, char c);
const char* StrFindLastChar(const char* s, char c);
inline char* StrFindChar(char* s, char c) {
  return const_cast<char*>(StrFindChar(static_cast<const char*>(s), c));
}
inline char* StrFindLastChar(char* s, char c) {
  return const_cast<char*>(StrFindLastChar(static_cast<const char*>(s), c));
}

// Windows-1252 upper case as Windows 95 knew it: a-z, the accented small letters, s with caron,
// oe and y with diaeresis (z with caron came later and stays); the division sign stays.
uint8_t CharUpper(uint8_t ch);
