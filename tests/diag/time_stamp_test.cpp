#include "runtime/diag/time_stamp.h"

#include <gtest/gtest.h>

#include <ctime>
#include <string>

namespace {

TEST(FormatCalendarTime, FieldsAndSize) {
  struct Case {
    uint32_t hour, minute, second, day, month, year;
    int32_t size;
    bool fits;
    const char* text;
  } cases[] = {
      {14, 5, 9, 6, 12, 2006, 40, true, "14:05:09 06.12.2006"},
      {0, 0, 0, 1, 1, 1601, 40, true, "00:00:00 01.01.1601"},
      {23, 59, 59, 31, 12, 30827, 40, true, "23:59:59 31.12.30827"},
      {14, 5, 9, 6, 12, 2006, 20, true, "14:05:09 06.12.2006"},
      {14, 5, 9, 6, 12, 2006, 19, false, "14:05:09 06.12.200"},
  };
  for (const Case& c : cases) {
    char text[40];
    EXPECT_EQ(FormatCalendarTime(text, c.size, c.hour, c.minute, c.second, c.day, c.month, c.year),
              c.fits);
    EXPECT_STREQ(text, c.text);
  }
}

// The stamp against the C library's own clock and zone, taken within one second.
TEST(FormatTimeStamp, LocalAndUniversalTime) {
  for (bool local : {true, false}) {
    std::string stamp, expected;
    for (int attempt = 0; attempt < 5; ++attempt) {
      const std::time_t before = std::time(nullptr);
      char text[40];
      EXPECT_TRUE(FormatTimeStamp(text, sizeof text, local));
      if (std::time(nullptr) != before) continue;
      char wanted[40];
      std::strftime(wanted, sizeof wanted, "%H:%M:%S %d.%m.%Y",
                    local ? std::localtime(&before) : std::gmtime(&before));
      stamp = text;
      expected = wanted;
      break;
    }
    EXPECT_EQ(stamp, expected) << (local ? "local" : "UTC");
    EXPECT_EQ(stamp.size(), 19u);
  }
}

} // namespace
