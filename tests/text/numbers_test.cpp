#include "runtime/text/numbers.h"

#include <gtest/gtest.h>

#include <cinttypes>
#include <climits>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

std::string Printf(const char* format, auto value) {
  char text[64];
  std::snprintf(text, sizeof text, format, value);
  return text;
}

TEST(Numbers, DecimalAndHexMatchPrintf) {
  for (int32_t v : {0, 1, -1, 10, -10, 123456789, INT32_MAX, INT32_MIN}) {
    char text[12];
    EXPECT_EQ(IntToDec(v, text), static_cast<int32_t>(Printf("%" PRId32, v).size()));
    EXPECT_EQ(text, Printf("%" PRId32, v));
  }
  for (uint32_t v : {0u, 9u, 10u, 0xFu, 0x10u, 0x1Fu, 0x12345678u, 0x80000000u, UINT32_MAX}) {
    char text[16];
    EXPECT_EQ(UIntToDec(v, text), static_cast<int32_t>(Printf("%" PRIu32, v).size()));
    EXPECT_EQ(text, Printf("%" PRIu32, v));
    for (int32_t minDigits : {-1, 0, 1, 4, 8, 10}) {
      std::string want =
          Printf(("%0" + std::to_string(std::max(minDigits, 0)) + PRIX32).c_str(), v);
      EXPECT_EQ(UIntToHex(v, text, minDigits), static_cast<int32_t>(want.size())) << minDigits;
      EXPECT_EQ(text, want) << "minDigits " << minDigits;
    }
  }
}

// The leading size - 1 digits, terminated, and nothing written past size.
TEST(Numbers, UInt64ToDecKeepsTheLeadingDigitsThatFit) {
  const uint64_t values[] = {0,
                             9,
                             10,
                             12345,
                             0xFFFFFFFFu,
                             0x100000000u,
                             0x1234567890ABCDEFu,
                             10000000000000000000u,
                             UINT64_MAX};
  for (uint64_t v : values) {
    const std::string full = Printf("%" PRIu64, v);
    for (uint32_t size : {0u, 1u, 2u, 4u, 11u, 21u, 22u}) {
      char text[32];
      std::memset(text, '#', sizeof text);
      int32_t len =
          UInt64ToDec(text, size, static_cast<uint32_t>(v), static_cast<uint32_t>(v >> 32));
      const std::string want = size == 0 ? "" : full.substr(0, size - 1);
      EXPECT_EQ(len, static_cast<int32_t>(want.size())) << full << " size " << size;
      if (size != 0) {
        EXPECT_EQ(text, want) << full << " size " << size;
      }
      EXPECT_EQ(text[size], '#') << full << " size " << size;
    }
  }
}

TEST(ParseNumber, ReadsDecimalAndHexWithOptionalSign) {
  const struct {
    const char* text;
    bool allowSign;
    int32_t want;
    bool complete;
  } cases[] = {
      {"  42", false, 42, true},
      {"\t 42", true, 42, true},
      {"42x", false, 42, false},
      {"42 ", false, 42, false},
      {"0x1F", false, 31, true},
      {"0X1f", false, 31, true},
      {"0xabcdef", false, 0xABCDEF, true},
      {"0xFFFFFFFF", false, -1, true},
      {"0x", false, 0, true},
      {"0xG", false, 0, false},
      {"007", false, 7, true},
      {"- 7", true, -7, true},
      {"-\t7", true, -7, true},
      {"-7", false, 0, false},
      {"+ +5", true, 5, true},
      {"+5", false, 0, false},
      {"-+5", true, 0, false},
      {"-0x10", true, -16, true},
      {"-2147483648", true, INT32_MIN, true},
      {"4294967295", false, -1, true},
      {"   ", false, 0, true},
      {"", false, 0, false},
      {nullptr, true, 0, false},
      {"abc", false, 0, false},
      // Every overflow stops the number, also one whose wrapped value is not below the last.
      {"4294967296", false, 0, false},
      {"9999999999", false, 1410065407, false},
      {"0x100000000", false, 0, false},
      {"0x1FFFFFFFF", false, -1, false}};
  for (const auto& c : cases) {
    const char* shown = c.text ? c.text : "(null)";
    bool complete = !c.complete, viaWrapper = !c.complete;
    EXPECT_EQ(ParseNumber(c.text, c.allowSign, &complete), c.want) << shown;
    EXPECT_EQ(complete, c.complete) << shown;
    EXPECT_EQ(ParseNumber(c.text, c.allowSign, nullptr), c.want) << shown;
    EXPECT_EQ(c.allowSign ? ParseSigned(c.text, &viaWrapper) : ParseUnsigned(c.text, &viaWrapper),
              c.want)
        << shown;
    EXPECT_EQ(viaWrapper, c.complete) << shown;
  }
}

} // namespace
