// Checks of what only the 32-bit image carries, run through the 32-bit runner. The last line is
// "N passed, N failed"; the exit code is 0 only when nothing failed.
#include "checks.h"

#include "runtime/memory/manager.h"
#include "runtime/memory/pool.h"
#include "runtime/diag/console.h"
#include "runtime/text/format.h"
#include "runtime/text/strings.h"

namespace {

uint32_t passed, failed;
char name[160];

bool Count(bool ok) {
  ++(ok ? passed : failed);
  return ok;
}

// Arguments take 4-byte slots: a pointer one, a 64-bit integer two, low half first. "|%u" shows
// that each directive took exactly its own.
void CheckFormats() {
  char text[64];
  const struct {
    uintptr_t pointer;
    const char* expected;
  } pointers[] = {{0, "[  0x00000000]|7"}, {0x1234, "[  0x00001234]|7"}, {~0u, "[  0xFFFFFFFF]|7"}};
  for (const auto& c : pointers) {
    FormatString(text, sizeof text, "[%12p]|%u", reinterpret_cast<void*>(c.pointer), 7u);
    ExpectText(c.expected, c.expected, text);
  }
  const struct {
    const char* format;
    uint64_t value;
    const char* expected;
  } wide[] = {{"%Hu|%u", 0xFFFFFFFFFFFFFFFFu, "18446744073709551615|7"},
              {"%Hd|%u", 0x8000000000000000u, "-9223372036854775808|7"},
              {"%HX|%u", 0x123456789ABCDEF0u, "123456789ABCDEF0|7"}};
  for (const auto& c : wide) {
    FormatString(text, sizeof text, c.format, c.value, 7u);
    ExpectText(c.format, c.expected, text);
  }
}

// A fresh pool carves its first region front to back, just behind the 16-byte region header:
// each block starts where the one before ends, its 4-byte size word in front of the caller's
// bytes, which are filled to their end.
void CheckPoolLayout() {
  const struct {
    uint32_t request, block;
  } cases[] = {{0, 12}, {1, 12}, {8, 12}, {9, 16}, {12, 16}, {13, 20}, {16, 20}, {17, 24}};
  constexpr uint32_t kCount = sizeof cases / sizeof cases[0];
  PoolControl* pool = PoolCreate();
  uint8_t* blocks[kCount];
  for (uint32_t i = 0; i < kCount; ++i) {
    ExpectEq(Named("pool block for %u bytes", cases[i].request), cases[i].block,
             PoolBlockSize(cases[i].request));
    blocks[i] = static_cast<uint8_t*>(PoolAlloc(pool, cases[i].request));
    if (blocks[i] == nullptr) return ExpectEq("pool block given", 1, 0);
  }
  for (uint32_t i = 0; i < kCount; ++i)
    for (uint32_t k = 0; k < cases[i].request; ++k) blocks[i][k] = 0xA5;
  ExpectEq("first pool block's offset in its page", 20, Address(blocks[0]) & 0xFFF);
  for (uint32_t i = 0; i < kCount; ++i) {
    ExpectEq(Named("size word of block %u", i), cases[i].block, ReadBlockSize(blocks[i] - 4));
    if (i + 1 < kCount)
      ExpectEq(Named("block %u's distance to the next", i), cases[i].block,
               Address(blocks[i + 1]) - Address(blocks[i]));
  }
  PoolDone(pool);
}

// A hole between two blocks takes a smaller block; the rest becomes free only from 16 bytes on.
void CheckPoolSplits() {
  const struct {
    uint32_t hole, block, given;
  } cases[] = {{24, 12, 24}, {28, 12, 12}, {28, 16, 28}, {32, 16, 16}};
  for (const auto& c : cases) {
    PoolControl* pool = PoolCreate();
    uint32_t given = 0;
    auto* hole = static_cast<uint8_t*>(CarveBlock(pool, c.hole, &given));
    CarveBlock(pool, 12, &given);
    MergeFree(pool, nullptr, hole + 4);
    const uint32_t at = Address(CarveBlock(pool, c.block, &given));
    ExpectEq(Named("%u-byte block in a %u-byte hole: place", c.block, c.hole), Address(hole), at);
    ExpectEq(Named("%u-byte block in a %u-byte hole: size", c.block, c.hole), c.given, given);
    PoolDone(pool);
  }
}

// Page mode: the requested size alone in front of the caller's bytes.
void CheckPageBlocks() {
  const uint32_t page = SystemPageSize();
  const uint32_t largest = 0xFFFFFFFF - 4 - (page - 1);
  const struct {
    uint32_t request, reserved;
  } cases[] = {{page - 4, page}, {page - 3, 2 * page}, {largest, 0 - page}, {largest + 1, 0}};
  for (const auto& c : cases)
    ExpectEq(Named("page reservation for %u bytes", c.request), c.reserved,
             PageReservation(c.request));
  auto* block = static_cast<uint8_t*>(PageAlloc(10));
  ExpectEq("page block's offset in its page", 4, Address(block) % page);
  if (block != nullptr)
    ExpectEq("page block's size word", 10, *reinterpret_cast<uint32_t*>(block - 4));
  PageFree(block);
}

} // namespace

void ExpectEq(const char* check, uint32_t expected, uint32_t got) {
  if (Count(expected == got)) return;
  PrintMessage("FAIL %s: expected 0x%X, got 0x%X\n", check, expected, got);
}

void ExpectText(const char* check, const char* expected, const char* got) {
  if (Count(StrEqual(expected, got))) return;
  PrintMessage("FAIL %s: expected \"%s\", got \"%s\"\n", check, expected, got);
}

const char* Named(const char* format, ...) {
  ArgCursor args;
  __builtin_va_start(args.list, format);
  FormatText(name, args, sizeof name, format);
  __builtin_va_end(args.list);
  return name;
}

int main(int, char**) {
  RegisterInt64Directive();
  CheckFormats();
  CheckPoolLayout();
  CheckPoolSplits();
  CheckPageBlocks();
  CheckFaultGuard();
  CheckThreads();
  PrintMessage("%u passed, %u failed\n", passed, failed);
  return failed == 0 ? 0 : 1;
}
