// Thread objects allocate, fill, check and release blocks through the memory manager for a
// bounded time, handing some to each other; the counters must come back to zero.
#include "pool_fixture.h"

#include "runtime/memory/memory.h"
#include "runtime/platform/thread.h"

#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <random>
#include <vector>

namespace {

// A block's first word is its length, the rest a pattern that depends on it.
char* Make(uint32_t n) {
  auto* p = static_cast<char*>(AllocMem(n));
  if (p == nullptr) return nullptr;
  std::memcpy(p, &n, sizeof n);
  for (uint32_t i = sizeof n; i < n; ++i) p[i] = static_cast<char>(n * 31 + i);
  return p;
}

bool Intact(const char* p) {
  uint32_t n;
  std::memcpy(&n, p, sizeof n);
  for (uint32_t i = sizeof n; i < n; ++i)
    if (p[i] != static_cast<char>(n * 31 + i)) return false;
  return true;
}

struct Shared {
  std::mutex lock;
  std::vector<char*> handed; // made by one thread, released by another
  std::atomic<uint32_t> damaged{0}, refused{0};
  std::chrono::steady_clock::time_point end;

  void Release(char* p) {
    damaged += !Intact(p);
    FreeMem(p);
  }
};

class Worker : public TThread {
public:
  Worker(Shared* shared, uint32_t seed) : TThread(false, 0), shared_(shared), rng_(seed) {}

  uint32_t Execute() override {
    std::vector<char*> mine;
    while (std::chrono::steady_clock::now() < shared_->end) {
      char* p = Make(rng_() % 10 == 0 ? 16384 + rng_() % 100000 : 4 + rng_() % 2000);
      if (p == nullptr) {
        ++shared_->refused;
        continue;
      }
      mine.push_back(p);
      if (mine.size() > 64 || rng_() % 3 == 0) {
        std::swap(mine[rng_() % mine.size()], mine.back());
        char* q = mine.back();
        mine.pop_back();
        const bool hand = rng_() % 2 == 0;
        {
          std::lock_guard<std::mutex> hold(shared_->lock);
          if (hand) {
            shared_->handed.push_back(q);
            q = nullptr;
          } else if (!shared_->handed.empty()) {
            std::swap(q, shared_->handed.back()); // releases another thread's block instead
          }
        }
        if (q != nullptr) shared_->Release(q);
      }
    }
    for (char* p : mine) shared_->Release(p);
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
  shared.end = std::chrono::steady_clock::now() + std::chrono::milliseconds(1500);
  std::vector<Worker*> workers;
  for (uint32_t i = 0; i < 4; ++i) workers.push_back(new Worker(&shared, i + 1));
  ASSERT_TRUE(static_cast<PoolControl*>(MemState.Control)->Locking);
  for (Worker* w : workers) ASSERT_TRUE(w->Start());
  for (Worker* w : workers) EXPECT_TRUE(w->WaitFor());
  for (Worker* w : workers) delete w;
  for (char* p : shared.handed) shared.Release(p);
  EXPECT_EQ(shared.damaged.load(), 0u);
  EXPECT_EQ(shared.refused.load(), 0u);
  MemStats stats;
  GetMemStats(&stats);
  EXPECT_EQ(stats.Counter[kMemBlocksInUse], 0u);
  EXPECT_EQ(stats.Counter[kMemBytesInUse], 0u);
  EXPECT_GT(stats.Counter[kMemAllocations], 1000u);
  DoneMem();
}

} // namespace
