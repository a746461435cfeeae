// The memory manager's page and process-heap modes against malloc/free, side by side: single
// allocate-and-release pairs, and batches that hold 64 blocks before releasing them.
#include "runtime/memory/memory.h"
#include "winposix/win32.h"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <vector>

namespace {

constexpr int kBatch = 64;

struct Malloc {
  static void Start() {}
  static void* Alloc(uint32_t n) { return std::malloc(n); }
  static void Free(void* p) { std::free(p); }
};

template <const char* mode> struct Manager {
  static void Start() {
    DoneMem();
    SetEnvironmentVariableA("_Heap_Mgr_", mode);
    InitMem();
  }
  static void* Alloc(uint32_t n) { return AllocMem(n); }
  static void Free(void* p) { FreeMem(p); }
};

constexpr char kPage[] = "1";
constexpr char kHeap[] = "2";
using PageMode = Manager<kPage>;
using HeapMode = Manager<kHeap>;

template <class Allocator> void Pair(benchmark::State& state) {
  Allocator::Start();
  const auto size = static_cast<uint32_t>(state.range(0));
  for (auto _ : state) {
    void* p = Allocator::Alloc(size);
    benchmark::DoNotOptimize(p);
    Allocator::Free(p);
  }
  state.SetItemsProcessed(state.iterations());
}

template <class Allocator> void Batch(benchmark::State& state) {
  Allocator::Start();
  const auto size = static_cast<uint32_t>(state.range(0));
  std::vector<void*> blocks(kBatch);
  for (auto _ : state) {
    for (void*& p : blocks) p = Allocator::Alloc(size);
    benchmark::DoNotOptimize(blocks.data());
    for (void* p : blocks) Allocator::Free(p);
  }
  state.SetItemsProcessed(state.iterations() * kBatch);
}

void Sizes(benchmark::internal::Benchmark* b) {
  for (int size : {16, 256, 4096, 65536}) b->Arg(size);
}

BENCHMARK(Pair<PageMode>)->Apply(Sizes);
BENCHMARK(Pair<HeapMode>)->Apply(Sizes);
BENCHMARK(Pair<Malloc>)->Apply(Sizes);
BENCHMARK(Batch<PageMode>)->Apply(Sizes);
BENCHMARK(Batch<HeapMode>)->Apply(Sizes);
BENCHMARK(Batch<Malloc>)->Apply(Sizes);

} // namespace

BENCHMARK_MAIN();
