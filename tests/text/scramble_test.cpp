#ifdef _WIN32
#include <windows.h>
#endif

#include "runtime/text/scramble.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>

namespace {

constexpr auto kShort = Scramble("SysArgDbg");
constexpr auto kMixed = Scramble("Kernel32.DLL _GlobSysArgs_ ~!{|}");
constexpr auto kEmpty = Scramble("");
constexpr auto kMarker = Scramble("QuokkaMarkerName");

template <size_t N> void ExpectRoundTrip(const ScrambledName<N>& name, const char* plain) {
  EXPECT_STREQ(PlainName<N>(name), plain);
  for (size_t i = 0; i + 1 < N; ++i) { // every character hidden, none turned into a terminator
    EXPECT_NE(name.bytes[i], plain[i]) << plain << " at " << i;
    EXPECT_NE(name.bytes[i], 0) << plain << " at " << i;
  }
  EXPECT_EQ(name.bytes[N - 1], 0);
}

TEST(Scramble, UnscrambleGivesThePlainTextBack) {
  ExpectRoundTrip(kShort, "SysArgDbg");
  ExpectRoundTrip(kMixed, "Kernel32.DLL _GlobSysArgs_ ~!{|}");
  ExpectRoundTrip(kEmpty, "");
}

// The compiler makes the scrambled form, so the plain text appears nowhere in the image.
TEST(Scramble, PlainTextNeverReachesTheImage) {
#ifdef _WIN32
  char path[MAX_PATH];
  std::ifstream image(std::string(path, GetModuleFileNameA(nullptr, path, sizeof path)),
                      std::ios::binary);
#else
  std::ifstream image("/proc/self/exe", std::ios::binary);
#endif
  ASSERT_TRUE(image.good());
  std::string bytes((std::istreambuf_iterator<char>(image)), std::istreambuf_iterator<char>());
  // Spelled backwards and read through a volatile, so the compiler cannot fold the expected
  // text into the image itself.
  const char reversed[] = "emaNrekraMakkouQ";
  std::string plain;
  for (size_t i = sizeof reversed - 1; i-- > 0;) {
    volatile char c = reversed[i];
    plain += c;
  }
  EXPECT_EQ(PlainName<sizeof kMarker.bytes>(kMarker).text, plain);
  EXPECT_EQ(bytes.find(plain), std::string::npos);
  EXPECT_NE(bytes.find(kMarker.bytes), std::string::npos);
}

} // namespace
