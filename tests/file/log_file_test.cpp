// The copy files: appends, their lock under many threads, the copy options on the console
// writers and the trace, the I/O statistics and the slow-read pause.
#include "runtime/diag/copy_files.h"
#include "runtime/startup/exit_callbacks.h"
#include "runtime/diag/log_file.h"
#include "runtime/diag/trace.h"
#include "runtime/platform/lock.h"
#include "runtime/diag/console.h"
#include "tests/file/file_fixture.h"

#include <atomic>
#include <optional>
#include <tuple>
#include <thread>

namespace {

using namespace filetest;

class LogFile : public FileTest {};

std::optional<std::string> Contents(const fs::path& path) {
  return fs::exists(path) ? std::optional(Slurp(path)) : std::nullopt;
}

TEST_F(LogFile, AppendsAndLineBreaks) {
  struct Case {
    std::optional<std::string> before;
    std::vector<std::pair<std::string, bool>> appends;
    std::optional<std::string> after; // none: the file is not there
  } cases[] = {
      {{}, {{"abc", true}}, "abc\r\n"},
      {{}, {{"abc\r\n", false}}, "abc\r\n"},
      {{}, {{"one", true}, {"two", false}}, "one\r\ntwo"},
      {"old\r\n", {{"new", true}}, "old\r\nnew\r\n"},
      {{}, {{"", true}, {"", false}}, {}},
      {"kept", {{"", true}}, "kept"},
      {{}, {{std::string(70000, 'L'), false}}, std::string(70000, 'L')}, // beyond 16-bit counts
  };
  for (const Case& c : cases) {
    const fs::path path = dir_ / "log";
    fs::remove(path);
    if (c.before) Spill(path, *c.before);
    for (const auto& [text, lineBreak] : c.appends)
      (lineBreak ? LogWriteLine : LogWriteText)(text.c_str(), path.string().c_str());
    EXPECT_EQ(Contents(path), c.after);
  }
  // Targets that cannot be written stay as they were (a read-only file where the system refuses
  // its writers: Wine run as root does not).
  fs::create_directories(dir_ / "folder");
  Spill(dir_ / "locked", "locked");
  SetFileAttributesA(Path("locked").c_str(), FILE_ATTRIBUTE_READONLY);
  HANDLE probe =
      CreateFileA(Path("locked").c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  const bool writable = probe != INVALID_HANDLE_VALUE && CloseHandle(probe);
  for (const char* target : {"folder", "nowhere/log", "locked"})
    LogWriteLine("x", Path(target).c_str());
  EXPECT_TRUE(fs::is_directory(dir_ / "folder") && !fs::exists(dir_ / "nowhere"));
  EXPECT_TRUE(writable || Slurp(dir_ / "locked") == "locked");
  SetFileAttributesA(Path("locked").c_str(), FILE_ATTRIBUTE_NORMAL);
}

#ifndef _WIN32
// An open refused for a moment (no memory for the link name, a failed CreateFileA) must not
// make the append replace the file: it keeps what it held, with or without the new line.
TEST_F(LogFile, RefusedOpenKeepsTheFile) {
  const fs::path path = dir_ / "log";
  for (auto point : {winposix::FailPoint::CreateFileA, winposix::FailPoint::VirtualAlloc}) {
    for (unsigned n = 1; n <= 8; ++n) {
      Spill(path, "kept\r\n");
      winposix::FailNth(point, n);
      LogWriteLine("new", path.string().c_str());
      winposix::ClearFailures();
      const std::string after = Slurp(path);
      EXPECT_TRUE(after == "kept\r\n" || after == "kept\r\nnew\r\n") << after << n;
    }
  }
  // Without a file of that name the append still creates it.
  fs::remove(path);
  winposix::FailNth(winposix::FailPoint::CreateFileA, 1);
  LogWriteLine("new", path.string().c_str());
  EXPECT_EQ(Slurp(path), "new\r\n");
}
#endif

// The end of a copy file beyond 4 GiB is found as such, not at its size modulo 4 GiB.
TEST_F(LogFile, AppendsBeyondFourGigabytes) {
  const uint64_t size = (uint64_t{1} << 32) + 10;
  std::ofstream(dir_ / "big", std::ios::binary).seekp(static_cast<std::streamoff>(size - 4))
      << "tail";
  LogWriteLine("more", Path("big").c_str());
  ASSERT_EQ(fs::file_size(dir_ / "big"), size + 6);
  std::ifstream in(dir_ / "big", std::ios::binary);
  std::string end(10, 0);
  in.seekg(static_cast<std::streamoff>(size - 4)).read(end.data(), 10);
  EXPECT_EQ(end, "tailmore\r\n");
}

// The first appends come from many threads at once, round after round: one lock is installed
// each round and the exit callbacks remove it, nothing else stays allocated, no line is lost.
TEST_F(LogFile, ManyThreadsShareOneLock) {
  RunExitCallbacks(); // no lock left from an earlier test
  InitMem();
  EnableMemLocks();
  const auto inUse = [] {
    MemStats stats;
    GetMemStats(&stats);
    return stats.Counter[kMemBlocksInUse];
  };
  const uint32_t before = inUse();
  const std::string path = Path("shared"), line(99, 'x');
  for (int round = 0; round < 40; ++round) {
    std::atomic<int> ready{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t)
      threads.emplace_back([&] {
        for (++ready; ready < 8;) std::this_thread::yield();
        for (int i = 0; i < 20; ++i) LogWriteLine(line.c_str(), path.c_str());
      });
    for (std::thread& thread : threads) thread.join();
    ASSERT_EQ(inUse() - before, 3u) << round; // lock, its section, callback table
    RunExitCallbacks();
    ASSERT_EQ(inUse(), before) << round;
  }
  DoneMem();
  std::string expected;
  for (int i = 0; i < 40 * 8 * 20; ++i) expected += line + "\r\n";
  EXPECT_TRUE(Slurp(path) == expected);
}

// Both go to the same file when named so; empty values copy nothing; an option absent at the
// first text is not looked at again.
TEST_F(LogFile, CopyOptions) {
  const std::string out = Path("out"), err = Path("err");
  RuntimeState.ModuleBase = GetModuleHandleA(nullptr); // a console program: trace on stderr
  RuntimeState.OptionsReady = true;                    // the copy decisions wait for it
  const std::tuple<std::vector<std::string>, std::optional<std::string>, std::optional<std::string>>
      cases[] = {{{Opt(kOptOutCopy, out), Opt(kOptErrCopy, err)}, "1\r\n4\r\n", "2\r\n3\r\n"},
                 {{Opt(kOptOutCopy, out), Opt(kOptErrCopy, out)}, "1\r\n2\r\n3\r\n4\r\n", {}},
                 {{Opt(kOptOutCopy) + ":", Opt(kOptErrCopy) + ":"}, {}, {}},
                 {{}, {}, {}}};
  for (const auto& [options, outCopy, errCopy] : cases) {
    fs::remove(out);
    fs::remove(err);
    OutCopyState = ErrCopyState = {};
    SetOptions(options);
    PutStdOut("1\r\n");
    PutStdErr("2\r\n");
    TraceLine("3", "caption");
    PrintMessage("%s\n", "4");
    EXPECT_EQ(Contents(out), outCopy);
    EXPECT_EQ(Contents(err), errCopy);
    SetOptions({Opt(kOptOutCopy, out), Opt(kOptErrCopy, err)});
    PutStdOut("late\r\n");
    TraceLine("late", nullptr);
    EXPECT_EQ(Contents(out) != outCopy || Contents(err) != errCopy, outCopy.has_value());
  }
  OutCopyState = ErrCopyState = {};
  RuntimeState.OptionsReady = false;
}

// Opens and creates, seeks, reads and writes with their bytes; a mapped file counts no 64-bit
// seek and no read of nothing; a slow read pauses after every plain read.
TEST_F(LogFile, IoStatisticsAndSlowRead) {
  static std::vector<uint32_t> waits;
  SlowReadWait = [](uint32_t ms) { waits.push_back(ms); };
  RuntimeState.IoStatsOn = RuntimeState.SlowReadOn = true;
  RuntimeState.IoStatsLock = new TLock(0, 0);
  char bytes[100];
  uint32_t got;
  for (uint32_t options : {0u, uint32_t{kFileNoMapping}}) {
    TDiskFile f(Path(std::to_string(options)).c_str(), options), missing(Path("no").c_str(), 0);
    f.Create(kModeReadWrite);
    f.Write("0123456789", 10, nullptr);
    f.Seek(0);
    f.Seek64(0, 0);
    f.Read(nullptr, 0, &got);
    f.Read(bytes, 100, &got);
    missing.Open(kModeRead);
  }
  LogWriteLine("abc", Path("log").c_str());
  const std::vector<uint64_t> counts(std::begin(RuntimeState.IoStats),
                                     std::end(RuntimeState.IoStats));
  EXPECT_EQ(counts, (std::vector<uint64_t>{3, 0, 3, 0, 4, 0, 2, 200, 3, 25}));
  EXPECT_EQ(waits, std::vector<uint32_t>{1000}); // the plain read's
  delete RuntimeState.IoStatsLock;
  RuntimeState.IoStatsLock = nullptr;
  RuntimeState.IoStatsOn = RuntimeState.SlowReadOn = false;
  SlowReadWait = nullptr;
}

} // namespace
