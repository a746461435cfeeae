#include "runtime/startup/next_token.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

TEST(NextToken, SplitsByMode) {
  struct Case {
    const char *text, *field, *rest;
    uint32_t mode, outSize;
    char sep1, sep2, sep3, found;
  } cases[] = {
      {"100,40", "100", "40", 0, 40, ',', 0, 0, ','},
      {"  *1 , 120 ,50", "*1", "120 ,50", 0, 40, ',', 0, 0, ','},
      {"ab  \t,c", "ab", "c", 0, 40, ',', 0, 0, ','},
      {",,x", "", ",x", 0, 40, ',', 0, 0, ','},
      {"x;y|z", "x", "y|z", 0, 40, ';', '|', 0, ';'},
      {"y|z", "y", "z", 0, 40, ';', '|', 0, '|'},
      {"a:b", "a", "b", 0, 40, ',', ';', ':', ':'},
      {"last  ", "last", "", 0, 40, ',', 0, 0, 0},
      {"a b", "a", "b", 0, 40, ' ', 0, 0, ' '},
      {"abcdefg,h", "abc", "h", 0, 4, ',', 0, 0, ','},
      {"abcdefg", "", "", 0, 1, ',', 0, 0, 0},
      {"  hello world\tx", "hello", "world\tx", 1, 40, ',', 0, 0, 0},
      {"a,b c", "a,b", "c", 1, 40, ',', 0, 0, 0},
      {"hello\t  \tworld", "hello", "world", 1, 40, 0, 0, 0, 0},
      {" a b, c \t", "a b, c", "", 2, 40, ',', 0, 0, 0},
      {" a b, c ", "a b, c", "", 7, 40, ',', 0, 0, 0},
      {"", "", "", 0, 40, ',', 0, 0, 0},
      {"   ", "", "", 1, 40, ',', 0, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string("'") + c.text + "' mode " + std::to_string(c.mode));
    std::string out(64, 'Z');
    char found = 'Q';
    const char* rest =
        NextToken(c.text, out.data(), c.outSize, c.mode, c.sep1, c.sep2, c.sep3, &found);
    EXPECT_STREQ(out.c_str(), c.field);
    EXPECT_EQ(out[c.outSize], 'Z') << "wrote past the buffer";
    EXPECT_EQ(rest, c.text + std::strlen(c.text) - std::strlen(c.rest));
    EXPECT_EQ(found, c.found);
  }
}

// Without an output the field is still passed over; a null text is an empty one.
TEST(NextToken, MissingOutputAndNullText) {
  char out[8] = "junk", found = 'Q';
  EXPECT_STREQ(NextToken("skip me,next", nullptr, 0, 0, ',', 0, 0, nullptr), "next");
  EXPECT_STREQ(NextToken("skip me,next", out, 0, 0, ',', 0, 0, nullptr), "next");
  EXPECT_STREQ(out, "junk");
  EXPECT_STREQ(NextToken(nullptr, out, sizeof out, 0, ',', 0, 0, &found), "");
  EXPECT_STREQ(out, "");
  EXPECT_EQ(found, 0);
}

} // namespace
