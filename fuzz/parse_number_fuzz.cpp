// ParseNumber on any text, checked against a model in 64-bit arithmetic.
//
// Input: a flags byte (bit 0: signs allowed, bit 1: no complete flag), then the text.
#include "fuzz/fuzz_support.h"
#include "runtime/text/numbers.h"

#include <string>
#include <vector>

namespace {

bool Blank(char c) {
  return c == ' ' || c == '\t';
}

int Digit(char c, unsigned base) {
  if (c >= '0' && c <= '9') return c - '0';
  if (base == 16 && c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (base == 16 && c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// The value, and whether the text ended right after the number without an overflow.
int32_t Model(const std::string& text, bool allowSign, bool* complete) {
  *complete = false;
  if (text.empty()) return 0;
  size_t i = 0;
  while (i < text.size() && Blank(text[i])) ++i;
  bool negative = false;
  if (allowSign && i < text.size() && text[i] == '-') {
    negative = true;
    for (++i; i < text.size() && Blank(text[i]);) ++i;
  } else if (allowSign && i < text.size() && text[i] == '+') {
    while (i < text.size() && (text[i] == '+' || Blank(text[i]))) ++i;
  }
  unsigned base = 10;
  if (i + 1 < text.size() && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X')) {
    base = 16;
    i += 2;
  }
  uint64_t value = 0;
  for (;; ++i) {
    if (i == text.size()) {
      *complete = true;
      break;
    }
    const int digit = Digit(text[i], base);
    if (digit < 0) break;
    value = value * base + static_cast<unsigned>(digit);
    if (value > 0xFFFFFFFFu) { // the wrapped value, and the number is not complete
      value &= 0xFFFFFFFFu;
      break;
    }
  }
  const auto low = static_cast<uint32_t>(value);
  return static_cast<int32_t>(negative ? 0u - low : low);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Prepare();
  if (size == 0) {
    bool complete = true;
    if (ParseNumber(nullptr, true, &complete) != 0 || complete) fuzz::Fail();
    return 0;
  }
  const bool allowSign = (data[0] & 1) != 0;
  std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
  text = text.c_str(); // up to the first zero byte, as a C text ends
  // An exact-size block: a read past the terminator is seen.
  const std::vector<char> exact(text.c_str(), text.c_str() + text.size() + 1);
  bool expectedComplete;
  const int32_t expected = Model(text, allowSign, &expectedComplete);
  bool complete = !expectedComplete;
  const int32_t value = ParseNumber(exact.data(), allowSign, (data[0] & 2) ? nullptr : &complete);
  if (value != expected) fuzz::Fail();
  if (!(data[0] & 2) && complete != expectedComplete) fuzz::Fail();
  const int32_t again =
      allowSign ? ParseSigned(exact.data(), &complete) : ParseUnsigned(exact.data(), &complete);
  if (again != expected || complete != expectedComplete) fuzz::Fail();
  return 0;
}
