// The pool against malloc/free and against the process-heap mode, side by side: allocate-and-
// release pairs and batches of 64 blocks, for sizes on either side of the cache limit (16 KiB),
// on one thread and on two at once. With two threads the manager runs under its locks, as it
// does once the first thread object exists. Small blocks of every mode: bench/memory.cpp.
#include "bench/allocators.h"

namespace {

using namespace bench;

using Pool = PoolMode;

// 1000 bytes stays in the cache; 20000 and 200000 go to the free lists.
void Sizes(benchmark::internal::Benchmark* b) {
  for (int size : {1000, 20000, 200000}) b->Arg(size);
  b->Threads(1)->Threads(2)->UseRealTime();
}

BENCHMARK(Pair<Pool>)->Apply(Sizes);
BENCHMARK(Pair<HeapMode>)->Apply(Sizes);
BENCHMARK(Pair<Malloc>)->Apply(Sizes);
BENCHMARK(Batch<Pool>)->Apply(Sizes);
BENCHMARK(Batch<HeapMode>)->Apply(Sizes);
BENCHMARK(Batch<Malloc>)->Apply(Sizes);

} // namespace

BENCHMARK_MAIN();
