// Decimal and upper-case hexadecimal conversions between 32- and 64-bit numbers and texts.
#pragma once

#include <stdint.h>

// Each returns the length of the text written (terminator included in the buffer, not in the
// length). IntToDec needs 12 bytes, UIntToDec 11, UIntToHex 9 or minDigits + 1.
int32_t IntToDec(int32_t value, char* dst);
int32_t UIntToDec(uint32_t value, char* dst);
// As many digits as the value needs, with leading zeros up to minDigits.
int32_t UIntToHex(uint32_t value, char* dst, int32_t minDigits);

// The decimal of high * 2^32 + low within size bytes: the leading size - 1 digits when the
// whole number does not fit; size 0 writes nothing. Returns the number of digits written.
int32_t UInt64ToDec(char* dst, uint32_t size, uint32_t low, uint32_t high);

// Reads a decimal or "0x" hexadecimal number after blanks and tabs; allowSign accepts a leading
// '-' or '+' (blanks may follow either). complete (when given) is true only when the text ended
// after the number without an overflow; an overflow returns the value wrapped to 32 bits.
int32_t ParseNumber(const char* text, bool allowSign, bool* complete);
int32_t ParseUnsigned(const char* text, bool* complete);
int32_t ParseSigned(const char* text, bool* complete);
