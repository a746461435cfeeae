#include "runtime/memory/manager.h"
#include "runtime/platform/thread.h"
#include "runtime/startup/runtime_state.h"
#include "tests/support/std_capture.h"
#include "winposix/win32.h"
#ifndef _WIN32
#include "tests/support/system_exports.h"
#include "winposix/testctl.h"
#include <sched.h>
#endif

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace {

void SetOptions(std::initializer_list<const char*> options) {
  RuntimeState.OptionCount = 0;
  for (const char* option : options)
    RuntimeState.OptionList[RuntimeState.OptionCount++] = const_cast<char*>(option);
  RuntimeState.OptionsReady = true;
}

uint32_t CurrentProcessor() {
#ifdef _WIN32
  return GetCurrentProcessorNumber();
#else
  return static_cast<uint32_t>(sched_getcpu());
#endif
}

// The top of the calling thread's stack as the system reports it.
uintptr_t StackTop() {
  FARPROC found = GetProcAddress(GetModuleHandleA("kernel32.dll"), "GetCurrentThreadStackLimits");
  ULONG_PTR low = 0, high = 0;
  if (found != nullptr)
    reinterpret_cast<void(WINAPI*)(ULONG_PTR*, ULONG_PTR*)>(reinterpret_cast<void (*)()>(found))(
        &low, &high);
  return high;
}

// Runs a function as its Execute.
class Job : public TThread {
public:
  explicit Job(std::function<uint32_t()> body, bool freeOnTerminate = false)
      : TThread(freeOnTerminate, 0), body_(std::move(body)) {}
  ~Job() override {
    if (destroyed_ != nullptr) *destroyed_ = true;
  }
  uint32_t Execute() override {
    if (handleMissing_ != nullptr && Data->Handle == nullptr) ++*handleMissing_;
    return body_();
  }
  std::atomic<bool>* destroyed_ = nullptr;
  std::atomic<int>* handleMissing_ = nullptr; // counts runs before the handle was stored

private:
  std::function<uint32_t()> body_;
};

class ThreadTest : public ::testing::Test {
protected:
  void SetUp() override {
    RuntimeState.ModuleBase = GetModuleHandleA(nullptr);
    SetOptions({});
    ThreadStatics = {};
    InitMem();
  }
  void TearDown() override {
    SetOptions({});
    RuntimeState.OptionsReady = false;
    OsVersion.Platform = 0;
    ThreadStatics = {};
    DoneMem();
    SetEnvironmentVariableA("_Heap_Mgr_", nullptr);
#ifndef _WIN32
    ResetLayer();
#endif
  }
};

// Checked from inside the thread, from its first instruction on; without the system's setter the
// thread still runs, unpinned.
TEST_F(ThreadTest, PinnedThreadRunsOnlyOnItsProcessor) {
  DWORD_PTR process = 0, system = 0;
  ASSERT_TRUE(GetProcessAffinityMask(GetCurrentProcess(), &process, &system));
  for (uint32_t cpu = 0; cpu < 32; ++cpu) {
    if (!(process & (DWORD_PTR{1} << cpu))) continue;
    std::atomic<uint32_t> first{~0u}, strays{0};
    Job job([&] {
      first = CurrentProcessor();
      const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(30);
      for (; std::chrono::steady_clock::now() < end; Sleep(0)) strays += CurrentProcessor() != cpu;
      return cpu + 100;
    });
    ASSERT_TRUE(job.SetAffinity(1u << cpu));
    ASSERT_TRUE(job.Start());
    ASSERT_TRUE(job.WaitFor());
    EXPECT_EQ(first.load(), cpu);
    EXPECT_EQ(strays.load(), 0u) << cpu;
    DWORD code = 0;
    EXPECT_TRUE(GetExitCodeThread(job.Data->Handle, &code));
    EXPECT_EQ(code, cpu + 100) << "Execute's result is the exit code";
  }
#ifndef _WIN32
  RemoveSystemExport("SetThreadAffinityMask");
  std::atomic<bool> ran{false};
  Job job([&] { return ran = true, 0u; });
  job.SetAffinity(1);
  EXPECT_TRUE(job.Start() && job.WaitFor() && ran);
#endif
}

TEST_F(ThreadTest, AffinityWaitAndStartWithoutAMask) {
  std::atomic<bool> ran{false};
  Job job([&] { return ran = true, 0u; });
  const std::pair<uint32_t, uint32_t> steps[] = {{0, 0}, {2, 2}, {0, 2}, {1, 1}}; // mask, kept
  for (auto [mask, kept] : steps) {
    EXPECT_EQ(job.SetAffinity(mask), mask != 0);
    EXPECT_EQ(job.Data->AffinityMask, kept);
  }
  job.Data->AffinityMask = 0;
  EXPECT_FALSE(job.WaitFor()) << "never started: no handle, no wait";
  ASSERT_TRUE(job.Start());
  EXPECT_TRUE(job.WaitFor());
  EXPECT_TRUE(ran && job.Data->Finished);
  EXPECT_NE(job.Data->ThreadId, 0u);
}

TEST_F(ThreadTest, DefaultStackSizeFromTheOption) {
  const std::pair<const char*, uint32_t> cases[] = {
      {"-~Other", 32768},           {"-~StackSize:4096", 32768},     {"-~StackSize:4097", 4097},
      {"-~StackSize:65536", 65536}, {"-~StackSize:0x20000", 131072}, {"-~StackSize:64k", 32768},
      {"-~StackSize", 32768}};
  for (auto [option, size] : cases) {
    SetOptions({option});
    ThreadStatics = {};
    EXPECT_EQ(DefaultStackSize(), size) << option;
    SetOptions({});
    EXPECT_EQ(DefaultStackSize(), size) << "kept for the process";
  }
}

// Thread k starts its work k x 128 bytes deeper; the 57th starts where the first did.
TEST_F(ThreadTest, StackStaggerRepeatsAfter56Threads) {
  for (bool off : {false, true}) {
    SetOptions({off ? "-~NoStagger" : "-~Other"});
    ThreadStatics = {};
    std::vector<intptr_t> depth;
    for (uint32_t k = 0; k <= kStaggerSteps; ++k) {
      Job job([&] {
        const auto frame = reinterpret_cast<uintptr_t>(__builtin_frame_address(0));
        depth.push_back(static_cast<intptr_t>(StackTop() - frame));
        return 0u;
      });
      ASSERT_TRUE(job.Start() && job.WaitFor());
    }
    for (uint32_t k = 0; k <= kStaggerSteps; ++k)
      EXPECT_EQ(depth[k] - depth[0], off ? 0 : intptr_t{k % kStaggerSteps * kStaggerStep}) << k + 1;
  }
}

// The object goes with its thread, its handle closed: the thread waits until the handle is stored.
TEST_F(ThreadTest, FreeOnTerminateDestroysItself) {
  MemStats before, after;
  GetMemStats(&before);
  std::atomic<int> handleMissing{0};
  for (int i = 0; i < 300; ++i) {
    std::atomic<bool> destroyed{false};
    auto* job = new Job([] { return 0u; }, true);
    job->destroyed_ = &destroyed;
    job->handleMissing_ = &handleMissing;
    job->SetAffinity(i % 2);
    ASSERT_TRUE(job->Start());
    while (!destroyed) std::this_thread::yield();
  }
  // The last thread may still be releasing its record after its destructor body ran.
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  do GetMemStats(&after);
  while (after.Counter[kMemBlocksInUse] != before.Counter[kMemBlocksInUse] &&
         std::chrono::steady_clock::now() < end);
  EXPECT_EQ(after.Counter[kMemBlocksInUse], before.Counter[kMemBlocksInUse]);
  EXPECT_EQ(handleMissing.load(), 0);
  Sleep(100); // the last thread leaves its routine before the pool goes
}

TEST_F(ThreadTest, RefusedStartsLeaveTheObjectInert) {
  enum Refusal { kWin32s, kCreate, kRecord };
  for (Refusal refusal : {kWin32s, kCreate, kRecord}) {
#ifdef _WIN32
    if (refusal != kWin32s) continue;
#else
    if (refusal == kCreate) winposix::FailNth(winposix::FailPoint::CreateThread, 1);
    if (refusal == kRecord) { // one reservation per block: the object first, then its record
      DoneMem();
      SetEnvironmentVariableA("_Heap_Mgr_", "1");
      InitMem();
      winposix::FailNth(winposix::FailPoint::VirtualAlloc, 1);
      EXPECT_EQ(new Job([] { return 0u; }), nullptr);
      winposix::FailNth(winposix::FailPoint::VirtualAlloc, 2);
    }
#endif
    OsVersion.Platform = refusal == kWin32s ? kPlatformWin32s : kPlatformNT;
    std::atomic<bool> ran{false};
    auto* job = new Job([&] { return ran = true, 0u; });
    ASSERT_NE(job, nullptr);
    EXPECT_EQ(job->SetAffinity(1), refusal != kRecord);
    EXPECT_FALSE(job->Start()) << refusal;
    EXPECT_TRUE(job->Data == nullptr || job->Data->Handle == nullptr);
    EXPECT_FALSE(job->WaitFor());
    delete job;
    EXPECT_FALSE(ran);
  }
}

TEST_F(ThreadTest, ThreadInfoLineOnDestruction) {
  struct Case {
    const char* option;
    std::vector<const char*> removed; // procedures the system lacks
    bool line;
  } cases[] = {{"-~Other", {}, false},
               {"-~ThreadInfo", {}, true},
               {"-~ThreadInfo", {"NtCurrentTeb"}, true}, // 64-bit Windows
               {"-~ThreadInfo", {"GetCurrentThreadStackLimits"}, true},
               {"-~ThreadInfo", {"NtCurrentTeb", "GetCurrentThreadStackLimits"}, false}};
  for (const Case& c : cases) {
#ifdef _WIN32
    if (!c.removed.empty()) continue;
#else
    RestoreSystemExports();
    for (const char* name : c.removed) RemoveSystemExport(name);
#endif
    SetOptions({c.option});
    auto* job = new Job([] { return 0u; });
    Capture error(STD_ERROR_HANDLE);
    delete job;
    std::string got;
    for (const std::string& w : error.Finish()) got += w;
    const std::string head = "ThreadId: " + std::to_string(GetCurrentThreadId()) + ", Stack: ";
    if (!c.line) {
      EXPECT_EQ(got, "");
      continue;
    }
    ASSERT_EQ(got.rfind(head, 0), 0u) << got;
    EXPECT_GT(std::stoul(got.substr(head.size())), 0u);
    EXPECT_EQ(got.substr(got.size() - 6), " KiB\r\n");
  }
}

} // namespace
