// The allocators the memory benchmarks compare, and their two workloads: allocate-and-release
// pairs, and batches that hold 64 blocks before releasing them. With two threads the manager
// runs under its locks, as it does once the first thread object exists.
#pragma once

#include "runtime/memory/memory.h"
#include "winposix/win32.h"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <vector>

namespace bench {

constexpr int kBatch = 64;

struct Malloc {
  static void Start(bool) {}
  static void* Alloc(uint32_t n) { return std::malloc(n); }
  static void Free(void* p) { std::free(p); }
};

template <const char* mode> struct Manager {
  static void Start(bool locked) {
    DoneMem();
    SetEnvironmentVariableA("_Heap_Mgr_", mode);
    InitMem();
    if (locked) EnableMemLocks();
  }
  static void* Alloc(uint32_t n) { return AllocMem(n); }
  static void Free(void* p) { FreeMem(p); }
};

// The first thread sets the manager up before any thread enters the timed loop.
template <class Allocator> void Setup(benchmark::State& state) {
  if (state.thread_index() == 0) Allocator::Start(state.threads() > 1);
}

template <class Allocator> void Pair(benchmark::State& state) {
  Setup<Allocator>(state);
  const auto size = static_cast<uint32_t>(state.range(0));
  for (auto _ : state) {
    void* p = Allocator::Alloc(size);
    benchmark::DoNotOptimize(p);
    Allocator::Free(p);
  }
  state.SetItemsProcessed(state.iterations());
}

template <class Allocator> void Batch(benchmark::State& state) {
  Setup<Allocator>(state);
  const auto size = static_cast<uint32_t>(state.range(0));
  std::vector<void*> blocks(kBatch);
  for (auto _ : state) {
    for (void*& p : blocks) p = Allocator::Alloc(size);
    benchmark::DoNotOptimize(blocks.data());
    for (void* p : blocks) Allocator::Free(p);
  }
  state.SetItemsProcessed(state.iterations() * kBatch);
}

// The memory modes, chosen through _Heap_Mgr_.
inline constexpr char kPool[] = "0";
inline constexpr char kPage[] = "1";
inline constexpr char kHeap[] = "2";
using PoolMode = Manager<kPool>;
using PageMode = Manager<kPage>;
using HeapMode = Manager<kHeap>;

} // namespace bench
