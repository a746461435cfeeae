#include "runtime/memory/memory.h"
#include "runtime/platform/lock.h"
#include "runtime/text/system_functions.h"
#include "runtime/platform/thread.h"
#include "winposix/win32.h"
#ifndef _WIN32
#include "tests/support/system_exports.h"
#include "winposix/testctl.h"
#endif

#include <gtest/gtest.h>

#include <vector>

namespace {

// Each thread adds to an unguarded total under the lock, entering it twice.
class Adder : public TThread {
public:
  Adder(TLock* lock, uint64_t* total) : TThread(false, 0), lock_(lock), total_(total) {}
  uint32_t Execute() override {
    for (int i = 0; i < 20000; ++i) {
      lock_->Enter();
      lock_->Enter();
      const uint64_t seen = *total_;
      lock_->Leave();
      *total_ = seen + 1;
      lock_->Leave();
    }
    return 0;
  }

private:
  TLock* lock_;
  uint64_t* total_;
};

TEST(Lock, RecursiveAndMutuallyExclusive) {
  InitMem();
  for (uint32_t spin : {0u, 4000u}) {
    TLock lock(0, spin);
    uint64_t total = 0;
    std::vector<Adder*> threads;
    for (int i = 0; i < 4; ++i) threads.push_back(new Adder(&lock, &total));
    for (Adder* t : threads) ASSERT_TRUE(t->Start());
    for (Adder* t : threads) ASSERT_TRUE(t->WaitFor());
    for (Adder* t : threads) delete t;
    EXPECT_EQ(total, 4u * 20000u);
  }
  DoneMem();
}

#ifndef _WIN32
// Looked up by the first lock that wants a spin count, and kept found or not.
TEST(Lock, SpinCountSetterLookedUpOnlyForASpinCount) {
  struct Step {
    bool reset, removed;
    uint32_t spin, applied;
  } steps[] = {{true, true, 0, 0},         // no lookup while the setter is missing...
               {false, false, 5000, 5000}, // ...so the first spin count finds it
               {false, true, 300, 300},    // and keeps it
               {true, true, 5000, 0}};     // a missing setter: no spin count
  for (const Step& s : steps) {
    // The layer alone changes: what the runtime found stays until it forgets.
    winposix::RestoreExports();
    if (s.removed) winposix::RemoveExport("SetCriticalSectionSpinCount");
    if (s.reset) ForgetSystemFunctions();
    TLock lock(7, s.spin);
    EXPECT_EQ(lock.Tag, 7);
    EXPECT_EQ(lock.AppliedSpinCount(), s.applied) << s.spin;
  }
  ResetLayer();
}

TEST(Lock, WithoutItsBlockTheLockDoesNothing) {
  SetEnvironmentVariableA("_Heap_Mgr_", "1"); // one reservation per block
  InitMem();
  winposix::FailNth(winposix::FailPoint::VirtualAlloc, 1);
  EXPECT_EQ(new TLock(0, 0), nullptr);
  winposix::FailNth(winposix::FailPoint::VirtualAlloc, 2);
  auto* lock = new TLock(0, 0);
  ASSERT_NE(lock, nullptr);
  EXPECT_FALSE(lock->Usable());
  lock->Enter();
  lock->Leave();
  delete lock;
  DoneMem();
  SetEnvironmentVariableA("_Heap_Mgr_", nullptr);
}
#endif

} // namespace
