// The runtime's printf-like formatter. It has its own small set of directives:
//
//   %[-][$][0][width]letter     flags only in this order, each at most once; no precision
//
//   %d %u %x %X   32-bit integers (hex is upper case, no prefix); %ld, %Lu, ... mean the same
//   %c            a character (a zero character writes nothing)
//   %s  %ls       an 8-bit text, a 16-bit text (units above 255 become '?'); null is "(null)"
//   %p            "0x" and the pointer in upper-case hex, as many digits as a pointer has
//   %%            a percent sign
//   -  left-justify    $  group in threes with '.'    0  pad with '0' (also behind the text)
//
// Every line feed of the format comes out as CR LF. Up to 32 further letters can be added with
// RegisterFormatDirective; %H (64-bit integers) is one of them. The result says whether the whole
// expansion fitted; a text that does not fit is cut and still terminated.
#pragma once

#include <stdint.h>

// The caller's variable arguments. Each built-in directive takes one argument: an int or
// unsigned for the numbers and %c, a pointer for %s, %ls and %p.
struct ArgCursor {
  __builtin_va_list list;
};

// Converts the directive whose letter lies just before *cursor. May move *cursor on over further
// format characters and reads its arguments from *args. Writes a terminated text of at most
// bufferSize bytes into buffer and returns its length.
typedef int32_t (*FormatDirectiveHandler)(const char** cursor, char* buffer, int32_t bufferSize,
                                          ArgCursor* args);

// The work buffer every directive converts into, and so the most a handler may write.
inline constexpr int32_t kFormatWorkSize = 512;

// size is the whole of dst including the terminator; 0 (or less) writes nothing and is false.
bool FormatText(char* dst, ArgCursor args, int32_t size, const char* format);
bool FormatString(char* dst, int32_t size, const char* format, ...);

// True when the pair is in the table now (a pair already there takes no second slot), false when
// all 32 slots are taken. A letter is matched without regard to case; built-in letters win.
bool RegisterFormatDirective(char letter, FormatDirectiveHandler handler);

// %Hu, %Hd, %Hx, %HX: a 64-bit integer given as two 32-bit arguments, the low half first.
bool RegisterInt64Directive();
