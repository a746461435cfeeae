#include "runtime/startup/start_delay.h"

#include <gtest/gtest.h>

namespace {

TEST(StartDelay, Grammar) {
  constexpr uint32_t kLongest = kLongestStartDelayMs;
  struct Case {
    const char* text;
    bool sleeps;
    uint32_t ms;
  } cases[] = {
      {"1h30m", true, 5400000},
      {"45s", true, 45000},
      {"0s", true, 0},
      {"1d", true, 86400000},
      {"1m1m", true, 120000},
      {"01s", true, 1000},
      {"1d1h1m1s", true, 90061000},
      {"90", false, 0},
      {"2m5", false, 0},
      {"1h 30m", false, 0},
      {" 45s", false, 0},
      {"45s ", false, 0},
      {"", false, 0},
      {nullptr, false, 0},
      {"s", false, 0},
      {"h1", false, 0},
      {"1x", false, 0},
      {"1H", false, 0},
      {"1ss", false, 0},
      {"-1s", false, 0},
      // Near and beyond 32 bits: the longest finite sleep, never a wrapped short one.
      {"4294967s", true, 4294967000u},
      {"49d17h2m47s", true, 4294967000u},
      {"4294968s", true, kLongest},
      {"50d", true, kLongest},
      {"4294967296s", true, kLongest},
      {"99999999999999999999d1s", true, kLongest},
      {"50d1x", false, 0},
  };
  for (const Case& c : cases) {
    uint32_t ms = 12345;
    EXPECT_EQ(ParseStartDelay(c.text, &ms), c.sleeps) << (c.text ? c.text : "null");
    EXPECT_EQ(ms, c.ms) << (c.text ? c.text : "null");
  }
}

} // namespace
