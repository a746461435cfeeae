// Process-wide calls the thread object and the stress driver rely on, held to what Windows does:
// the same checks run against Windows itself in the Windows build.
#include "winposix/win32.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <initializer_list>
#include <string>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

// Sleep(0) only hands over the rest of the time slice; any longer sleep lasts at least its time.
TEST(ProcessCalls, SleepWaitsItsTimeAndZeroReturnsPromptly) {
  struct Case {
    DWORD milliseconds;
    int calls;
    std::chrono::milliseconds atLeast, below; // for all calls together
  } cases[] = {
      {0, 200, std::chrono::milliseconds(0), std::chrono::milliseconds(2000)},
      {1, 3, std::chrono::milliseconds(3), std::chrono::milliseconds(5000)},
      {25, 1, std::chrono::milliseconds(25), std::chrono::milliseconds(5000)},
  };
  for (const Case& c : cases) {
    const Clock::time_point start = Clock::now();
    for (int i = 0; i < c.calls; ++i) Sleep(c.milliseconds);
    const auto took = Clock::now() - start;
    EXPECT_GE(took, c.atLeast) << c.milliseconds;
    EXPECT_LT(took, c.below) << c.milliseconds;
  }
}

// A thread that was running before the process got its mask runs under that mask too.
TEST(ProcessCalls, ProcessMaskReachesEveryThread) {
  const HANDLE process = GetCurrentProcess();
  DWORD_PTR original = 0, system = 0;
  ASSERT_TRUE(GetProcessAffinityMask(process, &original, &system));
  if ((original & (original - 1)) == 0) GTEST_SKIP() << "needs a process on two processors";
  const DWORD_PTR lowest = original & (~original + 1);
  DWORD_PTR highest = original;
  while ((highest & (highest - 1)) != 0) highest &= highest - 1;
  for (DWORD_PTR mask : {lowest, highest}) {
    std::atomic<bool> go{false};
    DWORD_PTR seen = 0;
    std::thread other([&] {
      while (!go.load()) std::this_thread::yield();
      seen = SetThreadAffinityMask(GetCurrentThread(), mask); // the mask it ran under
    });
    const BOOL set = SetProcessAffinityMask(process, mask);
    go = true;
    other.join();
    EXPECT_TRUE(set) << mask;
    EXPECT_EQ(seen, mask);
    ASSERT_TRUE(SetProcessAffinityMask(process, original));
  }
}

// Threads that end while the mask is handed out have nothing left to pin: Windows does not
// fail the call for them.
TEST(ProcessCalls, ProcessMaskIgnoresThreadsThatEndMeanwhile) {
  const HANDLE process = GetCurrentProcess();
  DWORD_PTR original = 0, system = 0;
  ASSERT_TRUE(GetProcessAffinityMask(process, &original, &system));
  std::atomic<bool> stop{false};
  std::thread churn([&] {
    while (!stop.load()) std::thread([] {}).join();
  });
  int failed = 0;
  for (int i = 0; i < 3000; ++i)
    if (!SetProcessAffinityMask(process, original)) ++failed;
  stop = true;
  churn.join();
  EXPECT_EQ(failed, 0);
}

// The line is built from the arguments the program was started with, its own name first.
TEST(ProcessCalls, CommandLineNamesTheProgram) {
  const char* line = GetCommandLineA();
  ASSERT_NE(line, nullptr);
  EXPECT_NE(std::string(line).find("thread_tests"), std::string::npos) << line;
}

} // namespace
