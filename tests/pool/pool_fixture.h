// A fresh pool for every test, reached through its own operations, with every switch off and its
// reports recorded.
#pragma once

#include "runtime/memory/pool.h"
#include "winposix/win32.h"
#ifndef _WIN32
#include "winposix/testctl.h"
#endif

#include <gtest/gtest.h>

#include <array>
#include <string>

namespace pooltest {

using Counters = std::array<uint32_t, kMemCounterCount>;

// Report lines and beeps go to a record the test reads.
struct Reports {
  static inline std::string lines;
  static inline size_t beeps = 0;
  static void Line(const char* text) { lines += std::string(text) + "\n"; }
  static void Beep() { ++beeps; }
};

inline void ClearSwitches() {
  MemConfig = {false, false, false, Reports::Line, Reports::Beep};
  Reports::lines.clear();
  Reports::beeps = 0;
}

class PoolTest : public ::testing::Test {
protected:
  void SetUp() override {
    ClearSwitches();
    ASSERT_NE(pool = PoolCreate(), nullptr);
  }
  void TearDown() override {
    if (pool != nullptr) PoolDone(pool);
    MemConfig = {};
#ifndef _WIN32
    winposix::ResetAll();
#endif
  }
  void Renew() {
    PoolDone(pool);
    pool = PoolCreate();
  }

  Counters Raw() const {
    return std::to_array(pool->Stats.Counter);
  }
  Counters Snapshot() const {
    MemStats stats;
    PoolSnapshot(pool, &stats);
    return std::to_array(stats.Counter);
  }
  static uint32_t BlockOf(const void* p) {
    return ReadBlockSize(static_cast<const char*>(p) - kBlockHeader);
  }
  uint32_t RegionCount() const {
    uint32_t n = 0;
    for (PoolRegion* r = pool->Regions; r != nullptr; r = r->Next) ++n;
    return n;
  }

  PoolControl* pool = nullptr;
};

} // namespace pooltest
