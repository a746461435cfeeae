// The start-delay option's value: groups of decimal digits, each followed directly by a unit
// letter, "d" (days), "h", "m" or "s", as in "1h30m" or "45s".
#pragma once

#include <stdint.h>

// The longest delay: Sleep treats 0xFFFFFFFF as "for ever".
inline constexpr uint32_t kLongestStartDelayMs = 0xFFFFFFFEu;

// False for a malformed value (a number without a unit, any other character, an empty text):
// then there must be no sleep at all. Otherwise *milliseconds receives the total, held at
// kLongestStartDelayMs when it does not fit 32 bits.
bool ParseStartDelay(const char* text, uint32_t* milliseconds);
