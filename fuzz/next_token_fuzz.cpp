// NextToken on any text, mode, separators and output size, checked against a plain model; the
// output buffer is exact-size with canaries behind it.
//
// Input: outSize (2 bytes, 0xFFFF: no output buffer), mode, sep1, sep2, sep3, then the text.
#include "fuzz/fuzz_support.h"
#include "runtime/startup/next_token.h"

#include <cstring>
#include <string>
#include <vector>

namespace {

bool Blank(char c) {
  return c == ' ' || c == '\t';
}

struct Expected {
  std::string field;
  size_t next; // offset of the returned position in the text
  char separator;
};

Expected Model(const std::string& text, size_t outSize, uint32_t mode, const char (&seps)[3]) {
  Expected e = {"", 0, 0};
  size_t i = 0;
  while (i < text.size() && Blank(text[i])) ++i;
  std::string field;
  for (; i < text.size(); ++i) {
    const char c = text[i];
    if (mode == kTokenToSeparator && (c == seps[0] || c == seps[1] || c == seps[2])) {
      e.separator = c;
      ++i;
      break;
    }
    if (mode == kTokenToBlank && Blank(c)) {
      ++i;
      break;
    }
    field += c;
  }
  while (i < text.size() && Blank(text[i])) ++i;
  e.next = i;
  // Cut to the buffer first, then trimmed.
  if (outSize > 0) field.resize(std::min(field.size(), outSize - 1));
  const size_t begin = field.find_first_not_of(" \t");
  if (begin == std::string::npos) return e;
  const size_t end = field.find_last_not_of(" \t");
  e.field = field.substr(begin, end - begin + 1);
  return e;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Prepare();
  if (size < 5) return 0;
  const uint32_t sizeField = data[0] | data[1] << 8;
  const bool hasOut = sizeField != 0xFFFF;
  const size_t outSize = hasOut ? sizeField % 300 : 0;
  const uint32_t mode = data[2] % 4;
  const char seps[3] = {static_cast<char>(data[3]), static_cast<char>(data[4]),
                        static_cast<char>(size > 5 ? data[5] : 0)};
  const size_t start = size > 5 ? 6 : 5;
  std::string text(reinterpret_cast<const char*>(data + start), size - start);
  text = text.c_str();
  const std::vector<char> exact(text.c_str(), text.c_str() + text.size() + 1);

  std::vector<char> out(outSize + fuzz::kGuard, fuzz::kCanary);
  char found = 'x';
  const char* next = NextToken(exact.data(), hasOut ? out.data() : nullptr, outSize, mode, seps[0],
                               seps[1], seps[2], (data[2] & 0x80) ? nullptr : &found);
  // A zero separator matches nothing: the terminator ends every field anyway.
  const Expected e = Model(text, outSize, mode, seps);
  if (next != exact.data() + e.next) fuzz::Fail();
  if (!(data[2] & 0x80) && found != (mode == kTokenToSeparator ? e.separator : 0)) fuzz::Fail();
  for (size_t i = outSize; i < out.size(); ++i)
    if (out[i] != fuzz::kCanary) fuzz::Fail();
  if (hasOut && outSize > 0) {
    if (std::memchr(out.data(), 0, outSize) == nullptr || out.data() != e.field) fuzz::Fail();
  } else if (out[0] != fuzz::kCanary) {
    fuzz::Fail();
  }

  // A null text is an empty one.
  const char* none = NextToken(nullptr, hasOut ? out.data() : nullptr, outSize, mode, seps[0],
                               seps[1], seps[2], &found);
  if (none == nullptr || *none != 0 || found != 0) fuzz::Fail();
  if (hasOut && outSize > 0 && out[0] != 0) fuzz::Fail();
  return 0;
}
