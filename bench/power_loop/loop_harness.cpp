// Cycles per pass of the power loop at each 16-byte offset within its 64-byte line.
//
// The loop never exits, so it is measured as a chain: copies of its 112-byte body in executable
// memory, each ending in its own taken short jump to the next copy, at a stride that keeps every
// copy at the same offset in its line; a counter runs only after the last copy. Each pass is
// the product's bytes but for the jump's displacement. The bytes come from StressKernel as this
// build links it, so the harness measures what the assembler produced, not a retyped table.
//
// This machine's time-stamp counter does not tick at the core clock and there are no cycle
// counters, so each sample is timed with clock_gettime between two calibrations that time a
// chain of dependent one-cycle additions; a sample whose calibrations differ by more than 0.5%
// is dropped. Variants run round-robin so that a neighbour on the same core hits them alike.
#include "app/stress_kernel.h"

#include <sched.h>
#include <sys/mman.h>
#include <time.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

extern "C" {
void LoopRun(const void* chain, const void* block, uint64_t rounds);
void AddChain(uint64_t n);
void ImulChain(uint64_t n);
void AddpsEight(uint64_t n);
}

namespace {

constexpr int kLoopBytes = 114;
constexpr int kBodyBytes = 112;                  // the loop without its jump back
constexpr int kGroupBytes = 28;                  // one of the four identical groups
constexpr int kFillerBytes = 7;                  // the lea the entry's jump passes over
constexpr double kPassInstructions = 65;         // 4 × 16 and the jump
constexpr double kLimit = kPassInstructions / 8; // cycles per pass at 8 instructions a cycle
constexpr uint64_t kCalibration = 2000;          // × 100 additions: about 60 µs
constexpr double kCalibrationSpread = 0.005;

struct Options {
  double seconds = 10;
  int copies = 32;        // the counter's two instructions and jump come once in 32 passes
  int stride = 192;       // three lines: like the real loop, no copy shares a line with another
  uint64_t rounds = 1024; // about 80 µs a sample: short, so that most miss a neighbour's burst
};

double NowNs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC_RAW, &ts);
  return double(ts.tv_sec) * 1e9 + double(ts.tv_nsec);
}

// Core cycles per nanosecond.
double CoreClock() {
  double start = NowNs();
  AddChain(kCalibration);
  return double(kCalibration) * 100 / (NowNs() - start);
}

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "bench_power_loop: %s\n", what);
  std::exit(1);
}

// StressKernel's entry ends in a short jump over the lea filler; the loop follows the filler.
const uint8_t* FindLoop() {
  const auto* entry = reinterpret_cast<const uint8_t*>(reinterpret_cast<uintptr_t>(&StressKernel));
  for (int i = 0; i < 64; ++i) {
    if (entry[i] == 0xEB && entry[i + 1] == kFillerBytes && entry[i + 2] == 0x8D)
      return entry + i + 2 + kFillerBytes;
  }
  Fail("no jump over the filler in StressKernel's entry");
}

void CheckLoop(const uint8_t* loop) {
  if (loop[kBodyBytes] != 0xEB || loop[kBodyBytes + 1] != 0x8E)
    Fail("the loop does not end in EB 8E, a jump back over 114 bytes");
  for (int group = 1; group < 4; ++group) {
    if (std::memcmp(loop, loop + group * kGroupBytes, kGroupBytes) != 0)
      Fail("the loop is not four identical 28-byte groups");
  }
}

class Chain {
public:
  Chain(const uint8_t* loop, int offset, const Options& options) {
    size_ = (size_t(options.copies + 1) * size_t(options.stride) + 4095) & ~size_t(4095);
    void* memory = mmap(nullptr, size_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (memory == MAP_FAILED) Fail("mmap failed");
    auto* code = static_cast<uint8_t*>(memory);
    std::memset(code, 0xCC, size_);
    start_ = code + offset;
    uint8_t* at = start_;
    for (int i = 0; i < options.copies; ++i, at += options.stride) {
      std::memcpy(at, loop, kBodyBytes);
      at[kBodyBytes] = 0xEB;
      at[kBodyBytes + 1] = uint8_t(options.stride - kLoopBytes);
      if (std::memcmp(at, loop, kBodyBytes) != 0 || (uintptr_t(at) & 63) != uintptr_t(offset))
        Fail("a copy of the loop is not byte-exact at its offset");
    }
    // dec %rcx; jnz back to the first copy; ret
    const uint8_t tail[] = {0x48, 0xFF, 0xC9, 0x0F, 0x85, 0, 0, 0, 0, 0xC3};
    std::memcpy(at, tail, sizeof tail);
    int32_t back = int32_t(start_ - (at + 9));
    std::memcpy(at + 5, &back, sizeof back);
    if (mprotect(memory, size_, PROT_READ | PROT_EXEC) != 0) Fail("mprotect failed");
    memory_ = memory;
  }
  ~Chain() { munmap(memory_, size_); }
  Chain(const Chain&) = delete;
  Chain& operator=(const Chain&) = delete;

  const void* start() const { return start_; }

private:
  void* memory_ = nullptr;
  size_t size_ = 0;
  uint8_t* start_ = nullptr;
};

struct Variant {
  std::string name;
  int offset;   // within the 64-byte line; -1 for the method's self-checks
  double units; // passes, multiplications or addps groups per sample
  const Chain* chain;
  void (*check)(uint64_t);
  uint64_t count;
  std::vector<double> cycles; // per unit, one per kept sample
  int taken = 0;
};

double Percentile(std::vector<double> values, double p) {
  if (values.empty()) return NAN;
  std::sort(values.begin(), values.end());
  return values[size_t(p * double(values.size() - 1) + 0.5)];
}

void Run(Variant& v, const uint32_t* block, uint64_t rounds) {
  if (v.chain)
    LoopRun(v.chain->start(), block, rounds);
  else
    v.check(v.count);
}

Options Parse(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto value = [&](const char* name) {
      if (i + 1 >= argc) Fail((std::string(name) + " needs a value").c_str());
      return std::strtod(argv[++i], nullptr);
    };
    if (a == "--long")
      o.seconds = 120;
    else if (a == "--seconds")
      o.seconds = value("--seconds");
    else if (a == "--copies")
      o.copies = int(value("--copies"));
    else if (a == "--stride")
      o.stride = int(value("--stride"));
    else if (a == "--rounds")
      o.rounds = uint64_t(value("--rounds"));
    else {
      std::printf("usage: %s [--seconds S (10)] [--long (120 s)] [--copies N (32)] "
                  "[--stride B (192)] [--rounds R (1024)]\n",
                  argv[0]);
      std::exit(a == "--help" ? 0 : 2);
    }
  }
  if (o.rounds < 1 || o.copies < 1 || o.copies > 256 || o.stride % 64 || o.stride < 128 ||
      o.stride - kLoopBytes > 127)
    Fail("rounds must be at least 1, copies 1..256 and the stride 128 or 192 bytes");
  return o;
}

} // namespace

int main(int argc, char** argv) {
  Options options = Parse(argc, argv);

  // One processor for the whole run: a migration would split a sample between two clocks.
  cpu_set_t cpus;
  CPU_ZERO(&cpus);
  int cpu = sched_getcpu();
  CPU_SET(cpu, &cpus);
  if (sched_setaffinity(0, sizeof cpus, &cpus) != 0) Fail("cannot pin the thread");

  alignas(16) static uint32_t block[8];
  for (int i = 0; i < 4; ++i) block[i] = 0xAAAAAAAAu;
  for (int i = 4; i < 8; ++i) block[i] = 0x55555555u;

  const uint8_t* loop = FindLoop();
  CheckLoop(loop);
  int shipped = int(uintptr_t(loop) & 63);
  std::printf(
      "power loop: %d bytes at StressKernel+%d, offset %d in its 64-byte line as built\n",
      kLoopBytes,
      int(loop - reinterpret_cast<const uint8_t*>(reinterpret_cast<uintptr_t>(&StressKernel))),
      shipped);

  std::vector<Chain*> chains;
  std::vector<Variant> variants;
  double passes = double(options.rounds) * options.copies;
  for (int offset : {0, 16, 32, 48, shipped}) {
    chains.push_back(new Chain(loop, offset, options));
    std::string name = "+" + std::to_string(offset) + (variants.size() == 4 ? " (built)" : "");
    variants.push_back({name, offset, passes, chains.back(), nullptr, 0, {}});
  }
  variants.push_back({"imul latency", -1, 50000, nullptr, ImulChain, 500, {}});
  variants.push_back({"8 x addps", -1, 25000, nullptr, AddpsEight, 1000, {}});

  for (Variant& v : variants) Run(v, block, options.rounds); // warm caches and predictors

  std::vector<double> clocks;
  double end = NowNs() + options.seconds * 1e9;
  size_t round = 0;
  while (NowNs() < end) {
    for (size_t k = 0; k < variants.size(); ++k) {
      Variant& v = variants[(round + k) % variants.size()];
      double before = CoreClock();
      double start = NowNs();
      Run(v, block, options.rounds);
      double ns = NowNs() - start;
      double after = CoreClock();
      ++v.taken;
      if (std::fabs(before - after) > kCalibrationSpread * std::min(before, after)) continue;
      clocks.push_back((before + after) / 2);
      v.cycles.push_back(ns * (before + after) / 2 / v.units);
    }
    ++round;
  }

  std::printf("chain: %d copies at a %d-byte stride, %llu rounds a sample; %zu rounds in %.0f s "
              "on cpu %d\n",
              options.copies, options.stride, static_cast<unsigned long long>(options.rounds),
              round, options.seconds, cpu);
  std::printf("core clock from dependent additions: median %.2f GHz, p10 %.2f GHz\n\n",
              Percentile(clocks, 0.5), Percentile(clocks, 0.1));

  std::printf("%-22s %8s %8s %7s %9s %8s\n", "self-check (cycles)", "p10", "median", "expect", "",
              "kept");
  bool sound = true;
  for (const Variant& v : variants) {
    if (v.offset >= 0) continue;
    double expect = v.check == ImulChain ? 3 : 4, median = Percentile(v.cycles, 0.5);
    sound = sound && std::fabs(median - expect) <= 0.02 * expect;
    std::printf("%-22s %8.2f %8.2f %7.0f %9s %4zu/%d\n", v.name.c_str(), Percentile(v.cycles, 0.1),
                median, expect, "", v.cycles.size(), v.taken);
  }
  // A busy sibling thread on the same core slows even the calibration's chain.
  if (!sound) std::printf("self-checks off by more than 2%%: the core was shared, rerun\n");
  std::printf("\n%-22s %8s %8s %7s %9s %8s\n", "loop offset in line", "p10", "median", "IPC",
              "of limit", "kept");
  for (const Variant& v : variants) {
    if (v.offset < 0) continue;
    double median = Percentile(v.cycles, 0.5);
    std::printf("%-22s %8.2f %8.2f %7.2f %8.1f%% %4zu/%d\n", v.name.c_str(),
                Percentile(v.cycles, 0.1), median, kPassInstructions / median,
                100 * kLimit / median, v.cycles.size(), v.taken);
  }
  std::printf("(cycles per pass; the limit is %.3f cycles: %g instructions at 8 a cycle)\n", kLimit,
              kPassInstructions);
  for (Chain* c : chains) delete c;
  return 0;
}
