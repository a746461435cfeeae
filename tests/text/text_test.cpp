#include "runtime/text/fault_guard.h"
#include "runtime/text/memory_ops.h"
#include "runtime/text/numbers.h"
#include "runtime/text/scramble.h"
#include "runtime/text/strings.h"
#include "tests/support/rows.h"
#include "winposix/win32.h"

#include <array>
#include <cstring>
#include <numeric>

namespace {

using Arena = std::array<uint8_t, 300>;

Arena Pattern() {
  Arena bytes;
  return std::iota(bytes.begin(), bytes.end(), uint8_t{0xA0}), bytes;
}

// Lengths around the word size and the change to string moves, at every alignment, overlapping
// both ways: as the C library, and not a byte around the target changed.
TEST(MemoryOps, MatchTheCLibrary) {
  for (uint32_t n = 0; n <= 262; n = n == 13 ? 250 : n + 1)
    for (uint32_t to : {8, 9, 10, 11, 30})
      for (uint32_t from : {0, 1, 4, 9, 30}) {
        SCOPED_TRACE(testing::Message() << "to " << to << " from " << from << " n " << n);
        Arena got = Pattern(), want = Pattern();
        MoveMem(got.data() + to, got.data() + from, n);
        std::memmove(want.data() + to, want.data() + from, n);
        EXPECT_EQ(got, want) << "MoveMem";
        ZeroMem(got.data() + to, n);
        std::memset(want.data() + to, 0, n);
        EXPECT_EQ(got, want) << "ZeroMem";
        CopyMem(got.data() + to, Pattern().data() + from, n);
        std::memcpy(want.data() + to, Pattern().data() + from, n);
        EXPECT_EQ(got, want) << "CopyMem";
      }
}

// The decimal conversions are compared with the C library through the formatter's %d and %u.
TEST(Numbers, HexHasAtLeastTheDigitsAsked) {
  for (uint32_t v : {0u, 9u, 10u, 0xFu, 0x10u, 0x1Fu, 0x12345678u, 0x80000000u, UINT32_MAX})
    for (int32_t digits : {-1, 0, 1, 4, 8, 10}) {
      char text[16], want[16];
      std::snprintf(want, sizeof want, "%0*X", std::max(digits, 0), v);
      EXPECT_EQ(UIntToHex(v, text, digits), static_cast<int32_t>(std::strlen(want))) << want;
      EXPECT_EQ(std::string(text), want);
    }
}

// The leading size - 1 digits, terminated, and nothing written past size.
TEST(Numbers, UInt64ToDecKeepsTheLeadingDigitsThatFit) {
  for (uint64_t v : {0ull, 9ull, 10ull, 12345ull, 0xFFFFFFFFull, 0x100000000ull,
                     0x1234567890ABCDEFull, 10000000000000000000ull, ~0ull})
    for (uint32_t size : {0u, 1u, 2u, 4u, 11u, 21u, 22u}) {
      const std::string want = std::to_string(v).substr(0, size ? size - 1 : 0);
      std::string text(32, '#');
      EXPECT_EQ(UInt64ToDec(text.data(), size, static_cast<uint32_t>(v), v >> 32),
                static_cast<int32_t>(want.size()));
      EXPECT_EQ(size ? text.c_str() : "", want) << v << " size " << size;
      EXPECT_EQ(text[size], '#');
    }
}

TEST(ParseNumber, ReadsDecimalAndHexWithOptionalSign) {
  for (const Row& row : ReadRows(__FILE__, "parse_number.tsv")) {
    SCOPED_TRACE(row[0].value_or("(null)"));
    const char* text = Text(row[0]);
    const bool sign = *row[1] == "1", want = *row[3] == "1";
    const auto value = static_cast<int32_t>(std::stoll(*row[2]));
    bool complete = !want, viaWrapper = !want;
    EXPECT_EQ(ParseNumber(text, sign, &complete), value);
    EXPECT_EQ(complete, want);
    EXPECT_EQ(ParseNumber(text, sign, nullptr), value);
    EXPECT_EQ(sign ? ParseSigned(text, &viaWrapper) : ParseUnsigned(text, &viaWrapper), value);
    EXPECT_EQ(viaWrapper, want);
  }
}

// Every character hidden, none a terminator, all given back (the image: tests/product).
TEST(Scramble, UnscrambleGivesThePlainTextBack) {
  constexpr char plain[] = "Kernel32.DLL _GlobSysArgs_ ~!{|}";
  constexpr auto name = Scramble(plain);
  EXPECT_STREQ(PlainName(name), plain);
  for (size_t i = 0; i < sizeof plain; ++i)
    EXPECT_EQ(name.bytes[i] == plain[i] || !name.bytes[i], i + 1 == sizeof plain) << i;
  EXPECT_STREQ(PlainName(Scramble("")), "");
}

// Each write starts from the old text (if any) in a buffer of the given size followed by canary
// bytes that must survive. A block is not a text: its zero bytes are copied too.
TEST(Strings, WritesKeepToTheBuffer) {
  for (const Row& row : ReadRows(__FILE__, "bounded_writes.tsv")) {
    const char* src = Text(row[2]);
    const uint32_t size = std::stoul(*row[4]);
    SCOPED_TRACE(*row[0] + " " + row[1].value_or("-") + " " + row[2].value_or("-") + " " + *row[4]);
    char buffer[32];
    std::memset(buffer, 0x5A, sizeof buffer);
    if (row[1]) std::strcpy(buffer, row[1]->c_str());
    bool ok = true;
    if (*row[0] == "copyN") StrCopyN(buffer, src, size);
    if (*row[0] == "block") ok = StrCopyBlock(buffer, size, src, std::stoul(*row[3]));
    if (*row[0] == "append") ok = StrAppendN(buffer, src, size);
    if (*row[0] == "prepend") ok = StrPrependN(buffer, src, size);
    if (*row[0] == "cat") StrCat(buffer, src);
    if (*row[0] == "copy") StrCopy(buffer, src);
    EXPECT_EQ(ok, *row[5] == "1");
    const std::string want = row[6] ? *row[6] + '\0' : ""; // an empty buffer has nothing to read
    EXPECT_EQ(std::string(buffer, want.size()), want);
    EXPECT_EQ(want.empty() ? 0 : StrLen(buffer), std::strlen(want.c_str()));
    for (uint32_t i = size; i < size + 8; ++i) EXPECT_EQ(buffer[i], 0x5A) << "at " << i;
  }
  EXPECT_FALSE(StrCopyBlock(nullptr, 8, "abc", 3));
  char full[4] = {'a', 'b', 'c', 'd'}; // no terminator inside: neither read past nor changed
  EXPECT_FALSE(StrAppendN(full, "x", sizeof full));
  EXPECT_EQ(std::memcmp(full, "abcd", 4), 0);
}

TEST(Strings, Comparisons) {
  for (const Row& row : ReadRows(__FILE__, "compare.tsv")) {
    const char *a = Text(row[0]), *b = Text(row[1]);
    const int32_t all = std::stoi(*row[2]), first = std::stoi(*row[4]), folded = std::stoi(*row[5]);
    const uint32_t n = std::stoul(*row[3]);
    SCOPED_TRACE(std::string(a) + " vs " + b + " n " + *row[3]);
    EXPECT_EQ(StrCompare(a, b), all);
    EXPECT_EQ(StrCompareN(a, b, n), first);
    EXPECT_EQ(StrCompareNoCase(a, b), folded);
    EXPECT_EQ(StrEqual(a, b), all == 0);
    EXPECT_EQ(StrEqualN(a, b, n), first == 0);
    EXPECT_EQ(StrEqualNoCase(a, b), folded == 0);
  }
}

TEST(Strings, FindCharFromEitherEnd) {
  for (const Row& row : ReadRows(__FILE__, "find_char.tsv")) {
    const char* s = Text(row[0]);
    const auto at = [s](const Field& offset) { return offset ? s + std::stoi(*offset) : nullptr; };
    SCOPED_TRACE(row[0].value_or("(null)") + " " + *row[1]);
    EXPECT_EQ(StrFindChar(s, (*row[1])[0]), at(row[2]));
    EXPECT_EQ(StrFindLastChar(s, (*row[1])[0]), at(row[3]));
  }
}

// The faults are raised in assembly so the sanitizers see no undefined behaviour in C++.
#define FAULTING_STEP(name, code)                                                                  \
  void name(void*) {                                                                               \
    __asm__ volatile(code ::: "eax", "ecx", "edx", "memory");                                      \
  }
FAULTING_STEP(ReadNull, "movb 0, %%al")
FAULTING_STEP(IllegalInstruction, "ud2")
FAULTING_STEP(DivideByZero, "xorl %%ecx, %%ecx\n\tmovl $1, %%eax\n\tcltd\n\tidivl %%ecx")

// Round after round, so that a guard left behind, or registers kept across the call (the sum, the
// volatile) lost to a fault, show. A fault under an inner guard leaves the outer step running.
TEST(FaultGuard, EndsOnlyTheFaultingStep) {
  const std::tuple<const char*, GuardedStep, int> cases[] = {
      {"clean step", [](void* c) { ++*static_cast<int*>(c); }, 1},
      {"nested", [](void* c) { *static_cast<int*>(c) = FaultGuard(IllegalInstruction, c) + 2; }, 2},
      {"null read", ReadNull, 0},
      {"divide by zero", DivideByZero, 0}};
  volatile int before = 12345;
  long long sum = 0;
  for (int round = 0; round < 20; ++round)
    for (const auto& [what, step, value] : cases) {
      int got = 0;
      sum += round;
      EXPECT_EQ(FaultGuard(step, &got), value != 0) << what;
      EXPECT_EQ(got, value) << what;
    }
  EXPECT_EQ(sum, 190 * 4);
  EXPECT_EQ(before, 12345);
}

// Copies up to a page that faults on any access, whichever side it is on.
TEST(SafeCopyMem, StopsAtAnInaccessiblePageKeepingWhatWasCopied) {
  const uint32_t kPage = 4096, kBefore = 64;
  auto* page = static_cast<uint8_t*>(VirtualAlloc(nullptr, 2 * kPage, MEM_RESERVE, PAGE_NOACCESS));
  ASSERT_NE(VirtualAlloc(page, kPage, MEM_COMMIT, PAGE_READWRITE), nullptr);
  uint8_t *start = page + kPage - kBefore, target[256] = {};
  for (uint32_t i = 0; i < kBefore; ++i) start[i] = static_cast<uint8_t>(i + 1);
  EXPECT_FALSE(SafeCopyMem(target, start, sizeof target));
  EXPECT_EQ(std::memcmp(target, start, kBefore), 0);
  EXPECT_TRUE(SafeCopyMem(target + 1, start, kBefore));
  EXPECT_EQ(target[kBefore], kBefore);
  EXPECT_FALSE(SafeCopyMem(target, page + kPage, 1));
  EXPECT_TRUE(SafeCopyMem(page, "abc", 4));
  EXPECT_FALSE(SafeCopyMem(page + kPage, "abc", 4));
  VirtualFree(page, 0, MEM_RELEASE);
}

} // namespace
