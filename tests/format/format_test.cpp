#include "runtime/text/format.h"
#include "tests/support/rows.h"

#include <cinttypes>
#include <cstring>
#include <sstream>

namespace {

// %kX writes the format character X as many times as its argument says.
int32_t RepeatDirective(const char** cursor, char* buffer, int32_t, ArgCursor* args) {
  const char c = **cursor;
  if (c != 0) ++*cursor;
  const int32_t n = __builtin_va_arg(args->list, int32_t);
  for (int32_t i = 0; i < n; ++i) buffer[i] = c;
  return buffer[n] = 0, n;
}

int32_t FillerDirective(const char**, char* buffer, int32_t, ArgCursor*) {
  return buffer[0] = '#', buffer[1] = 0, 1;
}

// All registrations but the table-filling one, before any test; the built-in 'd' takes a slot.
const int kSlotsTakenAtStart = RegisterInt64Directive() +
                               RegisterFormatDirective('k', RepeatDirective) +
                               RegisterFormatDirective('d', RepeatDirective);

// The row's arguments from column first on, each in a pointer-sized slot: the ABIs the tests
// run on pass an int that way too. A number, 'c for a character, "text, u and UTF-16 units in hex.
bool Expand(const Row& row, size_t first, char* text, int32_t size) {
  std::u16string wide[8];
  uintptr_t s[8] = {};
  for (size_t i = first; i < row.size(); ++i) {
    const char* a = row[i]->c_str();
    std::istringstream units(a + 1);
    for (unsigned u; *a == 'u' && units >> std::hex >> u;) wide[i - first] += char16_t(u);
    s[i - first] = *a == '"'    ? reinterpret_cast<uintptr_t>(a + 1)
                   : *a == '\'' ? static_cast<uint8_t>(a[1])
                   : *a == 'u'  ? reinterpret_cast<uintptr_t>(wide[i - first].c_str())
                                : static_cast<uintptr_t>(std::stoll(a, nullptr, 0));
  }
  return FormatString(text, size, row[0]->c_str(), s[0], s[1], s[2], s[3], s[4], s[5], s[6], s[7]);
}

template <typename... A> std::string Fmt(const char* format, A... args) {
  std::string text(4096, '\0');
  return FormatString(text.data(), 4096, format, args...) ? text.c_str() : "(did not fit)";
}

template <typename... A> std::string Printf(const char* format, A... args) {
  char text[80];
  return std::snprintf(text, sizeof text, format, args...), std::string(text);
}

// The text that fits is a prefix of the whole, the result says whether all fitted, and nothing
// lands past size.
TEST(Format, ExpandsAndCutsAtEverySize) {
  for (const Row& row : ReadRows(__FILE__, "format.tsv")) {
    const std::string whole = row[1].value_or("(null)");
    const int32_t len = static_cast<int32_t>(whole.size());
    for (int32_t size = row[0]->find('$') == std::string::npos ? 0 : len + 1; size <= len + 2;
         ++size) {
      char text[80];
      std::memset(text, 0x5A, sizeof text);
      const std::string what = *row[0] + " size " + std::to_string(size);
      EXPECT_EQ(Expand(row, 2, text, size), size > len) << what;
      EXPECT_EQ(size ? std::string(text) : "", whole.substr(0, std::max(size - 1, 0))) << what;
      for (int32_t i = size; i < size + 8; ++i) ASSERT_EQ(text[i], 0x5A) << what << " at " << i;
    }
  }
  char text[4] = {1, 2, 3, 4};
  EXPECT_FALSE(FormatString(text, -1, "abc"));
  EXPECT_EQ(text[0], 1);
}

TEST(Format, CutsGroupedText) {
  for (const Row& row : ReadRows(__FILE__, "grouped_cuts.tsv")) {
    const int32_t size = std::stoi(*row[1]);
    char text[24];
    std::memset(text, 0x5A, sizeof text);
    EXPECT_FALSE(Expand(row, 3, text, size)) << *row[0] << size;
    EXPECT_EQ(text, *row[2]) << *row[0] << size;
    EXPECT_EQ(text[size], 0x5A) << *row[0] << size;
  }
}

// Where both mean the same, the output must be the C library's.
TEST(Format, AgreesWithSnprintf) {
  for (const char* f : {"%d", "%u", "%X", "%12d|", "%-12u|", "%010u", "%8X", "%c"})
    for (int32_t v : {0, 1, -1, 9, 10, 65, 99, 4096, 123456789, INT32_MAX, INT32_MIN})
      EXPECT_EQ(Fmt(f, v), Printf(f, v)) << f << " " << v;
  for (uint64_t v : {0x0ull, 0x1ull, 0xFFFFFFFFull, 0x100000000ull, 0x123456789ABCDEFull,
                     0x7FFFFFFFFFFFFFFFull, 0x8000000000000000ull, 0xFFFFFFFFFFFFFFFFull}) {
    const auto low = static_cast<uint32_t>(v), high = static_cast<uint32_t>(v >> 32);
    const auto p = static_cast<uintptr_t>(v);
    EXPECT_EQ(Fmt("%Hu %Hd %HX %p", low, high, low, high, low, high, reinterpret_cast<void*>(p)),
              Printf("%" PRIu64 " %" PRId64 " %" PRIX64 " 0x%0*" PRIXPTR, v, v, v,
                     static_cast<int>(2 * sizeof p), p));
  }
}

TEST(Format, LongTexts) {
  EXPECT_EQ(Fmt("%s|", std::string(2000, 'p').c_str()), std::string(2000, 'p') + "|");
  // A wide text goes through the 512-byte work buffer: 511 units and no more.
  EXPECT_EQ(Fmt("%ls|", std::u16string(600, u'w').c_str()), std::string(511, 'w') + "|");
  // The width is not bounded by the work buffer either.
  EXPECT_EQ(Fmt("%1000d", 1), std::string(999, ' ') + "1");
}

TEST(Format, ExtraDirectiveTableHas32Slots) {
  EXPECT_FALSE(RegisterFormatDirective('w', nullptr));
  int added = 0;
  char letter = '\xA0'; // letters CharUpper leaves alone
  for (; RegisterFormatDirective(letter, FillerDirective); ++letter) ASSERT_LT(++added, 64);
  EXPECT_EQ(kSlotsTakenAtStart + added, 32);
  // Full: a pair already there is still accepted, a new one is not.
  EXPECT_TRUE(RegisterFormatDirective('k', RepeatDirective));
  EXPECT_TRUE(RegisterInt64Directive());
  EXPECT_FALSE(RegisterFormatDirective('k', FillerDirective));
  const std::string lastAndRefused = {'%', static_cast<char>(letter - 1), '%', letter};
  EXPECT_EQ(Fmt((lastAndRefused + "%w%k+%Hu").c_str(), 2, 3u, 0u), "#++3");
}

} // namespace
