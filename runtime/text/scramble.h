// Names the program keeps out of plain sight. Each byte keeps its high four bits and has its low
// four bits replaced through a fixed permutation; the text is turned back just before use.
//
//   constexpr auto kDebugOption = Scramble("SysArgDbg");   // only scrambled bytes in the image
//   PlainName name(kDebugOption);                            // readable copy on the stack
#pragma once

#include <stddef.h>
#include <stdint.h>

// UnscrambleName maps a low nibble n to kUnscrambleTable[n]. Not inline: one table per user, not
// a shared COMDAT copy, which the size-optimised link of the product does not take.
constexpr uint8_t kUnscrambleTable[16] = {0x7, 0xC, 0x5, 0xE, 0x9, 0x0, 0xB, 0x2,
                                          0xD, 0x4, 0xF, 0x8, 0x3, 0xA, 0x1, 0x6};

// Rewrites the zero-terminated text s in place; its length does not change.
void UnscrambleName(char* s);

template <size_t N> struct ScrambledName { char bytes[N]; };

// Not defined: reaching it during constant evaluation stops the compilation.
void ScrambledNameWouldHoldAZeroByte();

// The scrambled form of a literal, computed by the compiler only, so the plain text never
// reaches the image. A character that would scramble to the zero byte is refused.
template <size_t N> consteval ScrambledName<N> Scramble(const char (&text)[N]) {
  uint8_t scramble[16] = {};
  for (uint8_t i = 0; i < 16; ++i) scramble[kUnscrambleTable[i]] = i;
  ScrambledName<N> name = {};
  for (size_t i = 0; i + 1 < N; ++i) {
    uint8_t plain = static_cast<uint8_t>(text[i]);
    uint8_t hidden = static_cast<uint8_t>((plain & 0xF0) | scramble[plain & 0x0F]);
    if (hidden == 0) ScrambledNameWouldHoldAZeroByte();
    name.bytes[i] = static_cast<char>(hidden);
  }
  name.bytes[N - 1] = 0;
  return name;
}

// A readable copy of a scrambled name in the caller's storage.
template <size_t N> struct PlainName {
  explicit PlainName(const ScrambledName<N>& name) {
    for (size_t i = 0; i < N; ++i) text[i] = name.bytes[i];
    UnscrambleName(text);
  }
  operator const char*() const { return text; }
  char text[N];
};
