#include "runtime/text/strings.h"
#include "tests/text/rows.h"

#include <cstring>

namespace {

// Every bounded write starts from the old text in a buffer of the given size followed by
// canary bytes that must survive; with no old text the buffer holds canaries only.
TEST(Strings, BoundedWritesKeepToTheBuffer) {
  for (const Row& row : ReadRows(__FILE__, "bounded_writes.tsv")) {
    const std::string& op = *row[0];
    const uint32_t n = std::stoul(*row[3]), size = std::stoul(*row[4]);
    char buffer[32];
    std::memset(buffer, 0x5A, sizeof buffer);
    if (row[1]) std::strcpy(buffer, row[1]->c_str());
    bool ok = true;
    if (op == "copyN") StrCopyN(buffer, Text(row[2]), size);
    if (op == "block") ok = StrCopyBlock(buffer, size, Text(row[2]), n);
    if (op == "append") ok = StrAppendN(buffer, Text(row[2]), size);
    if (op == "prepend") ok = StrPrependN(buffer, Text(row[2]), size);
    const std::string what = op + " " + row[1].value_or("-") + " " + row[2].value_or("-");
    EXPECT_EQ(ok, *row[5] == "1") << what << " size " << size;
    if (row[6]) {
      EXPECT_STREQ(buffer, row[6]->c_str()) << what << " size " << size;
    }
    for (uint32_t i = size; i < size + 8; ++i) EXPECT_EQ(buffer[i], 0x5A) << what << " at " << i;
  }
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
  for (const Row& row : ReadRows(__FILE__, "compare.tsv")) {
    const char *a = Text(row[0]), *b = Text(row[1]);
    const int32_t whole = std::stoi(*row[2]), bounded = std::stoi(*row[4]);
    const int32_t noCase = std::stoi(*row[5]);
    const uint32_t n = std::stoul(*row[3]);
    EXPECT_EQ(StrCompare(a, b), whole) << a << " vs " << b;
    EXPECT_EQ(Sign(whole), Sign(std::strcmp(a, b))) << a << " vs " << b;
    EXPECT_EQ(StrCompareN(a, b, n), bounded) << a << " vs " << b << " n " << n;
    EXPECT_EQ(StrCompareNoCase(a, b), noCase) << a << " vs " << b;
    EXPECT_EQ(StrEqual(a, b), whole == 0);
    EXPECT_EQ(StrEqualN(a, b, n), bounded == 0);
    EXPECT_EQ(StrEqualNoCase(a, b), noCase == 0);
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

} // namespace
