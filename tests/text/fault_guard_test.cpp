#include "runtime/text/fault_guard.h"
#include "winposix/win32.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

// A committed page followed by a reserved one that any access faults on.
struct PageWithHole {
  PageWithHole() {
    base = static_cast<uint8_t*>(VirtualAlloc(nullptr, 2 * kPage, MEM_RESERVE, PAGE_NOACCESS));
    if (base != nullptr) VirtualAlloc(base, kPage, MEM_COMMIT, PAGE_READWRITE);
  }
  ~PageWithHole() { VirtualFree(base, 0, MEM_RELEASE); }
  static constexpr uint32_t kPage = 4096;
  uint8_t* base;
};

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

TEST(FaultGuard, EndsOnlyTheFaultingStep) {
  struct Case {
    const char* what;
    GuardedStep step;
    bool completes;
  } cases[] = {
      {"clean step", &Count, true},
      {"null read", &ReadNull, false},
      {"illegal instruction", &IllegalInstruction, false},
      {"integer divide by zero", &DivideByZero, false},
  };
  for (const Case& c : cases) {
    int value = 0;
    EXPECT_EQ(FaultGuard(c.step, &value), c.completes) << c.what;
  }
}

void NestedFault(void* context) {
  auto* inner = static_cast<bool*>(context);
  *inner = FaultGuard(&IllegalInstruction, nullptr);
}

TEST(FaultGuard, InnerGuardKeepsOuterStepRunning) {
  bool inner = true;
  EXPECT_TRUE(FaultGuard(&NestedFault, &inner));
  EXPECT_FALSE(inner);
  // The guard is spent: a later fault in a fresh guard is still caught.
  EXPECT_FALSE(FaultGuard(&ReadNull, nullptr));
}

// Callee-saved registers the compiler keeps live across the call must survive a fault.
TEST(FaultGuard, CallerStateSurvivesAFault) {
  volatile int before = 12345;
  long long sum = 0;
  for (int i = 0; i < 100; ++i) {
    sum += i;
    EXPECT_FALSE(FaultGuard(&ReadNull, nullptr));
  }
  EXPECT_EQ(sum, 4950);
  EXPECT_EQ(before, 12345);
}

TEST(SafeCopyMem, StopsAtAnUnreadablePageAndKeepsWhatWasCopied) {
  PageWithHole source;
  ASSERT_NE(source.base, nullptr);
  const uint32_t kBefore = 64;
  uint8_t* start = source.base + PageWithHole::kPage - kBefore;
  for (uint32_t i = 0; i < kBefore; ++i) start[i] = static_cast<uint8_t>(i + 1);

  uint8_t target[256];
  std::memset(target, 0xEE, sizeof target);
  EXPECT_FALSE(SafeCopyMem(target, start, sizeof target));
  for (uint32_t i = 0; i < kBefore; ++i) ASSERT_EQ(target[i], i + 1) << i;

  std::memset(target, 0, sizeof target);
  EXPECT_TRUE(SafeCopyMem(target, start, kBefore));
  EXPECT_EQ(target[kBefore - 1], kBefore);
  EXPECT_FALSE(SafeCopyMem(target, source.base + PageWithHole::kPage, 1));
}

TEST(SafeCopyMem, WriteToUnwritableMemoryFails) {
  PageWithHole target;
  ASSERT_NE(target.base, nullptr);
  const char text[] = "abc";
  EXPECT_TRUE(SafeCopyMem(target.base, text, sizeof text));
  EXPECT_FALSE(SafeCopyMem(target.base + PageWithHole::kPage, text, sizeof text));
}

} // namespace
