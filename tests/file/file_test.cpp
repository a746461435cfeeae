// TDiskFile, the plain file functions and the copy files on real files: a fresh folder per test,
// the NT family (link streams looked for), options as given. Data runs in mapped and plain mode
// alike. The copy files: appends, their lock, the copy options, the I/O statistics and the
// slow-read pause.
#include "runtime/diag/console.h"
#include "runtime/diag/copy_files.h"
#include "runtime/diag/log_file.h"
#include "runtime/diag/trace.h"
#include "runtime/memory/memory.h"
#include "runtime/platform/disk_file.h"
#include "runtime/platform/file_plain.h"
#include "runtime/platform/file_switches.h"
#include "runtime/platform/lock.h"
#include "runtime/startup/exit_callbacks.h"
#include "runtime/startup/runtime_state.h"
#include "tests/support/rows.h"
#include "winposix/win32.h"
#ifndef _WIN32
#include "winposix/testctl.h"
#endif

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <map>
#include <thread>

namespace {

namespace fs = std::filesystem;

std::string Slurp(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

void Spill(const fs::path& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

// Bytes that differ from their neighbours and from their position modulo any window.
std::string Pattern(size_t size, unsigned seed) {
  std::string bytes(size, 0);
  for (char& c : bytes) c = static_cast<char>((seed = seed * 1103515245u + 12345u) >> 23);
  return bytes;
}

class FileTest : public ::testing::Test {
protected:
  void SetUp() override {
    // The process id keeps apart runs of the same test from several build folders.
    const std::string test = ::testing::UnitTest::GetInstance()->current_test_info()->name();
    dir_ = fs::temp_directory_path() /
           ("calvisto_" + test + "_" + std::to_string(GetCurrentProcessId()));
    fs::remove_all(dir_, ignored_);
    fs::create_directories(dir_);
    OsVersion.Platform = kPlatformNT;
  }
  void TearDown() override {
    SetOptions({});
    OsVersion.Platform = 0;
    fs::remove_all(dir_, ignored_);
  }
  static void SetOptions(const std::vector<std::string>& options) {
    for (uint32_t i = 0; i < RuntimeState.OptionCount; ++i) FreeMem(RuntimeState.OptionList[i]);
    RuntimeState.OptionCount = 0;
    for (const std::string& option : options)
      RuntimeState.OptionList[RuntimeState.OptionCount++] = DupString(option.c_str());
    FileSwitches = {};
  }
  std::string Path(const std::string& name) const { return (dir_ / name).string(); }
  static uint32_t Number(const Field& field) { return std::stoul(*field, nullptr, 0); }

  fs::path dir_;
  std::error_code ignored_;
};

class DiskFile : public FileTest {};

constexpr uint32_t kModes[] = {0, kFileNoMapping}; // mapped, plain

TEST_F(DiskFile, ReadsAtAndPastTheEnd) {
  Spill(dir_ / "ten", "0123456789");
  for (uint32_t options : kModes) {
    for (const Row& row : ReadRows(__FILE__, "reads.tsv")) {
      const bool withOut = *row[2] == "1", result = *row[3] == "1";
      TDiskFile file(Path("ten").c_str(), options);
      ASSERT_TRUE(file.Open(kModeRead) && file.Seek(Number(row[0])));
      char buffer[128] = {};
      uint32_t got = 12345;
      EXPECT_EQ(file.Read(buffer, Number(row[1]), withOut ? &got : nullptr), result) << *row[0];
      EXPECT_EQ(file.LastError, result ? kFileOk : kFileReadFailed);
      EXPECT_EQ(withOut ? std::string(buffer, got) : std::string(buffer), *row[4]);
    }
  }
}

// One sequence in both modes: writes past the end leave zeros, 16-bit counts, a short read
// without a count fails, truncation, and the refusals of a reading and of an unnamed object.
TEST_F(DiskFile, OperationsInBothModes) {
  for (uint32_t options : kModes) {
    const std::string path = Path(std::to_string(options));
    TDiskFile file(path.c_str(), options);
    uint16_t wrote = 0, read = 0;
    uint64_t size = 0;
    char bytes[8] = {};
    ASSERT_TRUE(file.Create(kModeReadWrite) && file.Write("0123456789", 10, nullptr) &&
                file.Position() == 10);
    EXPECT_TRUE(file.Seek(12) && file.Write16("z", 1, &wrote) && file.Size64(&size));
    EXPECT_TRUE(wrote == 1 && size == 13) << options;
    EXPECT_TRUE(file.Seek(9) && file.Read16(bytes, 5, &read));
    EXPECT_EQ(std::string(bytes, read), std::string("9\0\0z", 4));
    EXPECT_FALSE((file.Seek(11) && file.Read16(bytes, 5, nullptr)) ||
                 file.LastError != kFileReadFailed);
    EXPECT_TRUE(file.Seek64(4, 0) && file.Truncate() && file.Size() == 4 && file.Close());
    TDiskFile reader(path.c_str(), options), never(path.c_str(), options), nameless("", options);
    ASSERT_TRUE(reader.Open(kModeRead));
    EXPECT_FALSE(reader.Write("x", 1, nullptr) || reader.LastError != kFileAccessDenied);
    EXPECT_FALSE(reader.Position64(nullptr) || reader.LastError != kFileArgumentMissing);
    EXPECT_TRUE(reader.Close() && never.Close());
    EXPECT_EQ(Slurp(path), "0123");
    EXPECT_EQ(nameless.LastError, kFileAccessDenied);
  }
}

// Seek's offset is unsigned: 2 to 4 GiB is a place in a plain file, and all ones no failure.
TEST_F(DiskFile, PlainSeekBeyondTwoGigabytes) {
  TDiskFile file(Path("sparse").c_str(), kFileNoMapping);
  uint64_t position = 0;
  ASSERT_TRUE(file.Create(kModeReadWrite));
  for (uint32_t at : {0x90000000u, 0xFFFFFFFFu})
    EXPECT_TRUE(file.Seek(at) && file.Position() == at);
  EXPECT_TRUE(file.Seek64(0x10, 1) && file.Position64(&position));
  EXPECT_EQ(position, 0x100000010u);
}

// Written and read in pieces that cross the edges of the write window (64 KiB), are longer than
// one, or cross those of the read window (8 MiB); a mapped writer's file is cut back at Close.
TEST_F(DiskFile, FilesOfSeveralWindowsRoundTrip) {
  const std::pair<size_t, size_t> cases[] = {
      {3 * 65536 + 777, 1000}, {3 * 65536 + 777, 70000}, {8 * 1048576 + 4321, 65536 * 3 + 5}};
  for (auto [size, piece] : cases) {
    const std::string bytes = Pattern(size, static_cast<unsigned>(piece));
    for (uint32_t writer : kModes) {
      TDiskFile out(Path("big").c_str(), writer);
      bool ok = out.Create(kModeWrite);
      for (size_t at = 0; at < size; at += piece) {
        const auto n = static_cast<uint32_t>(std::min(piece, size - at));
        uint32_t written = 0;
        ok = out.Write(bytes.data() + at, n, &written) && written == n && ok;
      }
      ASSERT_TRUE(out.Close() && ok) << size << " in " << piece << " by " << writer;
      for (uint32_t reader : kModes) {
        TDiskFile in(Path("big").c_str(), reader);
        std::string all, buffer(piece, 0);
        uint32_t got = 0;
        ASSERT_TRUE(in.Open(kModeRead | kModeShareRead));
        while (in.Read(buffer.data(), static_cast<uint32_t>(piece), &got) && got > 0)
          all.append(buffer, 0, got);
        EXPECT_TRUE(all == bytes) << size << " in " << piece << ": " << writer << reader;
      }
    }
  }
}

TEST_F(DiskFile, MappingSwitches) {
  Spill(dir_ / "f", "data");
  for (const Row& row : ReadRows(__FILE__, "mapping.tsv")) {
    SetOptions({*row[0]});
    for (uint16_t mode : {kModeRead, kModeWrite, kModeReadWrite}) {
      TDiskFile file(Path("f").c_str(), 0);
      ASSERT_TRUE(file.Open(mode));
      EXPECT_EQ(file.Data->Mapped ? file.Data->Window : 0, Number(row[1 + mode]))
          << *row[0] << mode;
    }
    // Looked up once: the answer stays when the option goes.
    const FileSwitchCache kept = FileSwitches;
    SetOptions({});
    FileSwitches = kept;
    EXPECT_EQ(FileSwitchOn(kSwitchNoMap), *row[0] == "-~NoMap");
  }
}

#ifndef _WIN32
TEST_F(DiskFile, MappingFailures) {
  const std::string bytes = Pattern(100000, 1);
  Spill(dir_ / "f", bytes);
  // No address space for the first view of a read-only file: plain reads from there on.
  winposix::FailNth(winposix::FailPoint::MapViewOfFile, 1);
  TDiskFile fallback(Path("f").c_str(), 0), later(Path("f").c_str(), 0),
      writer(Path("w").c_str(), 0);
  ASSERT_TRUE(fallback.Open(kModeRead | kModeShareRead));
  std::string all(200000, 0);
  uint32_t got = 0;
  EXPECT_TRUE(fallback.Read(all.data(), 200000, &got) && !fallback.Data->Mapped &&
              all.substr(0, got) == bytes);
  // Not at the start, or not for lack of memory: the read fails.
  winposix::FailNth(winposix::FailPoint::MapViewOfFile, 1);
  ASSERT_TRUE(later.Open(kModeRead | kModeShareRead) && later.Seek(10));
  EXPECT_FALSE(later.Read(all.data(), 10, nullptr) || later.LastError != kFileReadFailed);
  winposix::FailNth(winposix::FailPoint::CreateFileMappingA, 1);
  ASSERT_TRUE(writer.Create(kModeWrite));
  EXPECT_FALSE(writer.Write("x", 1, nullptr) || writer.LastError != kFileWriteFailed);
  EXPECT_TRUE(writer.Write("y", 1, nullptr) && writer.Close());
  EXPECT_EQ(Slurp(dir_ / "w"), "y");
}
#endif

class PlainFile : public FileTest {
protected:
  // Folders of 100 characters (only on the layer: Windows cannot remove them), then a last name
  // that holds characters 505 to 520, length characters in all.
  std::string DeepPath(size_t length) const {
    fs::path path = dir_;
    while (path.string().size() + 102 < 505) path /= std::string(100, 'd');
#ifndef _WIN32
    fs::create_directories(path);
#endif
    const std::string prefix = (path / "").string();
    return prefix + std::string(length - prefix.size(), 'n');
  }
};

// A name that does not fit must not open or replace a cut name: that is another file (Windows
// cannot make the cut file).
TEST_F(PlainFile, OpenAndCreateResultCodes) {
  fs::create_directories(dir_ / "folder");
  for (const char* name : {"there", "hidden"}) Spill(dir_ / name, "x");
  SetFileAttributesA(Path("hidden").c_str(), FILE_ATTRIBUTE_HIDDEN);
  const std::string longName = DeepPath(520), cutName = longName.substr(0, 511);
  Spill(cutName, "cut");
  for (const Row& row : ReadRows(__FILE__, "open_create.tsv")) {
    const std::string name = !row[0] ? "" : *row[0] == "long" ? longName : Path(*row[0]);
    const int32_t result = static_cast<int32_t>(Number(row[2]));
    TDiskFile file(name.c_str(), kFileNoMapping);
    const bool done = *row[1] == "1" ? file.Create(kModeWrite) : file.Open(kModeRead);
    EXPECT_TRUE(done == (result == kFileOk) && (file.Data->Handle != nullptr) == done) << name;
    EXPECT_EQ(file.LastError, result) << name;
  }
  EXPECT_TRUE(!fs::exists(cutName) || Slurp(cutName) == "cut");
  EXPECT_EQ(Slurp(dir_ / "hidden"), "");
}

// The stream "name:SymLink" names the file to open instead: its first line.
TEST_F(PlainFile, LinkStreamRedirectsOpen) {
  const std::string first = Path("first"), deep = DeepPath(511);
  std::map<std::string, std::string> files = {
      {"first", first}, {"second", Path("second")}, {"deep", deep}};
  for (const auto& [key, name] : files) Spill(name, name);
  for (const Row& row : ReadRows(__FILE__, "link_stream.tsv")) {
    const std::string stream = files[*row[0]] + *row[1];
    const std::string reached = row[4] ? files[*row[4]] : "";
    if (reached == deep && !fs::exists(deep)) continue;
    Spill(first + ":SymLink", stream);
    OsVersion.Platform = static_cast<int32_t>(Number(row[3]));
    TDiskFile file(first.c_str(), 0);
    EXPECT_EQ(file.Open((*row[2] == "1" ? kModeNoLink : 0) | kModeShareRead), row[4].has_value())
        << stream;
    EXPECT_EQ(file.LastError, row[4] ? kFileOk : kFileNotFound) << stream;
    if (!row[4]) continue;
    EXPECT_TRUE(file.Data->Redirected == (reached != first) && file.Data->Name == reached);
    std::string bytes(600, 0);
    uint32_t got = 0;
    EXPECT_TRUE(file.Read(bytes.data(), 600, &got) && bytes.substr(0, got) == reached);
  }
  // A target longer than the caller's buffer is not found either.
  Spill(first + ":SymLink", deep);
  void* handle = nullptr;
  char small[64];
  EXPECT_EQ(OpenExistingFile(first.c_str(), 0, &handle, small, sizeof small, nullptr),
            kFileNotFound);
}

TEST_F(PlainFile, SharingFollowsTheOpenMode) {
  const std::string f = Path("f");
  Spill(f, "data");
  for (const Row& row : ReadRows(__FILE__, "sharing.tsv")) {
    void *first = nullptr, *second = nullptr;
    ASSERT_EQ(OpenExistingFile(f.c_str(), Number(row[0]), &first, nullptr, 0, nullptr), kFileOk);
    EXPECT_EQ(OpenExistingFile(f.c_str(), Number(row[1]), &second, nullptr, 0, nullptr),
              *row[2] == "1" ? kFileOk : kFileAccessDenied)
        << *row[0] << *row[1];
    if (second != nullptr) CloseHandle(second);
    CloseHandle(first);
  }
}

class LogFile : public FileTest {};

std::optional<std::string> Contents(const fs::path& path) {
  return fs::exists(path) ? std::optional(Slurp(path)) : std::nullopt;
}

TEST_F(LogFile, AppendsAndLineBreaks) {
  const fs::path path = dir_ / "log";
  for (const Row& row : ReadRows(__FILE__, "appends.tsv")) {
    fs::remove(path);
    if (row[0]) Spill(path, *row[0]);
    for (size_t i = 2; i + 1 < row.size(); i += 2)
      (*row[i + 1] == "1" ? LogWriteLine : LogWriteText)(row[i]->c_str(), path.string().c_str());
    EXPECT_EQ(Contents(path), row[1]) << row[2].value_or("");
  }
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
      EXPECT_TRUE(Slurp(path) == "kept\r\n" || Slurp(path) == "kept\r\nnew\r\n") << n;
    }
  }
  // Without a file of that name the append still creates it.
  fs::remove(path);
  winposix::FailNth(winposix::FailPoint::CreateFileA, 1);
  LogWriteLine("new", path.string().c_str());
  EXPECT_EQ(Slurp(path), "new\r\n");
}
#endif

// The end of a copy file beyond 4 GiB is found as such, not at its size modulo 4 GiB; a text
// beyond 16-bit counts is written whole.
TEST_F(LogFile, AppendsBeyondFourGigabytes) {
  const uint64_t size = (uint64_t{1} << 32) + 10;
  const std::string more(70000, 'm');
  std::ofstream(dir_ / "big", std::ios::binary).seekp(std::streamoff(size - 4)) << "tail";
  LogWriteText(more.c_str(), Path("big").c_str());
  ASSERT_EQ(fs::file_size(dir_ / "big"), size + more.size());
  std::string end(more.size() + 4, 0);
  std::ifstream in(dir_ / "big", std::ios::binary);
  in.seekg(std::streamoff(size - 4)).read(end.data(), std::streamsize(end.size()));
  EXPECT_TRUE(end == "tail" + more);
}

// The first appends come from many threads at once, round after round: one lock is installed
// each round and the exit callbacks remove it, nothing else stays allocated, no line is lost.
TEST_F(LogFile, ManyThreadsShareOneLock) {
  RunExitCallbacks(); // no lock left from an earlier test
  InitMem();
  EnableMemLocks();
  MemStats stats;
  const auto inUse = [&] { return GetMemStats(&stats), stats.Counter[kMemBlocksInUse]; };
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

// Rows of copies.tsv; an option absent at the first text is not looked at again.
TEST_F(LogFile, CopyOptions) {
  const std::string out = Path("out"), err = Path("err");
  RuntimeState.ModuleBase = GetModuleHandleA(nullptr); // a console program: trace on stderr
  RuntimeState.OptionsReady = true;                    // the copy decisions wait for it
  for (const Row& row : ReadRows(__FILE__, "copies.tsv")) {
    std::vector<std::string> options;
    for (int i : {0, 1})
      if (row[i])
        options.push_back((i ? "-~ErrCopy:" : "-~OutCopy:") + (*row[i] == "" ? "" : Path(*row[i])));
    for (const std::string& name : {out, err}) fs::remove(name);
    OutCopyState = ErrCopyState = {};
    SetOptions(options);
    PutStdOut("1\r\n");
    PutStdErr("2\r\n");
    TraceLine("3", "caption");
    PrintMessage("%s\n", "4");
    EXPECT_EQ(Contents(out), row[2]);
    EXPECT_EQ(Contents(err), row[3]);
    SetOptions({"-~OutCopy:" + out, "-~ErrCopy:" + err});
    PutStdOut("late\r\n");
    TraceLine("late", nullptr);
    EXPECT_EQ(Contents(out) != row[2] || Contents(err) != row[3], row[2].has_value());
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
  TLock lock(0, 0);
  RuntimeState.IoStatsLock = &lock;
  char bytes[100];
  uint32_t got;
  for (uint32_t options : {0u, uint32_t{kFileNoMapping}}) {
    TDiskFile f(Path(std::to_string(options)).c_str(), options), missing(Path("no").c_str(), 0);
    ASSERT_TRUE(f.Create(kModeReadWrite) && f.Write("0123456789", 10, nullptr) && f.Seek(0) &&
                f.Seek64(0, 0));
    f.Read(nullptr, 0, &got);
    EXPECT_TRUE(f.Read(bytes, 100, &got) && !missing.Open(kModeRead));
  }
  LogWriteLine("abc", Path("log").c_str());
  EXPECT_EQ(std::vector<uint64_t>(std::begin(RuntimeState.IoStats), std::end(RuntimeState.IoStats)),
            (std::vector<uint64_t>{3, 0, 3, 0, 4, 0, 2, 200, 3, 25}));
  EXPECT_EQ(waits, std::vector<uint32_t>{1000}); // the plain read's
  RuntimeState.IoStatsLock = nullptr;
  RuntimeState.IoStatsOn = RuntimeState.SlowReadOn = false;
  SlowReadWait = nullptr;
}

} // namespace
