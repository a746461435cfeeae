// The thread class and the lock, on the layer and (in the Windows build) on Windows.
#include "runtime/platform/lock.h"
#include "runtime/platform/thread.h"
#include "runtime/startup/runtime_state.h"
#include "runtime/startup/startup.h"
#include "tests/support/std_capture.h"
#include "winposix/win32.h"
#ifndef _WIN32
#include "tests/support/system_exports.h"
#endif

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <regex>
#include <tuple>

namespace {

struct Job : TThread {
  Job(std::function<uint32_t(TThread*)> run, bool own = false) : TThread(own, 0), body(run) {}
  uint32_t Execute() override { return body(this); }
  std::function<uint32_t(TThread*)> body;
};

class ThreadTest : public ::testing::Test {
protected:
  void SetUp() override {
    RuntimeState.ModuleBase = GetModuleHandleA(nullptr);
    RuntimeState.OptionsReady = true;
    InitMem();
    ConnectSinks();
  }
  void TearDown() override {
    SetOption(nullptr);
    OsVersion.Platform = 0;
    DoneMem();
    SetEnvironmentVariableA("_Heap_Mgr_", nullptr);
#ifndef _WIN32
    ResetLayer();
#endif
  }
  // The option list holds this one option, and the thread class decides anew.
  static void SetOption(const char* option) {
    RuntimeState.OptionList[0] = const_cast<char*>(option);
    RuntimeState.OptionCount = option != nullptr;
    ThreadStatics = {};
  }
};

// Each thread adds to an unguarded total under the lock, entering it twice.
TEST_F(ThreadTest, LockIsRecursiveAndMutuallyExclusive) {
  for (uint32_t spin : {0u, 4000u}) {
    TLock lock(7, spin);
    EXPECT_EQ(lock.AppliedSpinCount(), spin);
    uint64_t total = 0;
    const auto add = [&](TThread*) {
      for (int n = 0; n < 20000; ++n, lock.Leave()) {
        lock.Enter();
        lock.Enter();
        const uint64_t seen = total;
        lock.Leave();
        total = seen + 1;
      }
      return 0u;
    };
    Job a(add), b(add), c(add), d(add);
    ASSERT_TRUE(a.Start() && b.Start() && c.Start() && d.Start() && a.WaitFor() && b.WaitFor() &&
                c.WaitFor() && d.WaitFor());
    EXPECT_EQ(total, 4u * 20000u);
  }
#ifndef _WIN32
  RemoveSystemExport("SetCriticalSectionSpinCount"); // Windows 95 has no spin counts
  EXPECT_EQ(TLock(0, 5000).AppliedSpinCount(), 0u);
#endif
}

// Read once for the process. Thread k starts k x 128 bytes deeper; the 57th where the first did.
TEST_F(ThreadTest, StackSizeAndStaggerFromTheOptions) {
  const std::pair<const char*, uint32_t> sizes[] = {
      {"-~Other", 32768},           {"-~StackSize:4096", 32768},     {"-~StackSize:4097", 4097},
      {"-~StackSize:65536", 65536}, {"-~StackSize:0x20000", 131072}, {"-~StackSize:64k", 32768},
      {"-~StackSize", 32768}};
  for (auto [option, size] : sizes) {
    SetOption(option);
    EXPECT_EQ(DefaultStackSize(), size) << option;
    RuntimeState.OptionCount = 0;
    EXPECT_EQ(DefaultStackSize(), size) << option;
  }
  for (auto [option, step] : {std::pair{"-~Other", kStaggerStep}, {"-~NoStagger", 0u}}) {
    SetOption(option);
    std::vector<intptr_t> depth;
    for (uint32_t k = 0; k <= kStaggerSteps; ++k) {
      Job job([&](TThread*) {
        ULONG_PTR low = 0, top = 0;
        GetCurrentThreadStackLimits(&low, &top);
        return depth.push_back(intptr_t(top) - intptr_t(__builtin_frame_address(0))), 0u;
      });
      ASSERT_TRUE(job.Start() && job.WaitFor());
      EXPECT_EQ(depth[k] - depth[0], intptr_t{k % kStaggerSteps * step}) << option << k;
    }
  }
}

// The object goes with its thread, its handle closed: the thread waits until the handle is stored.
TEST_F(ThreadTest, FreeOnTerminateDestroysItself) {
  MemStats before, after;
  GetMemStats(&before);
  std::atomic<int> stored{0};
  for (int i = 0; i < 300; ++i) {
    auto* job = new Job([&](TThread* t) { return stored += t->Data->Handle != nullptr, 0u; }, true);
    ASSERT_TRUE((i % 2 == 0 || job->SetAffinity(1)) && job->Start()); // half of them pinned
  }
  const DWORD end = GetTickCount() + 5000;
  do GetMemStats(&after);
  while (after.Counter[kMemBlocksInUse] != before.Counter[kMemBlocksInUse] && GetTickCount() < end);
  EXPECT_EQ(after.Counter[kMemBlocksInUse], before.Counter[kMemBlocksInUse]);
  EXPECT_EQ(stored.load(), 300); // none ran before its handle was stored
  // The last threads must have left the pool's locks before the fixture tears it down.
#ifdef _WIN32
  Sleep(100);
#else
  for (int waited = 0; winposix::LiveThreads() != 0 && waited < 5000; ++waited) Sleep(1);
#endif
}

// Execute's result is the exit code: the mask it ran under from its first instruction. Unpinned
// without the setter; never run on Win32s, without a system thread or without its record.
TEST_F(ThreadTest, StartRunsPinnedOrIsRefused) {
  DWORD_PTR process = 0, system = 0;
  ASSERT_TRUE(GetProcessAffinityMask(GetCurrentProcess(), &process, &system));
  const DWORD_PTR highest = DWORD_PTR{1} << (31 - __builtin_clz(static_cast<uint32_t>(process)));
  enum { kPinned, kNoSetter, kWin32s, kNoThread, kNoRecord };
  for (int round = kPinned; round <= kNoRecord; ++round) {
#ifdef _WIN32
    if (round == kNoSetter || round > kWin32s) continue;
#else
    if (round == kNoSetter) RemoveSystemExport("SetThreadAffinityMask");
    if (round == kNoThread) winposix::FailNth(winposix::FailPoint::CreateThread, 1);
    if (round == kNoRecord) { // one reservation per block: the object first, then its record
      DoneMem();
      SetEnvironmentVariableA("_Heap_Mgr_", "1");
      InitMem();
      winposix::FailNth(winposix::FailPoint::VirtualAlloc, 2);
    }
#endif
    const bool runs = round < kWin32s;
    OsVersion.Platform = round == kWin32s ? kPlatformWin32s : kPlatformNT;
    std::atomic<bool> ran{false};
    auto* job = new Job([&](TThread*) {
      return ran = true, static_cast<uint32_t>(SetThreadAffinityMask(GetCurrentThread(), process));
    });
    EXPECT_FALSE(job->SetAffinity(0) || job->WaitFor()); // no mask; never started: nothing to wait
    EXPECT_EQ(job->SetAffinity(uint32_t(highest)), round != kNoRecord);
    EXPECT_EQ(job->Start() && job->WaitFor(), runs) << round;
    DWORD code = 0;
    EXPECT_TRUE(!runs || (GetExitCodeThread(job->Data->Handle, &code) && job->Data->Finished));
    EXPECT_EQ(code, runs ? (round == kNoSetter ? DWORD(process) : highest) : 0);
    delete job;
    EXPECT_EQ(ran, runs);
  }
}

// The option, and a procedure the system lacks from that row on: NtCurrentTeb (as 64-bit Windows),
// then the stack limits too (as Windows 95); whether the line comes.
TEST_F(ThreadTest, ThreadInfoLineOnDestruction) {
  const std::tuple<const char*, const char*, bool> cases[] = {
      {"-~Other", nullptr, false},
      {"-~ThreadInfo", nullptr, true},
      {"-~ThreadInfo", "NtCurrentTeb", true},
      {"-~ThreadInfo", "GetCurrentThreadStackLimits", false}};
  for (const auto& [option, removed, line] : cases) {
#ifdef _WIN32
    if (removed != nullptr) continue;
#else
    if (removed != nullptr) RemoveSystemExport(removed);
#endif
    SetOption(option);
    auto* job = new Job([](TThread*) { return 0u; });
    Capture error(STD_ERROR_HANDLE);
    delete job;
    std::string got;
    for (const std::string& w : error.Finish()) got += w;
    const std::string wanted =
        "ThreadId: " + std::to_string(GetCurrentThreadId()) + ", Stack: [1-9][0-9]* KiB\r\n";
    EXPECT_TRUE(std::regex_match(got, std::regex(line ? wanted : ""))) << got;
  }
}

} // namespace
