// SplitArgs on any text and any number of slots.
#include "fuzz/fuzz_support.h"
#include "runtime/startup/args.h"

#include <cstring>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Prepare();
  if (size == 0) return 0;
  const uint32_t capacity = data[0]; // 0 to 255 slots
  const std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
  std::vector<char*> slots(capacity + 1, reinterpret_cast<char*>(1));
  uint32_t count = 0;
  bool overflow = false;
  SplitArgs(text.c_str(), slots.data(), capacity, &count, &overflow);
  if (count > capacity || slots[capacity] != reinterpret_cast<char*>(1)) fuzz::Fail();
  size_t characters = 0;
  for (uint32_t i = 0; i < capacity; ++i) {
    if (i >= count) {
      if (slots[i] != nullptr) fuzz::Fail();
      continue;
    }
    if (slots[i] == nullptr) fuzz::Fail();
    characters += std::strlen(slots[i]);
    FreeMem(slots[i]);
  }
  // Quotes, escapes and separators are dropped, nothing is added.
  if (characters > std::strlen(text.c_str())) fuzz::Fail();
  if (overflow && count != capacity) fuzz::Fail();
  return 0;
}
