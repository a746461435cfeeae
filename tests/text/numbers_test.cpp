#include "runtime/text/numbers.h"
#include "tests/text/rows.h"

#include <cinttypes>
#include <climits>
#include <cstring>

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
    for (int32_t digits : {-1, 0, 1, 4, 8, 10}) {
      std::string want = Printf(("%0" + std::to_string(std::max(digits, 0)) + PRIX32).c_str(), v);
      EXPECT_EQ(UIntToHex(v, text, digits), static_cast<int32_t>(want.size())) << digits;
      EXPECT_EQ(text, want) << "minDigits " << digits;
    }
  }
}

// The leading size - 1 digits, terminated, and nothing written past size.
TEST(Numbers, UInt64ToDecKeepsTheLeadingDigitsThatFit) {
  for (uint64_t v : {0ull, 9ull, 10ull, 12345ull, 0xFFFFFFFFull, 0x100000000ull,
                     0x1234567890ABCDEFull, 10000000000000000000ull, ~0ull}) {
    const std::string full = Printf("%" PRIu64, v);
    for (uint32_t size : {0u, 1u, 2u, 4u, 11u, 21u, 22u}) {
      char text[32];
      std::memset(text, '#', sizeof text);
      const int32_t len = UInt64ToDec(text, size, static_cast<uint32_t>(v), v >> 32);
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
  for (const Row& row : ReadRows(__FILE__, "parse_number.tsv")) {
    const char* text = Text(row[0]);
    const bool sign = *row[1] == "1", want = *row[3] == "1";
    const int32_t value = static_cast<int32_t>(std::stoll(*row[2]));
    const char* shown = text ? text : "(null)";
    bool complete = !want, viaWrapper = !want;
    EXPECT_EQ(ParseNumber(text, sign, &complete), value) << shown;
    EXPECT_EQ(complete, want) << shown;
    EXPECT_EQ(ParseNumber(text, sign, nullptr), value) << shown;
    EXPECT_EQ(sign ? ParseSigned(text, &viaWrapper) : ParseUnsigned(text, &viaWrapper), value)
        << shown;
    EXPECT_EQ(viaWrapper, want) << shown;
  }
}

} // namespace
