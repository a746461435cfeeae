#include "runtime/text/strings.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

enum Op { kCopyN, kCopyBlock, kAppend, kPrepend };

// Every bounded write starts from `old` in a buffer of `size` bytes followed by canary bytes
// that must survive. Rows with size 0 start from a buffer of canaries only.
TEST(Strings, BoundedWritesKeepToTheBuffer) {
  struct Case {
    Op op;
    const char* old;
    const char* src;
    uint32_t n, size;
    bool ok;
    const char* want;
  } cases[] = {{kCopyN, "x", "abcdef", 0, 4, true, "abc"},
               {kCopyN, "", "abcdef", 0, 1, true, ""},
               {kCopyN, "x", "abcdef", 0, 7, true, "abcdef"},
               {kCopyBlock, "x", "abcdef", 3, 8, true, "abc"},
               {kCopyBlock, "x", "abcdef", 5, 6, true, "abcde"},
               {kCopyBlock, "x", "abcdef", 6, 6, false, "abcde"},
               {kCopyBlock, "", "abcdef", 6, 1, false, ""},
               {kCopyBlock, "x", "abcdef", 0, 8, false, ""},
               {kCopyBlock, "x", nullptr, 3, 8, false, ""},
               {kAppend, "ab", "cd", 0, 5, true, "abcd"},
               {kAppend, "ab", "cd", 0, 4, false, "abc"},
               {kAppend, "ab", "cd", 0, 3, false, "ab"},
               {kAppend, "ab", "", 0, 3, true, "ab"},
               {kAppend, "", "cd", 0, 1, false, ""},
               {kPrepend, "1F", "0x", 0, 5, true, "0x1F"},
               {kPrepend, "1F", "0x", 0, 4, false, "0x1"},
               {kPrepend, "1F", "0x", 0, 3, false, "0x"},
               {kPrepend, "F", "0x", 0, 2, false, "0"},
               {kPrepend, "", "0x", 0, 1, false, ""},
               {kPrepend, "1F", "", 0, 3, true, "1F"},
               {kPrepend, "abcdef", "XY", 0, 7, false, "XYabcd"},
               {kPrepend, "abcdefghij", "X", 0, 12, true, "Xabcdefghij"},
               {kCopyN, nullptr, "abc", 0, 0, true, nullptr},
               {kCopyBlock, nullptr, "abc", 3, 0, false, nullptr},
               {kAppend, nullptr, "cd", 0, 0, false, nullptr},
               {kPrepend, nullptr, "0x", 0, 0, false, nullptr}};
  for (const Case& c : cases) {
    char buffer[32];
    std::memset(buffer, 0x5A, sizeof buffer);
    if (c.old != nullptr) std::strcpy(buffer, c.old);
    bool ok = true;
    switch (c.op) {
    case kCopyN:
      StrCopyN(buffer, c.src, c.size);
      break;
    case kCopyBlock:
      ok = StrCopyBlock(buffer, c.size, c.src, c.n);
      break;
    case kAppend:
      ok = StrAppendN(buffer, c.src, c.size);
      break;
    case kPrepend:
      ok = StrPrependN(buffer, c.src, c.size);
      break;
    }
    std::string what = "op " + std::to_string(c.op) + " old " + (c.old ? c.old : "-") + " src " +
                       (c.src ? c.src : "-") + " size " + std::to_string(c.size);
    EXPECT_EQ(ok, c.ok) << what;
    if (c.want != nullptr) {
      EXPECT_STREQ(buffer, c.want) << what;
    }
    for (uint32_t i = c.size; i < c.size + 8; ++i)
      EXPECT_EQ(buffer[i], 0x5A) << what << " at " << i;
  }
}

TEST(Strings, BoundedWritesEdges) {
  char block[8]; // a block is not a text: its zero bytes are copied too
  EXPECT_TRUE(StrCopyBlock(block, sizeof block, "a\0b", 3));
  EXPECT_EQ(std::memcmp(block, "a\0b\0", 4), 0);
  EXPECT_FALSE(StrCopyBlock(nullptr, 8, "abc", 3));
  char full[4] = {'a', 'b', 'c', 'd'}; // no terminator inside: neither read past nor changed
  EXPECT_FALSE(StrAppendN(full, "x", sizeof full));
  EXPECT_EQ(std::memcmp(full, "abcd", 4), 0);
  char text[16] = "ab";
  StrCat(text, "cde");
  EXPECT_STREQ(text, "abcde");
  EXPECT_EQ(StrLen(text), 5u);
  StrCopy(text, "xy");
  EXPECT_STREQ(text, "xy");
}

int Sign(int v) {
  return (v > 0) - (v < 0);
}

TEST(Strings, Comparisons) {
  struct Case {
    const char* a;
    const char* b;
    int32_t whole;
    uint32_t n;
    int32_t bounded, noCase;
  } cases[] = {
      {"abc", "abd", -1, 2, 0, -1},
      {"abd", "abc", 1, 3, 1, 1},
      {"ab", "abc", -1, 3, -1, -1},
      {"abc", "ab", 1, 2, 0, 1},
      {"", "", 0, 5, 0, 0},
      {"abc", "xyz", 'a' - 'x', 0, 0, 'A' - 'X'},
      {"\xFF", "a", 0x9E, 1, 0x9E, 0x5E},
      {"x\x80", "x\x7F", 1, 2, 1, 1},
      {"Yes", "YES", 'e' - 'E', 3, 0x20, 0},
      {"\xFF", "\x9F", 0x60, 1, 0x60, 0},
      {"\x9A\x9C", "\x8A\x8C", 0x10, 2, 0x10, 0},
      {"\xF7", "\xD7", 0x20, 1, 0x20, 0x20},
      {"a", "[", 'a' - '[', 1, 'a' - '[', 'A' - '['}, // the difference is taken after mapping
  };
  for (const Case& c : cases) {
    EXPECT_EQ(StrCompare(c.a, c.b), c.whole) << c.a << " vs " << c.b;
    EXPECT_EQ(Sign(StrCompare(c.a, c.b)), Sign(std::strcmp(c.a, c.b))) << c.a << " vs " << c.b;
    EXPECT_EQ(StrCompareN(c.a, c.b, c.n), c.bounded) << c.a << " vs " << c.b << " n " << c.n;
    EXPECT_EQ(StrCompareNoCase(c.a, c.b), c.noCase) << c.a << " vs " << c.b;
    EXPECT_EQ(StrEqual(c.a, c.b), c.whole == 0);
    EXPECT_EQ(StrEqualN(c.a, c.b, c.n), c.bounded == 0);
    EXPECT_EQ(StrEqualNoCase(c.a, c.b), c.noCase == 0);
  }
}

TEST(Strings, FindCharFromEitherEnd) {
  const char* t = "a/b/c";
  const struct {
    const char* s;
    char c;
    const char *first, *last;
  } cases[] = {{t, '/', t + 1, t + 3},          {t, 'a', t, t},
               {t, 'c', t + 4, t + 4},          {t, 'x', nullptr, nullptr},
               {t, 0, nullptr, nullptr},        {"", 'a', nullptr, nullptr},
               {nullptr, 'a', nullptr, nullptr}};
  for (const auto& c : cases) {
    EXPECT_EQ(StrFindChar(c.s, c.c), c.first) << "'" << c.c << "'";
    EXPECT_EQ(StrFindLastChar(c.s, c.c), c.last) << "'" << c.c << "'";
  }
}

// The whole table against the Windows-1252 letter pairs of the code chart.
TEST(CharUpper, MapsWindows1252SmallLettersOnly) {
  for (int ch = 0; ch < 256; ++ch) {
    int want = ch;
    if ((ch >= 'a' && ch <= 'z') || (ch >= 0xE0 && ch <= 0xFE && ch != 0xF7)) want = ch - 0x20;
    if (ch == 0x9A || ch == 0x9C) want = ch - 0x10;
    if (ch == 0xFF) want = 0x9F;
    EXPECT_EQ(CharUpper(static_cast<uint8_t>(ch)), want) << std::hex << ch;
  }
}

} // namespace
