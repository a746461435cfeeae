// The thread class and the lock, on the layer and (in the Windows build) on Windows.
#include "runtime/memory/manager.h"
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
#include <chrono>
#include <functional>
#include <regex>
#include <thread>
#include <tuple>

namespace {

// Runs a function of the object as its Execute.
struct Job : TThread {
  explicit Job(std::function<uint32_t(TThread*)> run, bool freeOnTerminate = false)
      : TThread(freeOnTerminate, 0), body(std::move(run)) {}
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
    std::vector<Job*> threads;
    for (int i = 0; i < 4; ++i)
      threads.push_back(new Job([&](TThread*) {
        for (int n = 0; n < 20000; ++n) {
          lock.Enter();
          lock.Enter();
          const uint64_t seen = total;
          lock.Leave();
          total = seen + 1;
          lock.Leave();
        }
        return 0u;
      }));
    for (Job* t : threads) ASSERT_TRUE(t->Start());
    for (Job* t : threads) ASSERT_TRUE(t->WaitFor());
    for (Job* t : threads) delete t;
    EXPECT_EQ(total, 4u * 20000u);
  }
#ifndef _WIN32
  RemoveSystemExport("SetCriticalSectionSpinCount"); // Windows 95 has no spin counts
  EXPECT_EQ(TLock(0, 5000).AppliedSpinCount(), 0u);
#endif
}

// Checked from inside the thread, from its first instruction on; Execute's result is the exit
// code. Without the system's setter (the last round) the thread still runs, unpinned.
TEST_F(ThreadTest, PinnedThreadRunsOnlyOnItsProcessor) {
  DWORD_PTR process = 0, system = 0;
  ASSERT_TRUE(GetProcessAffinityMask(GetCurrentProcess(), &process, &system));
  for (uint32_t cpu = 0; cpu <= 32; ++cpu) {
    if (cpu < 32 && !(process & (DWORD_PTR{1} << cpu))) continue;
#ifndef _WIN32
    if (cpu == 32) RemoveSystemExport("SetThreadAffinityMask");
#endif
    std::atomic<uint32_t> strays{0};
    Job job([&](TThread*) {
      const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(30);
      for (; cpu < 32 && std::chrono::steady_clock::now() < end; Sleep(0))
        strays += GetCurrentProcessorNumber() != cpu;
      return cpu + 100;
    });
    EXPECT_FALSE(job.SetAffinity(0) || job.WaitFor()); // no mask; never started: nothing to wait
    ASSERT_TRUE(job.SetAffinity(1u << cpu % 32) && job.Start() && job.WaitFor());
    DWORD code = 0;
    EXPECT_TRUE(GetExitCodeThread(job.Data->Handle, &code) && job.Data->Finished);
    EXPECT_EQ(code, cpu + 100);
    EXPECT_EQ(strays, 0u) << cpu;
  }
}

TEST_F(ThreadTest, DefaultStackSizeFromTheOption) {
  const std::pair<const char*, uint32_t> cases[] = {
      {"-~Other", 32768},           {"-~StackSize:4096", 32768},     {"-~StackSize:4097", 4097},
      {"-~StackSize:65536", 65536}, {"-~StackSize:0x20000", 131072}, {"-~StackSize:64k", 32768},
      {"-~StackSize", 32768}};
  for (auto [option, size] : cases) {
    SetOption(option);
    EXPECT_EQ(DefaultStackSize(), size) << option;
    RuntimeState.OptionCount = 0;
    EXPECT_EQ(DefaultStackSize(), size) << "kept for the process";
  }
}

// Thread k starts its work k x 128 bytes deeper; the 57th starts where the first did.
TEST_F(ThreadTest, StackStaggerRepeatsAfter56Threads) {
  for (auto [option, step] :
       {std::pair<const char*, uint32_t>{"-~Other", kStaggerStep}, {"-~NoStagger", 0}}) {
    SetOption(option);
    std::vector<intptr_t> depth;
    for (uint32_t k = 0; k <= kStaggerSteps; ++k) {
      Job job([&](TThread*) {
        ULONG_PTR low = 0, top = 0;
        GetCurrentThreadStackLimits(&low, &top);
        depth.push_back(static_cast<intptr_t>(top) -
                        reinterpret_cast<intptr_t>(__builtin_frame_address(0)));
        return 0u;
      });
      ASSERT_TRUE(job.Start() && job.WaitFor());
    }
    for (uint32_t k = 0; k <= kStaggerSteps; ++k)
      EXPECT_EQ(depth[k] - depth[0], intptr_t{k % kStaggerSteps * step}) << option << k;
  }
}

// The object goes with its thread, its handle closed: the thread waits until the handle is stored.
TEST_F(ThreadTest, FreeOnTerminateDestroysItself) {
  MemStats before, after;
  GetMemStats(&before);
  std::atomic<int> stored{0};
  for (int i = 0; i < 300; ++i) {
    auto* job =
        new Job([&](TThread* self) { return stored += self->Data->Handle != nullptr, 0u; }, true);
    job->SetAffinity(i % 2);
    ASSERT_TRUE(job->Start());
  }
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  do GetMemStats(&after);
  while (after.Counter[kMemBlocksInUse] != before.Counter[kMemBlocksInUse] &&
         std::chrono::steady_clock::now() < end);
  EXPECT_EQ(after.Counter[kMemBlocksInUse], before.Counter[kMemBlocksInUse]);
  EXPECT_EQ(stored.load(), 300); // none ran before its handle was stored
  // The last threads must have left the pool's locks before the fixture tears it down.
#ifdef _WIN32
  Sleep(100);
#else
  for (int waited = 0; winposix::LiveThreads() != 0 && waited < 5000; ++waited) Sleep(1);
#endif
}

TEST_F(ThreadTest, RefusedStartsLeaveTheObjectInert) {
  for (int refusal = 0; refusal < 3; ++refusal) { // Win32s, CreateThread, the record
#ifdef _WIN32
    if (refusal != 0) continue;
#else
    if (refusal == 1) winposix::FailNth(winposix::FailPoint::CreateThread, 1);
    if (refusal == 2) { // one reservation per block: the object first, then its record
      DoneMem();
      SetEnvironmentVariableA("_Heap_Mgr_", "1");
      InitMem();
      winposix::FailNth(winposix::FailPoint::VirtualAlloc, 2);
    }
#endif
    OsVersion.Platform = refusal == 0 ? kPlatformWin32s : kPlatformNT;
    std::atomic<bool> ran{false};
    auto* job = new Job([&](TThread*) { return ran = true, 0u; });
    ASSERT_NE(job, nullptr);
    EXPECT_EQ(job->SetAffinity(1), refusal != 2);
    EXPECT_FALSE(job->Start() || job->WaitFor()) << refusal;
    EXPECT_TRUE(job->Data == nullptr || job->Data->Handle == nullptr);
    delete job;
    EXPECT_FALSE(ran);
  }
}

TEST_F(ThreadTest, ThreadInfoLineOnDestruction) {
  // The option, the procedures the system lacks, whether the line comes.
  const std::tuple<const char*, std::vector<const char*>, bool> cases[] = {
      {"-~Other", {}, false},
      {"-~ThreadInfo", {}, true},
      {"-~ThreadInfo", {"NtCurrentTeb"}, true}, // 64-bit Windows
      {"-~ThreadInfo", {"GetCurrentThreadStackLimits"}, true},
      {"-~ThreadInfo", {"NtCurrentTeb", "GetCurrentThreadStackLimits"}, false}}; // Windows 95
  for (const auto& [option, removed, line] : cases) {
#ifdef _WIN32
    if (!removed.empty()) continue;
#else
    RestoreSystemExports();
    for (const char* name : removed) RemoveSystemExport(name);
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

// The layer as Windows: a thread that ran before the process got its mask runs under it too,
// and threads that end meanwhile do not make the call fail.
TEST(ProcessMask, ReachesEveryThread) {
  const HANDLE process = GetCurrentProcess();
  DWORD_PTR original = 0, system = 0;
  ASSERT_TRUE(GetProcessAffinityMask(process, &original, &system));
  for (DWORD_PTR mask : {original & (~original + 1), original}) {
    std::atomic<bool> stop{false};
    DWORD_PTR seen = 0;
    std::thread other([&] {
      while (!stop.load()) std::thread([] {}).join();
      seen = SetThreadAffinityMask(GetCurrentThread(), mask); // the mask it ran under
    });
    int failed = 0;
    for (int i = 0; i < 1000; ++i) failed += !SetProcessAffinityMask(process, mask);
    stop = true;
    other.join();
    EXPECT_EQ(failed, 0);
    EXPECT_EQ(seen, mask);
  }
}

} // namespace
