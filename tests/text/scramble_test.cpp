#include "runtime/text/scramble.h"

#include <gtest/gtest.h>

namespace {

// Every character hidden, none turned into a terminator. That the plain text stays out of the
// image is checked on an object file (tests/product).
template <size_t N> void ExpectRoundTrip(const ScrambledName<N>& name, const char* plain) {
  EXPECT_STREQ(PlainName<N>(name), plain);
  for (size_t i = 0; i + 1 < N; ++i) {
    EXPECT_NE(name.bytes[i], plain[i]) << plain << " at " << i;
    EXPECT_NE(name.bytes[i], 0) << plain << " at " << i;
  }
  EXPECT_EQ(name.bytes[N - 1], 0);
}

TEST(Scramble, UnscrambleGivesThePlainTextBack) {
  ExpectRoundTrip(Scramble("SysArgDbg"), "SysArgDbg");
  ExpectRoundTrip(Scramble("Kernel32.DLL _GlobSysArgs_ ~!{|}"), "Kernel32.DLL _GlobSysArgs_ ~!{|}");
  ExpectRoundTrip(Scramble(""), "");
}

} // namespace
