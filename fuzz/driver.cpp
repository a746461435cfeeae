// A small stand-in for libFuzzer's main, for compilers without it: replays the seed corpus, then
// runs random mutations of it for a bounded time. Coverage is not measured; the sanitizers and
// the targets' own checks find the faults. On a sanitizer's report the input that caused it is
// written to fuzz-crash-<target>.bin in the current directory.
//
//   target [--seconds=N] [--seed=N] path...     (files, or folders of files)
#include <sanitizer/common_interface_defs.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

using Input = std::vector<uint8_t>;

constexpr size_t kMaxInput = 4096;
const Input* current = nullptr;
std::string crashFile;

void SaveCurrentInput() {
  if (current == nullptr) return;
  if (FILE* f = std::fopen(crashFile.c_str(), "wb")) {
    std::fwrite(current->data(), 1, current->size(), f);
    std::fclose(f);
    std::fprintf(stderr, "fuzz: input written to %s\n", crashFile.c_str());
  }
}

void Run(const Input& input) {
  current = &input;
  LLVMFuzzerTestOneInput(input.data(), input.size());
  current = nullptr;
}

void Load(const std::filesystem::path& path, std::vector<Input>* seeds) {
  if (std::filesystem::is_directory(path)) {
    for (const auto& entry : std::filesystem::directory_iterator(path))
      if (entry.is_regular_file()) Load(entry.path(), seeds);
    return;
  }
  std::ifstream file(path, std::ios::binary);
  seeds->emplace_back(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

// Bytes that mean something to the runtime's parsers.
const uint8_t kSpecial[] = {' ', '\t', '"', '-', '~',  ':', '0',  '9', 'x',
                            'd', 'h',  'm', 's', '\n', 0,   0xFF, 0x80};

Input Mutate(Input input, const std::vector<Input>& seeds, std::mt19937& random) {
  const int steps = 1 + static_cast<int>(random() % 4);
  for (int i = 0; i < steps; ++i) {
    const size_t at = input.empty() ? 0 : random() % (input.size() + 1);
    switch (random() % 6) {
    case 0: // flip bits
      if (at < input.size()) input[at] ^= static_cast<uint8_t>(1u << (random() % 8));
      break;
    case 1: // a meaningful byte
      input.insert(input.begin() + static_cast<long>(at), kSpecial[random() % sizeof kSpecial]);
      break;
    case 2: // any byte
      input.insert(input.begin() + static_cast<long>(at), static_cast<uint8_t>(random()));
      break;
    case 3: { // drop a run
      const size_t n = std::min<size_t>(input.size() - std::min(at, input.size()), random() % 8);
      input.erase(input.begin() + static_cast<long>(at), input.begin() + static_cast<long>(at + n));
      break;
    }
    case 4: { // repeat a run
      if (at >= input.size()) break;
      const size_t n = std::min<size_t>(input.size() - at, 1 + random() % 16);
      const Input run(input.begin() + static_cast<long>(at),
                      input.begin() + static_cast<long>(at + n));
      for (unsigned k = random() % 64; k > 0; --k)
        input.insert(input.end(), run.begin(), run.end());
      break;
    }
    default: { // splice in part of another seed
      const Input& other = seeds[random() % seeds.size()];
      if (other.empty()) break;
      const size_t from = random() % other.size();
      const size_t n = std::min<size_t>(other.size() - from, 1 + random() % 32);
      input.insert(input.begin() + static_cast<long>(at), other.begin() + static_cast<long>(from),
                   other.begin() + static_cast<long>(from + n));
      break;
    }
    }
  }
  if (input.size() > kMaxInput) input.resize(kMaxInput);
  return input;
}

} // namespace

// A target's own check stops with a trap or an abort: let the sanitizer report those too, so the
// death callback saves the input.
extern "C" const char* __asan_default_options() {
  return "handle_abort=1:handle_sigill=1";
}

int main(int argc, char** argv) {
  double seconds = 2;
  unsigned seed = 1;
  std::vector<Input> seeds;
  for (int i = 1; i < argc; ++i) {
    if (std::strncmp(argv[i], "--seconds=", 10) == 0)
      seconds = std::atof(argv[i] + 10);
    else if (std::strncmp(argv[i], "--seed=", 7) == 0)
      seed = static_cast<unsigned>(std::strtoul(argv[i] + 7, nullptr, 10));
    else
      Load(argv[i], &seeds);
  }
  crashFile = "fuzz-crash-" + std::filesystem::path(argv[0]).filename().string() + ".bin";
  __sanitizer_set_death_callback(SaveCurrentInput);
  if (seeds.empty()) seeds.emplace_back();
  for (const Input& input : seeds) Run(input);

  std::mt19937 random(seed);
  std::vector<Input> pool = seeds;
  const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  unsigned long runs = 0;
  while (std::chrono::steady_clock::now() < end) {
    for (int batch = 0; batch < 64; ++batch, ++runs) {
      Input input = Mutate(pool[random() % pool.size()], seeds, random);
      Run(input);
      // Mutations of mutations reach deeper; the pool stays small.
      if (random() % 16 == 0) {
        if (pool.size() < 256)
          pool.push_back(std::move(input));
        else
          pool[random() % pool.size()] = std::move(input);
      }
    }
  }
  std::printf("fuzz: %zu seeds, %lu mutated inputs in %.1f s, no fault\n", seeds.size(), runs,
              seconds);
  return 0;
}
