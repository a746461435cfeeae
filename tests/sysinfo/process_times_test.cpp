#include "runtime/text/system_functions.h"
#include "runtime/sysinfo/process_times.h"
#include "winposix/win32.h"
#ifndef _WIN32
#include "tests/support/system_exports.h"
#include "winposix/testctl.h"
#endif

#include <gtest/gtest.h>

#include <chrono>

namespace {

TEST(FileTimeToMs, BothPathsGiveTheTruncatedQuotient) {
  const uint64_t counts[] = {0,
                             9999,
                             10000,
                             0xFFFFFFFFull,
                             0xFFFFFFFFFull,  // high word 15: the shift path
                             0x1000000000ull, // high word 16: the division path
                             0x1000000000ull + 9999,
                             10000ull << 32, // 2^32 ms wraps to 0
                             (10000ull << 32) + 10000,
                             ~0ull};
  for (uint64_t count : counts)
    EXPECT_EQ(FileTimeToMs(U64Low(count), U64High(count)), static_cast<uint32_t>(count / 10000))
        << std::hex << count;
  EXPECT_EQ(FileTimeToMs(0xFFFFFFFF, 15), 6871947u);
  EXPECT_EQ(FileTimeToMs(0, 16), 6871947u);
}

TEST(U64, CarriesBorrowsAndComparisons) {
  uint64_t v = U64Make(0xFFFFFFFF, 7);
  U64AddInPlace(&v, 1);
  EXPECT_EQ(v, U64Make(0, 8));
  EXPECT_EQ(U64SetLow(&v, 5), U64Make(5, 8));
  EXPECT_EQ(U64AddU32(1, U64FromU32(0xFFFFFFFF)), U64Make(0, 1));
  EXPECT_EQ(U64Sub(0, 1), ~0ull);
  EXPECT_EQ(U64Sub(U64Make(0, 1), 1), U64FromU32(0xFFFFFFFF));
  EXPECT_EQ(U64Div(12345, 0), 0u);
  EXPECT_FALSE(U64Less(5, 5));
  EXPECT_TRUE(U64LessEqual(5, 5));
  EXPECT_TRUE(U64Less(U64Make(0xFFFFFFFF, 0), U64Make(0, 1)));
}

TEST(U64, DivisionMatchesTheCompilers) {
  const uint64_t values[] = {0,
                             1,
                             9999,
                             10000,
                             U64Make(0, 10),
                             U64Make(0xFFFFFFFF, 15),
                             U64Make(0x12345678, 0x9ABCDEF0),
                             0x7FFFFFFFFFFFFFFFull,
                             0x8000000000000000ull,
                             0x8000000000000001ull,
                             0xFFFFFFFFFFFFFFFEull,
                             ~0ull};
  for (uint64_t a : values)
    for (uint64_t b : values) {
      if (b == 0) continue;
      EXPECT_EQ(U64Div(a, b), a / b) << std::hex << a << " / " << b;
    }
}

uint32_t CpuMs() {
  uint32_t kernel = 0;
  const uint32_t user = GetProcessCpuTimes(&kernel);
  return user + kernel;
}

// Spins until the process has used ms more processor time; false when that takes 20 s.
bool Burn(uint32_t ms) {
  const uint32_t start = CpuMs();
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  volatile uint32_t sink = 0;
  while (CpuMs() - start < ms)
    if (std::chrono::steady_clock::now() > deadline)
      return false;
    else
      for (int i = 0; i < 100000; ++i) sink = sink + i;
  return true;
}

TEST(GetProcessCpuTimes, AgreesWithTheSystemAndGrows) {
  FILETIME creation, exit, kernel, user;
  ASSERT_TRUE(GetProcessTimes(GetCurrentProcess(), &creation, &exit, &kernel, &user));
  const uint64_t userBefore = U64Make(user.dwLowDateTime, user.dwHighDateTime) / 10000;
  uint32_t kernelMs = 0xDEAD;
  const uint32_t userMs = GetProcessCpuTimes(&kernelMs);
  ASSERT_TRUE(GetProcessTimes(GetCurrentProcess(), &creation, &exit, &kernel, &user));
  EXPECT_GE(userMs, userBefore);
  EXPECT_LE(userMs, U64Make(user.dwLowDateTime, user.dwHighDateTime) / 10000);
  EXPECT_LE(kernelMs, U64Make(kernel.dwLowDateTime, kernel.dwHighDateTime) / 10000);
  EXPECT_TRUE(Burn(150));
  EXPECT_GE(GetProcessCpuTimes(nullptr), userMs);
}

#ifndef _WIN32
TEST(GetProcessCpuTimes, WithoutTheFunctionBothAreZeroAndItIsNotSoughtAgain) {
  ForgetSystemFunctions();
  ASSERT_TRUE(Burn(30)); // so that a found function could not answer 0
  RemoveSystemExport("GetProcessTimes");
  uint32_t kernel = 77;
  EXPECT_EQ(GetProcessCpuTimes(&kernel), 0u);
  EXPECT_EQ(kernel, 0u);
  winposix::RestoreExports(); // the miss is kept
  EXPECT_EQ(GetProcessCpuTimes(nullptr), 0u);
  ForgetSystemFunctions();
  EXPECT_GT(CpuMs(), 0u);
}
#endif

} // namespace
