// The processor time the process has used, and the unsigned 64-bit arithmetic it and the file
// object rest on. All times here are 32-bit milliseconds that wrap after about 49.7 days.
#pragma once

#include <stdint.h>

inline constexpr uint64_t U64FromU32(uint32_t value) {
  return value;
}
inline constexpr uint64_t U64Make(uint32_t low, uint32_t high) {
  return static_cast<uint64_t>(high) << 32 | low;
}
inline constexpr uint32_t U64Low(uint64_t value) {
  return static_cast<uint32_t>(value);
}
inline constexpr uint32_t U64High(uint64_t value) {
  return static_cast<uint32_t>(value >> 32);
}
// The low word becomes value, the high word stays; returns the new value.
inline uint64_t U64SetLow(uint64_t* variable, uint32_t value) {
  *variable = U64Make(value, U64High(*variable));
  return *variable;
}
inline constexpr uint64_t U64AddU32(uint32_t a, uint64_t b) {
  return b + a;
}
// Modulo 2^64.
inline constexpr uint64_t U64Sub(uint64_t a, uint64_t b) {
  return a - b;
}
inline void U64AddInPlace(uint64_t* variable, uint32_t value) {
  *variable += value;
}
inline constexpr bool U64Less(uint64_t a, uint64_t b) {
  return a < b;
}
inline constexpr bool U64LessEqual(uint64_t a, uint64_t b) {
  return a <= b;
}
// Unsigned and truncated; a division by 0 gives 0 instead of a processor exception.
uint64_t U64Div(uint64_t a, uint64_t b);

// A count of 100-ns units, given as its two words, in milliseconds: floor(count / 10000)
// modulo 2^32.
uint32_t FileTimeToMs(uint32_t low, uint32_t high);

// The process's user-mode milliseconds; *kernelMs (when given) its kernel-mode milliseconds.
// Both are 0 when Windows has no "GetProcessTimes" or the call fails.
uint32_t GetProcessCpuTimes(uint32_t* kernelMs);
