#include "runtime/text/system_functions.h"
#include "runtime/sysinfo/process_times.h"
#include "winposix/win32.h"
#ifndef _WIN32
#include "tests/support/system_exports.h"
#endif

#include <gtest/gtest.h>

#include <chrono>

namespace {

// FileTimeToMs shifts below a high word of 16 and divides from there; U64Div must agree with
// the compiler's division everywhere, the top bit of either operand included.
TEST(ProcessTimes, DivisionsMatchTheCompilers) {
  // clang-format off
  const uint64_t values[] = {0, 1, 9999, 10000, 0xFFFFFFFF, 0xFFFFFFFFF, 0x1000000000,
                             0x100000270F, 10000ull << 32, (10000ull << 32) + 10000,
                             0x9ABCDEF012345678, 0x7FFFFFFFFFFFFFFF, 0x8000000000000000,
                             0x8000000000000001, ~0ull - 1, ~0ull};
  // clang-format on
  for (uint64_t a : values) {
    EXPECT_EQ(FileTimeToMs(U64Low(a), U64High(a)), static_cast<uint32_t>(a / 10000))
        << std::hex << a;
    for (uint64_t b : values)
      EXPECT_EQ(U64Div(a, b), b == 0 ? 0 : a / b) << std::hex << a << " / " << b;
  }
}

TEST(ProcessTimes, U64CarriesBorrowsAndComparisons) {
  uint64_t v = U64Make(0xFFFFFFFF, 7);
  U64AddInPlace(&v, 1);
  EXPECT_EQ(v, U64Make(0, 8));
  EXPECT_EQ(U64SetLow(&v, 5), U64Make(5, 8));
  EXPECT_EQ(U64AddU32(1, U64FromU32(0xFFFFFFFF)), U64Make(0, 1));
  EXPECT_EQ(U64Sub(0, 1), ~0ull);
  EXPECT_EQ(U64Sub(U64Make(0, 1), 1), U64FromU32(0xFFFFFFFF));
  EXPECT_FALSE(U64Less(5, 5));
  EXPECT_TRUE(U64LessEqual(5, 5));
  EXPECT_TRUE(U64Less(U64Make(0xFFFFFFFF, 0), U64Make(0, 1)));
}

TEST(GetProcessCpuTimes, AgreesWithTheSystem) {
  FILETIME creation, exit, kernel, user;
  ASSERT_TRUE(GetProcessTimes(GetCurrentProcess(), &creation, &exit, &kernel, &user));
  const uint64_t userBefore = U64Make(user.dwLowDateTime, user.dwHighDateTime) / 10000;
  uint32_t kernelMs = 0xDEAD;
  const uint32_t userMs = GetProcessCpuTimes(&kernelMs);
  ASSERT_TRUE(GetProcessTimes(GetCurrentProcess(), &creation, &exit, &kernel, &user));
  EXPECT_GE(userMs, userBefore);
  EXPECT_LE(userMs, U64Make(user.dwLowDateTime, user.dwHighDateTime) / 10000);
  EXPECT_LE(kernelMs, U64Make(kernel.dwLowDateTime, kernel.dwHighDateTime) / 10000);
}

#ifndef _WIN32
// Windows 95 has no GetProcessTimes.
TEST(GetProcessCpuTimes, WithoutTheFunctionBothAreZero) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (GetProcessCpuTimes(nullptr) < 30 && std::chrono::steady_clock::now() < deadline) {
  }
  ASSERT_GE(GetProcessCpuTimes(nullptr), 30u); // so that a found function could not answer 0
  RemoveSystemExport("GetProcessTimes");
  uint32_t kernel = 77;
  EXPECT_EQ(GetProcessCpuTimes(&kernel), 0u);
  EXPECT_EQ(kernel, 0u);
  RestoreSystemExports();
}
#endif

} // namespace
