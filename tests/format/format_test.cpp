#include "runtime/text/format.h"

#include <gtest/gtest.h>

#include <cinttypes>
#include <climits>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>

namespace {

// %kX writes the format character X as many times as its argument says.
int32_t RepeatDirective(const char** cursor, char* buffer, int32_t, ArgCursor* args) {
  const char c = **cursor;
  if (c != 0) ++*cursor;
  const int32_t n = __builtin_va_arg(args->list, int32_t);
  for (int32_t i = 0; i < n; ++i) buffer[i] = c;
  buffer[n] = 0;
  return n;
}

int32_t FillerDirective(const char**, char* buffer, int32_t, ArgCursor*) {
  buffer[0] = '#';
  buffer[1] = 0;
  return 1;
}

// Every registration of the process but the table-filling one happens here, before any test.
// 'd' is built in: registering it takes a slot and changes nothing.
const int kSlotsTakenAtStart = RegisterInt64Directive() +
                               RegisterFormatDirective('k', RepeatDirective) +
                               RegisterFormatDirective('d', RepeatDirective);

using Call = std::function<bool(char*, int32_t)>;
#define F(format, ...)                                                                             \
  format, [](char* d, int32_t s) { return FormatString(d, s, format __VA_OPT__(, ) __VA_ARGS__); }

struct Case {
  const char* format;
  Call call;
  const char* want;
};

const char16_t kWide[] = u"A\u20ACB\u00FF";

// Enough room everywhere; the expansion alone is checked. What means the same as in the C
// library is compared with it below.
TEST(Format, Directives) {
  const Case cases[] = {
      {F("%-5d|", 42), "42   |"},
      {F("%05d", -42), "00-42"},
      {F("%-05u", 42), "42000"},
      {F("%x|%X|%X", 255, 0, 0xDEADBEEFu), "FF|0|DEADBEEF"},
      {F("%ld %Lu %lx %LX", -5, 7u, 0xabu, 0xcdu), "-5 7 AB CD"},
      {F("%$10u", 1234567), " 1.234.567"},
      {F("%-$10u|", 1234567), "1.234.567 |"},
      {F("%$u %$u %$u %$u", 123456, 123, 1000, 0), "123.456 123 1.000 0"},
      {F("%$d %$d %$d", -1234567, -123456, -12), "-1.234.567 -123.456 -12"},
      {F("%$s", "abcdef"), "abc.def"},
      {F("%-$06d|", 1234), "1.2340|"},
      {F("%s|%5s|%-5s|", "x", "ab", "ab"), "x|   ab|ab   |"},
      {F("%s", static_cast<const char*>(nullptr)), "(null)"},
      {F("%s", "a\nb"), "a\nb"},
      {F("a\nb\n"), "a\r\nb\r\n"},
      {F("[%c%c%5c]", 'x', 0x141, 'y'), "[xAy]"},
      {F("[%c]", 0), "[]"},
      {F("%5%|%-%"), "%|%"},
      {F("%ls|%5Ls|", kWide, u"ab"), "A?B\xFF|   ab|"},
      {F("%ls", static_cast<const char16_t*>(nullptr)), "(null)"},
      // Unknown letters write nothing and leave the argument for the next directive.
      {F("%q%d", 7), "7"},
      {F("%lq%d", 7), "7"},
      {F("%0-5d|%d", 42), "5d|42"},
      // The format may end anywhere inside a directive.
      {F("ab%"), "ab"},
      {F("ab%-$0"), "ab"},
      {F("ab%12"), "ab"},
      {F("ab%l"), "ab"},
      // Extra directives: the handler reads the format and its argument; any case of the letter.
      {F("%k*|%K-|%5k=|%d", 3, 2, 2, 9), "***|--|   ==|9"},
      {F("%Hu|%hu", 0u, 1u, 5u, 0u), "4294967296|5"},
      {F("%HX|%Hx|%Hx", 0x10u, 1u, 0xFFu, 0u, 0u, 0u), "100000010|FF|0"},
      {F("%$Hu", 0x71FB04CBu, 0x11Fu), "1.234.567.890.123"},
      // Without a known letter behind it %H is an empty field and takes no argument.
      {F("%Hz|%3Hz|%HU%d", 6), "z|   z|U6"},
      {F("%5H"), "     "},
  };
  for (const Case& c : cases) {
    char text[256];
    EXPECT_TRUE(c.call(text, sizeof text)) << c.format;
    EXPECT_STREQ(text, c.want) << c.format;
  }
}

TEST(Format, PointersShowTheirFullWidth) {
  for (uintptr_t value : {uintptr_t{0}, uintptr_t{255}, ~uintptr_t{0} / 3, ~uintptr_t{0}}) {
    char want[40], text[40];
    std::snprintf(want, sizeof want, "0x%0*" PRIXPTR, static_cast<int>(2 * sizeof value), value);
    EXPECT_TRUE(FormatString(text, sizeof text, "%p", reinterpret_cast<void*>(value)));
    EXPECT_STREQ(text, want);
  }
}

// Where both mean the same, the output must be the C library's.
TEST(Format, AgreesWithSnprintf) {
  const char* const formats[][2] = {{"%d", "%d"},       {"%u", "%u"},         {"%x", "%X"},
                                    {"%12d|", "%12d|"}, {"%-12u|", "%-12u|"}, {"%010u", "%010u"},
                                    {"%8X", "%8X"},     {"%c", "%c"}};
  const int32_t values[] = {0, 1, -1, 9, 10, 65, 99, 4096, 123456789, INT_MAX, INT_MIN};
  for (const auto& f : formats) {
    for (int32_t v : values) {
      if (f[0][1] == 'c' && static_cast<char>(v) == 0) continue;
      char want[64], text[64];
      std::snprintf(want, sizeof want, f[1], v);
      EXPECT_TRUE(FormatString(text, sizeof text, f[0], v));
      EXPECT_STREQ(text, want) << f[0] << " " << v;
    }
  }
  const uint64_t wide[] = {0,
                           1,
                           0xFFFFFFFFu,
                           0x100000000u,
                           0x123456789ABCDEFu,
                           INT64_MAX,
                           static_cast<uint64_t>(INT64_MIN),
                           UINT64_MAX};
  for (uint64_t v : wide) {
    const auto low = static_cast<uint32_t>(v), high = static_cast<uint32_t>(v >> 32);
    char want[80], text[80];
    std::snprintf(want, sizeof want, "%" PRIu64 " %" PRId64 " %" PRIX64, v, static_cast<int64_t>(v),
                  v);
    EXPECT_TRUE(FormatString(text, sizeof text, "%Hu %Hd %HX", low, high, low, high, low, high));
    EXPECT_STREQ(text, want);
  }
}

// Each expansion cut at every size: the text that fits is a prefix of the whole, the result
// says whether all fitted, and nothing lands past size.
TEST(Format, CutsAtEverySize) {
  const Case cases[] = {
      {F("a\nb"), "a\r\nb"},
      {F("x%5d|", 42), "x   42|"},
      {F("%-6s|", "ab"), "ab    |"},
      {F("%s%%", "abcdef"), "abcdef%"},
      {F("%ls!", kWide), "A?B\xFF!"},
      {F("%k#%c", 4, 'z'), "####z"},
      {F("%Hu", 1u, 1u), "4294967297"},
  };
  for (const Case& c : cases) {
    const std::string whole = c.want;
    for (int32_t size = 0; size <= static_cast<int32_t>(whole.size()) + 2; ++size) {
      char text[64];
      std::memset(text, 0x5A, sizeof text);
      const bool ok = c.call(text, size);
      const std::string what = std::string(c.format) + " size " + std::to_string(size);
      EXPECT_EQ(ok, size > static_cast<int32_t>(whole.size())) << what;
      if (size > 0) {
        EXPECT_EQ(text, whole.substr(0, size - 1)) << what;
      }
      for (int32_t i = size; i < size + 8; ++i) ASSERT_EQ(text[i], 0x5A) << what << " at " << i;
    }
  }
  char text[4] = {1, 2, 3, 4};
  EXPECT_FALSE(FormatString(text, -1, "abc"));
  EXPECT_EQ(text[0], 1);
  EXPECT_TRUE(FormatString(text, 1, ""));
  EXPECT_STREQ(text, "");
}

// A grouped text that does not fit loses as many characters as it has separators.
TEST(Format, CutsGroupedText) {
  const char* const want[] = {"",     "",      "",        "1",        "1.2",
                              "1.23", "1.234", "1.234.5", "1.234.56", "1.234.567"};
  for (int32_t size = 1; size <= 10; ++size) {
    char text[24];
    std::memset(text, 0x5A, sizeof text);
    EXPECT_EQ(FormatString(text, size, "%$u", 1234567), size == 10) << size;
    EXPECT_STREQ(text, want[size - 1]) << size;
    EXPECT_EQ(text[size], 0x5A) << size;
  }
  char text[8];
  EXPECT_FALSE(FormatString(text, sizeof text, "%$10u", 1234567));
  EXPECT_STREQ(text, " 1.234");
}

TEST(Format, LongTexts) {
  const std::string plain(2000, 'p');
  std::string text(4096, '\0');
  EXPECT_TRUE(FormatString(text.data(), 4096, "%s|", plain.c_str()));
  EXPECT_EQ(text.c_str(), plain + "|");
  // A wide text goes through the 512-byte work buffer: 511 units and no more.
  const std::u16string wide(600, u'w');
  EXPECT_TRUE(FormatString(text.data(), 4096, "%ls|", wide.c_str()));
  EXPECT_EQ(text.c_str(), std::string(511, 'w') + "|");
  // The width is not bounded by the work buffer either.
  EXPECT_TRUE(FormatString(text.data(), 4096, "%1000d", 1));
  EXPECT_EQ(text.c_str(), std::string(999, ' ') + "1");
}

TEST(Format, ExtraDirectiveTableHas32Slots) {
  EXPECT_FALSE(RegisterFormatDirective('w', nullptr));
  int added = 0;
  char letter = '\xA0'; // letters CharUpper leaves alone
  while (RegisterFormatDirective(letter, FillerDirective)) {
    ++added;
    ++letter;
    ASSERT_LT(added, 64);
  }
  EXPECT_EQ(kSlotsTakenAtStart + added, 32);
  // Full: a pair already there is still accepted, a new one is not.
  EXPECT_TRUE(RegisterFormatDirective('k', RepeatDirective));
  EXPECT_TRUE(RegisterInt64Directive());
  EXPECT_FALSE(RegisterFormatDirective('k', FillerDirective));
  const std::string last = {'%', static_cast<char>(letter - 1)};
  const std::string refused = {'%', letter};
  char text[32];
  EXPECT_TRUE(FormatString(text, sizeof text, (last + refused + "%w%k+%Hu").c_str(), 2, 3u, 0u));
  EXPECT_STREQ(text, "#++3");
}

} // namespace
