// The runtime's formatter against snprintf on the formats the program uses most. Each pair runs
// the same expansion into the same buffer; snprintf's "%X" stands for the runtime's "%x" and
// "%'u" has no portable equivalent, so "%$u" is compared with plain "%u".
#include "runtime/text/format.h"

#include <benchmark/benchmark.h>

#include <cstdio>

namespace {

char buffer[256];

void Runtime_LabelAndCount(benchmark::State& state) {
  for (auto _ : state) {
    benchmark::DoNotOptimize(
        FormatString(buffer, sizeof buffer, "%s: %u\n", "Allocations", 123456u));
    benchmark::ClobberMemory();
  }
}
void Snprintf_LabelAndCount(benchmark::State& state) {
  for (auto _ : state) {
    benchmark::DoNotOptimize(
        std::snprintf(buffer, sizeof buffer, "%s: %u\r\n", "Allocations", 123456u));
    benchmark::ClobberMemory();
  }
}

void Runtime_ZeroPaddedHex(benchmark::State& state) {
  for (auto _ : state) {
    benchmark::DoNotOptimize(FormatString(buffer, sizeof buffer, "%08X", 0xBEEFu));
    benchmark::ClobberMemory();
  }
}
void Snprintf_ZeroPaddedHex(benchmark::State& state) {
  for (auto _ : state) {
    benchmark::DoNotOptimize(std::snprintf(buffer, sizeof buffer, "%08X", 0xBEEFu));
    benchmark::ClobberMemory();
  }
}

void Runtime_GroupedNumber(benchmark::State& state) {
  for (auto _ : state) {
    benchmark::DoNotOptimize(FormatString(buffer, sizeof buffer, "%$u", 4000000000u));
    benchmark::ClobberMemory();
  }
}
void Snprintf_PlainNumber(benchmark::State& state) {
  for (auto _ : state) {
    benchmark::DoNotOptimize(std::snprintf(buffer, sizeof buffer, "%u", 4000000000u));
    benchmark::ClobberMemory();
  }
}

void Runtime_Columns(benchmark::State& state) {
  for (auto _ : state) {
    benchmark::DoNotOptimize(
        FormatString(buffer, sizeof buffer, "%-20s|%5d", "IA32_PhysCPUCount", -42));
    benchmark::ClobberMemory();
  }
}
void Snprintf_Columns(benchmark::State& state) {
  for (auto _ : state) {
    benchmark::DoNotOptimize(
        std::snprintf(buffer, sizeof buffer, "%-20s|%5d", "IA32_PhysCPUCount", -42));
    benchmark::ClobberMemory();
  }
}

void Runtime_Pointer(benchmark::State& state) {
  for (auto _ : state) {
    benchmark::DoNotOptimize(FormatString(buffer, sizeof buffer, "at %p", 0x12AB34u));
    benchmark::ClobberMemory();
  }
}
void Snprintf_Pointer(benchmark::State& state) {
  for (auto _ : state) {
    benchmark::DoNotOptimize(std::snprintf(buffer, sizeof buffer, "at 0x%08X", 0x12AB34u));
    benchmark::ClobberMemory();
  }
}

// The prompt: text only, with the line end the runtime widens to CR LF.
void Runtime_PlainLine(benchmark::State& state) {
  for (auto _ : state) {
    benchmark::DoNotOptimize(
        FormatString(buffer, sizeof buffer, "Press ^C to stop CPU stress test...\n"));
    benchmark::ClobberMemory();
  }
}
// The format is hidden from the compiler, which would otherwise turn the call into a copy.
void Snprintf_PlainLine(benchmark::State& state) {
  const char* format = "Press ^C to stop CPU stress test...\r\n";
  for (auto _ : state) {
    benchmark::DoNotOptimize(format);
    benchmark::DoNotOptimize(std::snprintf(buffer, sizeof buffer, format));
    benchmark::ClobberMemory();
  }
}

} // namespace

BENCHMARK(Runtime_LabelAndCount);
BENCHMARK(Snprintf_LabelAndCount);
BENCHMARK(Runtime_ZeroPaddedHex);
BENCHMARK(Snprintf_ZeroPaddedHex);
BENCHMARK(Runtime_GroupedNumber);
BENCHMARK(Snprintf_PlainNumber);
BENCHMARK(Runtime_Columns);
BENCHMARK(Snprintf_Columns);
BENCHMARK(Runtime_Pointer);
BENCHMARK(Snprintf_Pointer);
BENCHMARK(Runtime_PlainLine);
BENCHMARK(Snprintf_PlainLine);

BENCHMARK_MAIN();
