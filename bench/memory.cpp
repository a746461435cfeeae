// Every memory mode against malloc/free for small blocks, on one thread and on two at once:
// single allocate-and-release pairs, and batches that hold 64 blocks before releasing them. With
// two threads the manager runs under its locks, as it does once the first thread object exists.
// The pool mode serves all four sizes from its cache of released small blocks (below 16 KiB,
// 128 slots per size class); page mode reserves pages for every block.
#include "bench/allocators.h"

namespace {

using namespace bench;

void Sizes(benchmark::internal::Benchmark* b) {
  for (int size : {16, 64, 256, 4096}) b->Arg(size);
  b->Threads(1)->Threads(2)->UseRealTime();
}

BENCHMARK(Pair<PoolMode>)->Apply(Sizes);
BENCHMARK(Pair<PageMode>)->Apply(Sizes);
BENCHMARK(Pair<HeapMode>)->Apply(Sizes);
BENCHMARK(Pair<Malloc>)->Apply(Sizes);
BENCHMARK(Batch<PoolMode>)->Apply(Sizes);
BENCHMARK(Batch<PageMode>)->Apply(Sizes);
BENCHMARK(Batch<HeapMode>)->Apply(Sizes);
BENCHMARK(Batch<Malloc>)->Apply(Sizes);

} // namespace

BENCHMARK_MAIN();
