#include "runtime/startup/next_token.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

TEST(NextToken, SplitsByMode) {
  struct Case {
    const char* text;
    uint32_t mode;
    char sep1, sep2, sep3;
    uint32_t outSize;
    const char* field;
    const char* rest;
    char found;
  } cases[] = {
      {"100,40", 0, ',', 0, 0, 40, "100", "40", ','},
      {"  *1 , 120 ,50", 0, ',', 0, 0, 40, "*1", "120 ,50", ','},
      {"ab  \t,c", 0, ',', 0, 0, 40, "ab", "c", ','},
      {",,x", 0, ',', 0, 0, 40, "", ",x", ','},
      {"x;y|z", 0, ';', '|', 0, 40, "x", "y|z", ';'},
      {"y|z", 0, ';', '|', 0, 40, "y", "z", '|'},
      {"a:b", 0, ',', ';', ':', 40, "a", "b", ':'},
      {"last  ", 0, ',', 0, 0, 40, "last", "", 0},
      {"a b", 0, ' ', 0, 0, 40, "a", "b", ' '},
      {"abcdefg,h", 0, ',', 0, 0, 4, "abc", "h", ','},
      {"abcdefg", 0, ',', 0, 0, 1, "", "", 0},
      {"  hello world\tx", 1, ',', 0, 0, 40, "hello", "world\tx", 0},
      {"a,b c", 1, ',', 0, 0, 40, "a,b", "c", 0},
      {"hello\t  \tworld", 1, 0, 0, 0, 40, "hello", "world", 0},
      {" a b, c \t", 2, ',', 0, 0, 40, "a b, c", "", 0},
      {" a b, c ", 7, ',', 0, 0, 40, "a b, c", "", 0},
      {"", 0, ',', 0, 0, 40, "", "", 0},
      {"   ", 1, ',', 0, 0, 40, "", "", 0},
  };
  for (const Case& c : cases) {
    char out[64];
    std::memset(out, 'Z', sizeof out);
    char found = 'Q';
    const char* rest = NextToken(c.text, out, c.outSize, c.mode, c.sep1, c.sep2, c.sep3, &found);
    const std::string where = std::string("text '") + c.text + "' mode " + std::to_string(c.mode);
    EXPECT_STREQ(out, c.field) << where;
    EXPECT_EQ(out[c.outSize], 'Z') << where << ": wrote past the buffer";
    ASSERT_NE(rest, nullptr) << where;
    EXPECT_STREQ(rest, c.rest) << where;
    EXPECT_EQ(rest, c.text + std::strlen(c.text) - std::strlen(c.rest)) << where;
    EXPECT_EQ(found, c.found) << where;
  }
}

TEST(NextToken, NullTextAndMissingOutput) {
  char out[8] = "junk";
  char found = 'Q';
  const char* rest = NextToken(nullptr, out, sizeof out, 0, ',', 0, 0, &found);
  ASSERT_NE(rest, nullptr);
  EXPECT_STREQ(rest, "");
  EXPECT_STREQ(out, "");
  EXPECT_EQ(found, 0);

  // Without an output the field is still passed over.
  const char* text = "skip me,next";
  EXPECT_STREQ(NextToken(text, nullptr, 0, 0, ',', 0, 0, nullptr), "next");
  char untouched[4] = "abc";
  EXPECT_STREQ(NextToken(text, untouched, 0, 0, ',', 0, 0, nullptr), "next");
  EXPECT_STREQ(untouched, "abc");
}

} // namespace
