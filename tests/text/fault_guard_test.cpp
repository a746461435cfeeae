#include "runtime/text/fault_guard.h"
#include "winposix/win32.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

// The faults are raised in assembly so the sanitizers see no undefined behaviour in C++.
void ReadNull(void*) {
  __asm__ volatile("movb 0, %%al" ::: "al", "memory");
}
void IllegalInstruction(void*) {
  __asm__ volatile("ud2");
}
void DivideByZero(void*) {
  __asm__ volatile("xorl %%ecx, %%ecx\n\tmovl $1, %%eax\n\tcltd\n\tidivl %%ecx" ::
                       : "eax", "ecx", "edx");
}
void Count(void* context) {
  ++*static_cast<int*>(context);
}
// An inner guard's fault must leave the outer step running.
void NestedFault(void* context) {
  *static_cast<int*>(context) = FaultGuard(&IllegalInstruction, nullptr) ? 1 : 2;
}

// Rounds over and over, so that a guard left behind or callee-saved registers the compiler keeps
// live across the call (the sum, the volatile) lost to a fault show.
TEST(FaultGuard, EndsOnlyTheFaultingStep) {
  const struct {
    const char* what;
    GuardedStep step;
    bool completes;
    int value;
  } cases[] = {
      {"clean step", &Count, true, 1},
      {"nested fault", &NestedFault, true, 2},
      {"null read", &ReadNull, false, 0},
      {"illegal instruction", &IllegalInstruction, false, 0},
      {"integer divide by zero", &DivideByZero, false, 0},
  };
  volatile int before = 12345;
  long long sum = 0;
  for (int round = 0; round < 20; ++round) {
    for (const auto& c : cases) {
      int value = 0;
      sum += round;
      EXPECT_EQ(FaultGuard(c.step, &value), c.completes) << c.what;
      EXPECT_EQ(value, c.value) << c.what;
    }
  }
  EXPECT_EQ(sum, 190 * 5);
  EXPECT_EQ(before, 12345);
}

// Copies up to a page that faults on any access, whichever side it is on.
TEST(SafeCopyMem, StopsAtAnInaccessiblePageKeepingWhatWasCopied) {
  const uint32_t kPage = 4096, kBefore = 64;
  auto* page = static_cast<uint8_t*>(VirtualAlloc(nullptr, 2 * kPage, MEM_RESERVE, PAGE_NOACCESS));
  ASSERT_NE(VirtualAlloc(page, kPage, MEM_COMMIT, PAGE_READWRITE), nullptr);
  uint8_t* start = page + kPage - kBefore;
  for (uint32_t i = 0; i < kBefore; ++i) start[i] = static_cast<uint8_t>(i + 1);
  uint8_t target[256];
  std::memset(target, 0xEE, sizeof target);
  EXPECT_FALSE(SafeCopyMem(target, start, sizeof target));
  for (uint32_t i = 0; i < kBefore; ++i) ASSERT_EQ(target[i], i + 1) << i;
  std::memset(target, 0, sizeof target);
  EXPECT_TRUE(SafeCopyMem(target, start, kBefore));
  EXPECT_EQ(target[kBefore - 1], kBefore);
  EXPECT_FALSE(SafeCopyMem(target, page + kPage, 1));
  EXPECT_TRUE(SafeCopyMem(page, "abc", 4));
  EXPECT_FALSE(SafeCopyMem(page + kPage, "abc", 4));
  VirtualFree(page, 0, MEM_RELEASE);
}

} // namespace
