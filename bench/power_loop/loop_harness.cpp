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
//
// The limit is measured, not assumed: the same chain built from a reference body of the loop's
// length in bytes and instructions made only of no-ops, which no execution port, dependence or
// load bounds, so only the core's width does. Its best median over the four offsets is the limit.
#include "app/stress_kernel.h"

#include <sched.h>
#include <sys/mman.h>
#include <time.h>

#include <cpuid.h>

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
constexpr int kBodyBytes = 112;          // the loop without its jump back
constexpr int kGroupBytes = 28;          // one of the four identical groups
constexpr int kFillerBytes = 7;          // the lea the entry's jump passes over
constexpr double kPassInstructions = 65; // 4 × 16 and the jump
constexpr uint64_t kCalibration = 2000;  // × 100 additions: about 60 µs
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

// The reference body: 16 one-byte and 48 two-byte no-ops, 64 instructions in 112 bytes, as the
// loop has, mixed as evenly as the counts allow.
std::vector<uint8_t> ReferenceBody() {
  std::vector<uint8_t> body;
  for (int i = 0; i < 64; ++i) {
    if (i % 4 != 0) body.push_back(0x66); // 66 90: the two-byte no-op
    body.push_back(0x90);
  }
  if (body.size() != kBodyBytes) Fail("the reference body is not 112 bytes");
  return body;
}

// "AuthenticAMD family 26 model 2: AMD EPYC" from CPUID, as the family and model are displayed.
std::string CoreName() {
  unsigned a = 0, b = 0, c = 0, d = 0;
  char vendor[13] = {};
  __get_cpuid(0, &a, &b, &c, &d);
  std::memcpy(vendor, &b, 4);
  std::memcpy(vendor + 4, &d, 4);
  std::memcpy(vendor + 8, &c, 4);
  __get_cpuid(1, &a, &b, &c, &d);
  unsigned family = (a >> 8) & 0xF, model = (a >> 4) & 0xF;
  if (family == 15) family += (a >> 20) & 0xFF;
  if (family == 6 || family >= 15) model |= ((a >> 16) & 0xF) << 4;
  char brand[49] = {};
  for (unsigned leaf = 0; leaf < 3 && __get_cpuid(0x80000002 + leaf, &a, &b, &c, &d); ++leaf) {
    const unsigned r[4] = {a, b, c, d};
    std::memcpy(brand + 16 * leaf, r, 16);
  }
  std::string name = brand;
  name.erase(0, name.find_first_not_of(' '));
  return std::string(vendor) + " family " + std::to_string(family) + " model " +
         std::to_string(model) + ": " + name;
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
  Chain(const uint8_t* body, int offset, const Options& options) {
    size_ = (size_t(options.copies + 1) * size_t(options.stride) + 4095) & ~size_t(4095);
    void* memory = mmap(nullptr, size_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (memory == MAP_FAILED) Fail("mmap failed");
    auto* code = static_cast<uint8_t*>(memory);
    std::memset(code, 0xCC, size_);
    start_ = code + offset;
    uint8_t* at = start_;
    for (int i = 0; i < options.copies; ++i, at += options.stride) {
      std::memcpy(at, body, kBodyBytes);
      at[kBodyBytes] = 0xEB;
      at[kBodyBytes + 1] = uint8_t(options.stride - kLoopBytes);
      if (std::memcmp(at, body, kBodyBytes) != 0 || (uintptr_t(at) & 63) != uintptr_t(offset))
        Fail("a copy of the body is not byte-exact at its offset");
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
  int offset;     // within the 64-byte line; -1 for the method's self-checks
  bool reference; // the no-op body that measures the limit
  double units;   // passes, multiplications or addps groups per sample
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
    variants.push_back({name, offset, false, passes, chains.back(), nullptr, 0, {}});
  }
  const std::vector<uint8_t> reference = ReferenceBody();
  for (int offset : {0, 16, 32, 48}) {
    chains.push_back(new Chain(reference.data(), offset, options));
    variants.push_back(
        {"no-ops +" + std::to_string(offset), offset, true, passes, chains.back(), nullptr, 0, {}});
  }
  variants.push_back({"imul latency", -1, false, 50000, nullptr, ImulChain, 500, {}});
  variants.push_back({"8 x addps", -1, false, 25000, nullptr, AddpsEight, 1000, {}});

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
  std::printf("core: %s\n", CoreName().c_str());
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
  double limit = INFINITY;
  for (const Variant& v : variants)
    if (v.reference) limit = std::min(limit, Percentile(v.cycles, 0.5));
  std::printf("\n%-22s %8s %8s %7s %9s %8s\n", "loop offset in line", "p10", "median", "IPC",
              "of limit", "kept");
  for (const Variant& v : variants) {
    if (v.offset < 0) continue;
    double median = Percentile(v.cycles, 0.5);
    std::printf("%-22s %8.2f %8.2f %7.2f %8.1f%% %4zu/%d\n", v.name.c_str(),
                Percentile(v.cycles, 0.1), median, kPassInstructions / median, 100 * limit / median,
                v.cycles.size(), v.taken);
  }
  std::printf("(cycles per pass; the limit is the best no-op median, %.3f cycles: %.2f of the "
              "%g instructions a cycle)\n",
              limit, kPassInstructions / limit, kPassInstructions);
  for (Chain* c : chains) delete c;
  return 0;
}
