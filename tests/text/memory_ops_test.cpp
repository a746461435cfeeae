#include "runtime/text/memory_ops.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <vector>

namespace {

using Arena = std::array<uint8_t, 300>;

Arena Pattern() {
  Arena bytes;
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(0xA0 + i);
  return bytes;
}

// Lengths around the word size and around the change to string moves at every alignment, and
// overlaps both ways, against the C library; the bytes around the target must stay as they were.
TEST(MemoryOps, MatchTheCLibrary) {
  std::vector<uint32_t> lengths;
  for (uint32_t n = 0; n <= 13; ++n) lengths.push_back(n);
  for (uint32_t n = 250; n <= 262; ++n) lengths.push_back(n);
  for (uint32_t n : lengths) {
    for (size_t at = 8; at < 12; ++at) {
      Arena got{}, want{};
      const Arena source = Pattern();
      CopyMem(got.data() + at, source.data() + 1, n);
      std::memcpy(want.data() + at, source.data() + 1, n);
      EXPECT_EQ(got, want) << "CopyMem n=" << n << " at " << at;
      got = want = Pattern();
      ZeroMem(got.data() + at, n);
      std::memset(want.data() + at, 0, n);
      EXPECT_EQ(got, want) << "ZeroMem n=" << n << " at " << at;
    }
  }
  const size_t moves[][3] = {{4, 0, 20},  {0, 4, 20},  {1, 0, 9},   {0, 1, 9},
                             {3, 3, 10},  {0, 30, 7},  {30, 0, 7},  {10, 2, 0},
                             {0, 1, 290}, {0, 5, 270}, {5, 0, 270}, {2, 1, 297}};
  for (const auto& m : moves) {
    Arena got = Pattern(), want = Pattern();
    MoveMem(got.data() + m[0], got.data() + m[1], static_cast<uint32_t>(m[2]));
    std::memmove(want.data() + m[0], want.data() + m[1], m[2]);
    EXPECT_EQ(got, want) << "MoveMem dst=" << m[0] << " src=" << m[1] << " n=" << m[2];
  }
}

} // namespace
