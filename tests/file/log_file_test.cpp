// The copy files: appends, their lock under many threads, the copy options on the console
// writers and the trace, the I/O statistics and the slow-read pause.
#include "runtime/startup/exit_callbacks.h"
#include "runtime/diag/log_file.h"
#include "runtime/diag/trace.h"
#include "runtime/platform/lock.h"
#include "runtime/diag/console.h"
#include "tests/file/file_fixture.h"
#include "tests/support/std_capture.h"

#include <array>
#include <atomic>
#include <cstdio>
#include <functional>
#include <optional>
#include <thread>

namespace {

using namespace filetest;

class LogFile : public FileTest {};

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
    EXPECT_EQ(fs::exists(path), c.after.has_value());
    if (c.after) {
      EXPECT_EQ(Slurp(path), *c.after);
    }
  }
  LogWriteLine(nullptr, Path("log").c_str());
}

#ifndef _WIN32
// An open refused for a moment (no memory for the link name, a failed CreateFileA) must not
// make the append replace the file: it keeps what it held, with or without the new line.
TEST_F(LogFile, RefusedOpenKeepsTheFile) {
  const fs::path path = dir_ / "log";
  for (auto point : {winposix::FailPoint::CreateFileA, winposix::FailPoint::VirtualAlloc}) {
    for (unsigned n = 1; n <= 8; ++n) {
      SCOPED_TRACE(std::to_string(static_cast<int>(point)) + " " + std::to_string(n));
      Spill(path, "kept\r\n");
      winposix::FailNth(point, n);
      LogWriteLine("new", path.string().c_str());
      winposix::ClearFailures();
      const std::string after = Slurp(path);
      EXPECT_TRUE(after == "kept\r\n" || after == "kept\r\nnew\r\n") << after;
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
  {
    std::ofstream big(dir_ / "big", std::ios::binary);
    big.seekp(static_cast<std::streamoff>(size - 4));
    big << "tail";
  }
  ASSERT_EQ(fs::file_size(dir_ / "big"), size);
  LogWriteLine("more", Path("big").c_str());
  ASSERT_EQ(fs::file_size(dir_ / "big"), size + 6);
  std::ifstream in(dir_ / "big", std::ios::binary);
  in.seekg(static_cast<std::streamoff>(size - 4));
  std::string end(10, 0);
  in.read(end.data(), 10);
  EXPECT_EQ(end, "tailmore\r\n");
  in.seekg(0);
  EXPECT_EQ(in.get(), 0);
}

TEST_F(LogFile, UnwritableTargetsFailSilently) {
  fs::create_directories(dir_ / "folder");
  LogWriteLine("x", Path("folder").c_str());
  EXPECT_TRUE(fs::is_directory(dir_ / "folder"));
  LogWriteLine("x", Path("nowhere/log").c_str());
  EXPECT_FALSE(fs::exists(dir_ / "nowhere"));

  Spill(dir_ / "locked", "locked");
  ASSERT_TRUE(SetFileAttributesA(Path("locked").c_str(), FILE_ATTRIBUTE_READONLY));
  HANDLE probe =
      CreateFileA(Path("locked").c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  if (probe != INVALID_HANDLE_VALUE) {
    CloseHandle(probe);
    SetFileAttributesA(Path("locked").c_str(), FILE_ATTRIBUTE_NORMAL);
    GTEST_SKIP() << "this system lets the process write read-only files (Wine run as root)";
  }
  LogWriteLine("x", Path("locked").c_str());
  EXPECT_EQ(Slurp(dir_ / "locked"), "locked");
  SetFileAttributesA(Path("locked").c_str(), FILE_ATTRIBUTE_NORMAL);
}

// The first appends come from many threads at once, round after round (the exit callbacks
// remove the lock between rounds): one lock is made each round and nothing else stays
// allocated, and no line is cut or lost.
TEST_F(LogFile, ManyThreadsAppendWholeLines) {
  RunExitCallbacks(); // no lock left from an earlier test
  ASSERT_EQ(LogLock, nullptr);
  InitMem();
  EnableMemLocks();
  const auto inUse = [] {
    MemStats stats;
    GetMemStats(&stats);
    return stats.Counter[kMemBlocksInUse];
  };
  const uint32_t before = inUse();
  constexpr int kRounds = 40, kThreads = 8, kLines = 20;
  const std::string path = Path("shared");
  const auto text = [](int t, int i) {
    return std::string(static_cast<size_t>(1 + (t * 37 + i * 11) % 300),
                       static_cast<char>('a' + t));
  };
  for (int round = 0; round < kRounds; ++round) {
    std::atomic<int> ready{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
      threads.emplace_back([&, t] {
        for (++ready; ready < kThreads;) std::this_thread::yield();
        for (int i = 0; i < kLines; ++i) {
          const int n = round * kLines + i;
          const std::string line = std::to_string(t) + ":" + std::to_string(n) + ":" + text(t, n);
          LogWriteLine(line.c_str(), path.c_str());
        }
      });
    for (std::thread& thread : threads) thread.join();
    ASSERT_NE(LogLock, nullptr);
    ASSERT_EQ(inUse() - before, 3u) << "round " << round; // lock, its section, callback table
    RunExitCallbacks();
    ASSERT_EQ(LogLock, nullptr);
    ASSERT_EQ(inUse(), before) << "round " << round;
  }
  DoneMem();

  const std::string all = Slurp(path);
  std::vector<int> next(kThreads, 0);
  size_t at = 0, lines = 0;
  for (size_t end; (end = all.find("\r\n", at)) != std::string::npos; at = end + 2, ++lines) {
    const std::string line = all.substr(at, end - at);
    int t = -1, n = -1;
    ASSERT_EQ(std::sscanf(line.c_str(), "%d:%d:", &t, &n), 2) << line;
    ASSERT_TRUE(t >= 0 && t < kThreads) << line;
    EXPECT_EQ(n, next[t]++) << line;
    EXPECT_EQ(line.substr(line.rfind(':') + 1), text(t, n));
  }
  EXPECT_EQ(at, all.size());
  EXPECT_EQ(lines, size_t{kRounds * kThreads * kLines});
}

TEST_F(LogFile, CopyOptions) {
  const std::string out = Path("out"), err = Path("err");
  RuntimeState.ModuleBase = GetModuleHandleA(nullptr); // a console program: trace on stderr
  RuntimeState.OptionsReady = true;                    // the copy decisions wait for it
  struct Case {
    std::vector<std::string> options;
    std::optional<std::string> outCopy, errCopy;
  } cases[] = {
      {{Opt(kOptOutCopy, out)}, "out one\r\nout two\r\n", {}},
      {{Opt(kOptErrCopy, err)}, {}, "err one\r\ntrace\r\n"},
      {{Opt(kOptOutCopy, out), Opt(kOptErrCopy, out)},
       "out one\r\nerr one\r\ntrace\r\nout two\r\n",
       {}},
      {{Opt(kOptOutCopy) + ":", Opt(kOptErrCopy) + ":"}, {}, {}}, // empty values
      {{}, {}, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.options.empty() ? "no options" : c.options[0]);
    fs::remove(out);
    fs::remove(err);
    SetOptions(c.options);
    OutCopyState = ErrCopyState = {};
    {
      Capture stdOut(STD_OUTPUT_HANDLE), stdErr(STD_ERROR_HANDLE);
      PutStdOut("out one\r\n");
      PutStdErr("err one\r\n");
      TraceLine("trace", "caption");
      PrintMessage("%s\n", "out two");
      // The console got everything as before.
      EXPECT_EQ(stdOut.Finish(), (std::vector<std::string>{"out one\r\n", "out two\r\n"}));
      EXPECT_EQ(stdErr.Finish(), (std::vector<std::string>{"err one\r\n", "trace", "\r\n"}));
    }
    EXPECT_EQ(fs::exists(out), c.outCopy.has_value());
    if (c.outCopy) {
      EXPECT_EQ(Slurp(out), *c.outCopy);
    }
    EXPECT_EQ(fs::exists(err), c.errCopy.has_value());
    if (c.errCopy) {
      EXPECT_EQ(Slurp(err), *c.errCopy);
    }
  }
  // Absent at the first text, the option is not looked at again.
  SetOptions({Opt(kOptOutCopy, out), Opt(kOptErrCopy, err)});
  Capture stdOut(STD_OUTPUT_HANDLE), stdErr(STD_ERROR_HANDLE);
  PutStdOut("late\r\n");
  TraceLine("late", nullptr);
  stdOut.Finish();
  stdErr.Finish();
  EXPECT_FALSE(fs::exists(out));
  EXPECT_FALSE(fs::exists(err));
  RuntimeState.OptionsReady = false;
}

TEST_F(LogFile, IoStatisticsCountTheOperations) {
  Spill(dir_ / "ten", "0123456789");
  using Counts = std::array<uint64_t, kIoStatCount>; // opens, creates, seeks, reads, writes
  struct Case {
    std::string name;
    std::function<void()> run;
    Counts counts;
  } cases[] = {
      {"mapped",
       [this] {
         TDiskFile f(Path("m").c_str(), 0);
         f.Create(kModeWrite);
         f.Write("0123456789", 10, nullptr);
         f.Seek(0);
         f.Seek64(0, 0); // not counted when mapped
         uint32_t got;
         f.Read(nullptr, 0, &got); // nor is a read of nothing
         f.Read(std::array<char, 100>().data(), 100, &got);
       },
       {0, 0, 1, 0, 1, 0, 1, 100, 1, 10}},
      {"plain",
       [this] {
         TDiskFile f(Path("p").c_str(), kFileNoMapping);
         f.Create(kModeReadWrite);
         f.Write("0123456789", 10, nullptr);
         f.Seek(0);
         f.Seek64(0, 0);
         uint32_t got;
         f.Read(std::array<char, 100>().data(), 100, &got);
       },
       {0, 0, 1, 0, 2, 0, 1, 100, 1, 10}},
      {"opens",
       [this] {
         TDiskFile there(Path("ten").c_str(), 0), missing(Path("missing").c_str(), 0);
         there.Open(kModeRead);
         missing.Open(kModeRead);
       },
       {2, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
      {"two appends",
       [this] {
         LogWriteLine("abc", Path("log").c_str());
         LogWriteLine("defg", Path("log").c_str());
       },
       {2, 0, 1, 0, 2, 0, 0, 0, 2, 11}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RuntimeState.IoStatsOn = true;
    RuntimeState.IoStatsLock = new TLock(0, 0);
    for (uint64_t& counter : RuntimeState.IoStats) counter = 0;
    c.run();
    Counts seen;
    std::copy(std::begin(RuntimeState.IoStats), std::end(RuntimeState.IoStats), seen.begin());
    EXPECT_EQ(seen, c.counts);
    delete RuntimeState.IoStatsLock;
    RuntimeState.IoStatsLock = nullptr;
    RuntimeState.IoStatsOn = false;
  }
}

std::vector<uint32_t> waits;

TEST_F(LogFile, SlowReadPausesPlainReads) {
  Spill(dir_ / "f", "data");
  SlowReadWait = [](uint32_t ms) { waits.push_back(ms); };
  for (bool slow : {false, true}) {
    SCOPED_TRACE(slow);
    RuntimeState.SlowReadOn = slow;
    waits.clear();
    char bytes[8];
    TDiskFile plain(Path("f").c_str(), kFileNoMapping), mapped(Path("f").c_str(), 0);
    ASSERT_TRUE(plain.Open(kModeRead | kModeShareRead) && mapped.Open(kModeRead | kModeShareRead));
    EXPECT_TRUE(plain.Read(bytes, 4, nullptr));
    EXPECT_TRUE(mapped.Read(bytes, 4, nullptr));
    uint32_t got;
    EXPECT_EQ(ReadPlain(plain.Data->Handle, bytes, 0, &got), kFileOk);
    EXPECT_EQ(waits, (slow ? std::vector<uint32_t>{1000, 1000} : std::vector<uint32_t>{}));
  }
}

} // namespace
