// The general field splitter of option values.
#pragma once

#include <stdint.h>

// How a field ends, besides at the end of the text.
enum NextTokenMode : uint32_t {
  kTokenToSeparator = 0, // at sep1, sep2 or sep3 (a 0 separator matches nothing)
  kTokenToBlank = 1,     // at a blank or tab
  kTokenToEnd = 2,       // only at the end of the text (any other mode does the same)
};

// Copies the next field of text into out, leading and trailing blanks and tabs removed; a field
// longer than outSize - 1 characters is cut and its rest skipped. The character that ended the
// field is consumed (a separator is stored in *foundSep, which is 0 otherwise), and so are the
// blanks and tabs behind it. Returns where the next field begins; for a null text, an empty
// text. out may be null or outSize 0 to skip a field.
const char* NextToken(const char* text, char* out, uint32_t outSize, uint32_t mode, char sep1,
                      char sep2, char sep3, char* foundSep);
