// A fresh pool for every test, reached through its own operations, with the diagnostic switches
// off, the cache switch unsettled and no runtime options.
#pragma once

#include "runtime/memory/pool.h"
#include "runtime/startup/runtime_state.h"
#include "winposix/win32.h"
#ifndef _WIN32
#include "winposix/testctl.h"
#endif

#include <gtest/gtest.h>

#include <array>

namespace pooltest {

using Counters = std::array<uint32_t, kMemCounterCount>;

inline void ClearRuntimeSwitches() {
  RuntimeState.OptionCount = 0;
  RuntimeState.OptionsReady = RuntimeState.ReportAlways = RuntimeState.LeakReport = false;
  PoolCacheState = {};
}

class PoolTest : public ::testing::Test {
protected:
  void SetUp() override {
    RuntimeState.ModuleBase = GetModuleHandleA(nullptr); // trace lines go to standard error
    ClearRuntimeSwitches();
    ASSERT_NE(pool = PoolCreate(), nullptr);
  }
  void TearDown() override {
    if (pool != nullptr) PoolDone(pool);
    ClearRuntimeSwitches();
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
