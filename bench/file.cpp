// Reading and writing one large file through TDiskFile, mapped and plain, against read(2) and
// write(2) with the same buffer sizes. The file is 256 MiB unless CALVISTO_BENCH_FILE_MIB says
// otherwise; each write starts a new file, each read reads the whole file once. The copy pairs
// show what a mapped read costs besides the mapping: the runtime's CopyMem against memcpy and
// against a string-move copy, which needs no SSE either, on 1 MiB already in memory.
#include "runtime/platform/disk_file.h"
#include "runtime/platform/file_plain.h"
#include "runtime/text/memory_ops.h"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <fcntl.h>
#include <sys/mman.h>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

uint64_t FileBytes() {
  const char* mib = std::getenv("CALVISTO_BENCH_FILE_MIB");
  const long n = mib != nullptr ? std::atol(mib) : 256;
  return static_cast<uint64_t>(n > 0 ? n : 256) << 20;
}

const std::string& FilePath() {
  static const std::string path = "/tmp/calvisto_bench_file_" + std::to_string(getpid());
  return path;
}

struct Posix {
  static bool Write(uint32_t, std::vector<char>& buffer, uint64_t total) {
    const int fd = open(FilePath().c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    for (uint64_t done = 0; done < total; done += buffer.size())
      if (write(fd, buffer.data(), buffer.size()) != static_cast<ssize_t>(buffer.size())) break;
    return close(fd) == 0;
  }
  static uint64_t Read(uint32_t, std::vector<char>& buffer) {
    const int fd = open(FilePath().c_str(), O_RDONLY);
    uint64_t total = 0;
    for (ssize_t n; (n = read(fd, buffer.data(), buffer.size())) > 0;) total += n;
    close(fd);
    return total;
  }
};

// The floor for any mapped read: the C library's own copy out of 8 MiB views of the file, the
// window TDiskFile uses for read-only files.
struct PosixMapped {
  static uint64_t Read(uint32_t, std::vector<char>& buffer) {
    constexpr uint64_t kWindow = 8 << 20;
    const int fd = open(FilePath().c_str(), O_RDONLY);
    const auto size = static_cast<uint64_t>(lseek(fd, 0, SEEK_END));
    uint64_t total = 0;
    for (uint64_t at = 0; at < size; at += kWindow) {
      const uint64_t view = std::min(kWindow, size - at);
      void* p = mmap(nullptr, view, PROT_READ, MAP_SHARED, fd, static_cast<off_t>(at));
      if (p == MAP_FAILED) break;
      for (uint64_t done = 0; done < view; done += buffer.size()) {
        const uint64_t n = std::min<uint64_t>(buffer.size(), view - done);
        std::memcpy(buffer.data(), static_cast<char*>(p) + done, n);
        total += n;
      }
      munmap(p, view);
    }
    close(fd);
    return total;
  }
};

struct DiskFile {
  static bool Write(uint32_t options, std::vector<char>& buffer, uint64_t total) {
    TDiskFile file(FilePath().c_str(), options);
    if (!file.Create(kModeWrite)) return false;
    const auto n = static_cast<uint32_t>(buffer.size());
    for (uint64_t done = 0; done < total; done += n)
      if (!file.Write(buffer.data(), n, nullptr)) break;
    return file.Close();
  }
  static uint64_t Read(uint32_t options, std::vector<char>& buffer) {
    TDiskFile file(FilePath().c_str(), options);
    if (!file.Open(kModeRead)) return 0;
    uint64_t total = 0;
    uint32_t got = 0;
    while (file.Read(buffer.data(), static_cast<uint32_t>(buffer.size()), &got) && got > 0)
      total += got;
    return total;
  }
};

template <class Way, uint32_t kOptions> void WriteAll(benchmark::State& state) {
  std::vector<char> buffer(static_cast<size_t>(state.range(0)), 'x');
  const uint64_t total = FileBytes();
  for (auto _ : state)
    if (!Way::Write(kOptions, buffer, total)) state.SkipWithError("write failed");
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * total));
  unlink(FilePath().c_str());
}

template <class Way, uint32_t kOptions> void ReadAll(benchmark::State& state) {
  std::vector<char> buffer(static_cast<size_t>(state.range(0)));
  const uint64_t total = FileBytes();
  Posix::Write(0, buffer, total);
  for (auto _ : state)
    if (Way::Read(kOptions, buffer) != total) state.SkipWithError("short read");
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * total));
  unlink(FilePath().c_str());
}

void Buffers(benchmark::internal::Benchmark* b) {
  b->Arg(4096)->Arg(65536)->Arg(1 << 20)->Unit(benchmark::kMillisecond)->UseRealTime();
}

struct RuntimeCopy {
  static void Copy(char* d, const char* s, uint32_t n) { CopyMem(d, s, n); }
};
struct LibraryCopy {
  static void Copy(char* d, const char* s, uint32_t n) { std::memcpy(d, s, n); }
};
struct StringMoveCopy {
  static void Copy(char* d, const char* s, uint32_t n) {
    size_t words = n / 4, rest = n % 4;
    asm volatile("rep movsl" : "+D"(d), "+S"(s), "+c"(words) : : "memory");
    asm volatile("rep movsb" : "+D"(d), "+S"(s), "+c"(rest) : : "memory");
  }
};

template <class Way> void CopyBlock(benchmark::State& state) {
  const auto n = static_cast<uint32_t>(state.range(0));
  std::vector<char> from(n, 'x'), to(n);
  for (auto _ : state) {
    Way::Copy(to.data(), from.data(), n);
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * n));
}

BENCHMARK(CopyBlock<RuntimeCopy>)->Arg(1 << 20)->Name("Copy/CopyMem");
BENCHMARK(CopyBlock<LibraryCopy>)->Arg(1 << 20)->Name("Copy/memcpy");
BENCHMARK(CopyBlock<StringMoveCopy>)->Arg(1 << 20)->Name("Copy/rep movs");
BENCHMARK(WriteAll<Posix, 0>)->Apply(Buffers)->Name("Write/write(2)");
BENCHMARK(WriteAll<DiskFile, 0>)->Apply(Buffers)->Name("Write/TDiskFile mapped");
BENCHMARK(WriteAll<DiskFile, kFileNoMapping>)->Apply(Buffers)->Name("Write/TDiskFile plain");
BENCHMARK(ReadAll<Posix, 0>)->Apply(Buffers)->Name("Read/read(2)");
BENCHMARK(ReadAll<PosixMapped, 0>)->Apply(Buffers)->Name("Read/mmap(2)+memcpy");
BENCHMARK(ReadAll<DiskFile, 0>)->Apply(Buffers)->Name("Read/TDiskFile mapped");
BENCHMARK(ReadAll<DiskFile, kFileNoMapping>)->Apply(Buffers)->Name("Read/TDiskFile plain");

} // namespace

BENCHMARK_MAIN();
