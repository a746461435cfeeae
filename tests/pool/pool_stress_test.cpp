// Thread objects allocate, fill, check and release blocks through the memory manager, handing some
// to each other; nothing may be damaged and the counters must come back to zero.
#include "pool_fixture.h"

#include "runtime/platform/thread.h"

#include <atomic>
#include <cstring>
#include <mutex>
#include <random>
#include <vector>

namespace {

constexpr int kRounds = 5000;

// A block holds its length, then that length's low byte over and over.
uint8_t* Make(uint32_t n) {
  auto* p = static_cast<uint8_t*>(AllocMem(n));
  if (p == nullptr) return nullptr;
  std::memset(p, static_cast<int>(n & 0xFF), n);
  std::memcpy(p, &n, sizeof n);
  return p;
}

struct Shared {
  std::mutex lock;
  std::vector<uint8_t*> handed; // made by one thread, released by another
  std::atomic<uint32_t> damaged{0}, refused{0};

  void Release(uint8_t* p) {
    uint32_t n;
    std::memcpy(&n, p, sizeof n);
    for (uint32_t i = sizeof n; i < n; ++i) damaged += p[i] != static_cast<uint8_t>(n);
    FreeMem(p);
  }
};

class Worker : public TThread {
public:
  Worker(Shared* shared, uint32_t seed) : TThread(false, 0), shared_(shared), rng_(seed) {}

  uint32_t Execute() override {
    for (int round = 0; round < kRounds; ++round) {
      uint8_t* p = Make(rng_() % 10 == 0 ? 16384 + rng_() % 100000 : 4 + rng_() % 2000);
      if (p == nullptr) {
        ++shared_->refused;
        continue;
      }
      { // swapped for a block some thread handed over, often another's
        std::lock_guard<std::mutex> hold(shared_->lock);
        shared_->handed.push_back(p);
        std::swap(shared_->handed[rng_() % shared_->handed.size()], shared_->handed.back());
        if (shared_->handed.size() < 64) continue;
        p = shared_->handed.back();
        shared_->handed.pop_back();
      }
      shared_->Release(p);
    }
    return 0;
  }

private:
  Shared* shared_;
  std::mt19937 rng_;
};

TEST(PoolStress, ThreadsShareThePoolUnderItsLocks) {
  MemConfig = {};
  SetEnvironmentVariableA("_Heap_Mgr_", nullptr);
  InitMem();
  Shared shared;
  std::vector<Worker*> workers;
  for (uint32_t i = 0; i < 4; ++i) workers.push_back(new Worker(&shared, i + 1));
  ASSERT_TRUE(static_cast<PoolControl*>(MemState.Control)->Locking);
  MemStats stats;
  GetMemStats(&stats);
  const uint32_t made = stats.Counter[kMemAllocations];
  for (Worker* w : workers) ASSERT_TRUE(w->Start());
  for (Worker* w : workers) EXPECT_TRUE(w->WaitFor());
  for (Worker* w : workers) delete w;
  for (uint8_t* p : shared.handed) shared.Release(p);
  EXPECT_EQ(shared.damaged.load(), 0u);
  EXPECT_EQ(shared.refused.load(), 0u);
  GetMemStats(&stats);
  EXPECT_EQ(stats.Counter[kMemBlocksInUse], 0u);
  EXPECT_EQ(stats.Counter[kMemBytesInUse], 0u);
  EXPECT_EQ(stats.Counter[kMemAllocations] - made, 4u * kRounds);
  DoneMem();
}

} // namespace
