// Every system call the mapped file path makes, failed in turn (that call only, and that call and
// every later one) until a run no longer reaches it. The program itself never maps a file, so
// its own failure sweep cannot reach these calls: here a mapped writer and reader cross several
// views. Whatever fails, nothing crashes, nothing is leaked, a run that reports success has the
// right bytes, and a read that reports success hands over the file's own bytes.
#include "tests/file/file_fixture.h"

#ifndef _WIN32

namespace {

using namespace filetest;

class MappedFailureSweep : public FileTest {};

constexpr uint32_t kFileSize = 300000; // crosses four 64 KiB writable views
constexpr uint32_t kChunk = 70000;     // never a view boundary

uint32_t BlocksInUse() {
  MemStats stats;
  GetMemStats(&stats);
  return stats.Counter[kMemBlocksInUse];
}

// Writes the pattern in chunks; true when every step reported success.
bool WriteAll(const std::string& path, const std::string& bytes) {
  TDiskFile file(path.c_str(), 0);
  if (!file.Create(kModeWrite)) return false;
  bool ok = true;
  for (uint32_t at = 0; at < bytes.size(); at += kChunk) {
    const uint32_t count = std::min<uint32_t>(kChunk, bytes.size() - at);
    uint32_t written = 0;
    ok = file.Write(bytes.data() + at, count, &written) && written == count && ok;
  }
  return file.Close() && ok;
}

// Reads in chunks from the start; every successful read must match the file where it stands.
void ReadChecked(const std::string& path, const std::string& bytes) {
  TDiskFile file(path.c_str(), 0);
  if (!file.Open(kModeRead | kModeShareRead)) return;
  std::string buffer(kChunk, 0);
  for (uint32_t at = 0; at < bytes.size();) {
    uint32_t got = 0;
    if (!file.Read(buffer.data(), kChunk, &got)) break;
    ASSERT_LE(got, bytes.size() - at);
    ASSERT_TRUE(buffer.compare(0, got, bytes, at, got) == 0) << "read at " << at;
    if (got == 0) break;
    at += got;
  }
  file.Close();
}

TEST_F(MappedFailureSweep, EveryCallFailsInTurn) {
  InitMem();
  const std::string written = Pattern(kFileSize, 3), existing = Pattern(kFileSize, 4);
  Spill(dir_ / "in", existing);
  const winposix::FailPoint points[] = {
      winposix::FailPoint::CreateFileA, winposix::FailPoint::CreateFileMappingA,
      winposix::FailPoint::MapViewOfFile, winposix::FailPoint::VirtualAlloc,
      winposix::FailPoint::HeapAlloc};
  unsigned sites = 0;
  for (winposix::FailPoint point : points) {
    for (bool persistent : {false, true}) {
      for (unsigned n = 1;; ++n) {
        SCOPED_TRACE("point " + std::to_string(static_cast<int>(point)) + " call " +
                     std::to_string(n) + (persistent ? " on" : " only"));
        const uint32_t blocks = BlocksInUse();
        winposix::ClearFailures();
        winposix::FailNth(point, n, persistent);
        const bool allWritten = WriteAll(Path("out"), written);
        ReadChecked(Path("in"), existing);
        const bool reached = winposix::CallCount(point) >= n;
        winposix::ClearFailures();
        if (allWritten) {
          EXPECT_TRUE(Slurp(dir_ / "out") == written);
        }
        EXPECT_EQ(BlocksInUse(), blocks);
        if (!reached) break;
        ++sites;
        ASSERT_LT(n, 1000u) << "the sweep does not end";
      }
    }
  }
  // The mapping calls themselves must have been reached, or the sweep proves nothing.
  EXPECT_GE(sites, 8u);
}

} // namespace

#endif
