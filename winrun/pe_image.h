// A PE32 console image mapped at its own base, its imports bound to the runner's stubs.
#pragma once

#include <stdint.h>
#include <string>

namespace winrun {

struct Image {
  uint32_t base = 0;
  uint32_t entry = 0;
  uint32_t stackReserve = 0;
};

// Maps the file; on failure says why in *error (one line, no newline) and returns false.
bool LoadImage(const char* path, Image* image, std::string* error);

} // namespace winrun
