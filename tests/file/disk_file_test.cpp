// TDiskFile and the plain file functions on real files. Behaviours of the data are run in mapped
// and in plain mode, which must agree.
#include "tests/file/file_fixture.h"

#include <array>
#include <tuple>

namespace {

using namespace filetest;

class DiskFile : public FileTest {};

constexpr uint32_t kModes[] = {0, kFileNoMapping}; // mapped, plain

// Writes in pieces; true when every write and the close reported success.
bool WriteInPieces(const std::string& path, uint32_t options, const std::string& bytes,
                   size_t piece) {
  TDiskFile file(path.c_str(), options);
  bool ok = file.Create(kModeWrite);
  for (size_t at = 0; at < bytes.size(); at += piece) {
    const auto n = static_cast<uint32_t>(std::min(piece, bytes.size() - at));
    uint32_t written = 0;
    ok = file.Write(bytes.data() + at, n, &written) && written == n && ok;
  }
  return file.Close() && ok;
}

// Reads from the start in pieces until a read fails or finds the end.
std::string ReadInPieces(const std::string& path, uint32_t options, size_t piece) {
  TDiskFile file(path.c_str(), options);
  std::string all, buffer(piece, 0);
  uint32_t got = 0;
  if (file.Open(kModeRead | kModeShareRead))
    while (file.Read(buffer.data(), static_cast<uint32_t>(piece), &got) && got > 0)
      all.append(buffer, 0, got);
  return all;
}

TEST_F(DiskFile, ReadsAtAndPastTheEnd) {
  Spill(dir_ / "ten", "0123456789");
  // Seek, count, with a count out, the result, the bytes read.
  const std::tuple<uint32_t, uint32_t, bool, bool, std::string> cases[] = {
      {0, 100, true, true, "0123456789"},
      {0, 100, false, false, "0123456789"},
      {4, 3, false, true, "456"},
      {10, 5, true, true, ""},
      {10, 5, false, false, ""},
      {20, 1, true, true, ""},
      {3, 0, false, true, ""}};
  for (uint32_t options : kModes) {
    for (const auto& [seek, count, withOut, result, bytes] : cases) {
      SCOPED_TRACE(::testing::Message() << options << " at " << seek << " count " << count);
      TDiskFile file(Path("ten").c_str(), options);
      ASSERT_TRUE(file.Open(kModeRead) && file.Seek(seek));
      EXPECT_EQ(file.Data->Mapped, options == 0);
      char buffer[128] = {};
      uint32_t got = 12345;
      EXPECT_EQ(file.Read(buffer, count, withOut ? &got : nullptr), result);
      EXPECT_EQ(file.LastError, result ? kFileOk : kFileReadFailed);
      EXPECT_EQ(withOut ? std::string(buffer, got) : std::string(buffer), bytes);
    }
  }
}

// One sequence in both modes: writes past the end leave zeros, 16-bit counts, a short read
// without a count fails, truncation, and the refusals of a reading and of an unnamed object.
TEST_F(DiskFile, OperationsInBothModes) {
  for (uint32_t options : kModes) {
    SCOPED_TRACE(options);
    const std::string path = Path(std::to_string(options));
    TDiskFile file(path.c_str(), options);
    uint16_t wrote = 0, read = 0;
    uint64_t size = 0;
    char bytes[8] = {};
    ASSERT_TRUE(file.Create(kModeReadWrite) && file.Write("0123456789", 10, nullptr));
    EXPECT_EQ(file.Position(), 10u);
    EXPECT_TRUE(file.Seek(12) && file.Write16("z", 1, &wrote) && file.Size64(&size));
    EXPECT_EQ(wrote, 1u);
    EXPECT_EQ(size, 13u);
    EXPECT_TRUE(file.Seek(9) && file.Read16(bytes, 5, &read));
    EXPECT_EQ(std::string(bytes, read), std::string("9\0\0z", 4));
    EXPECT_FALSE(file.Seek(11) && file.Read16(bytes, 5, nullptr));
    EXPECT_EQ(file.LastError, kFileReadFailed);
    EXPECT_TRUE(file.Seek64(4, 0) && file.Truncate() && file.Size() == 4 && file.Close());
    TDiskFile reader(path.c_str(), options), never(path.c_str(), options), nameless("", options);
    ASSERT_TRUE(reader.Open(kModeRead));
    EXPECT_FALSE(reader.Write("x", 1, nullptr));
    EXPECT_EQ(reader.LastError, kFileAccessDenied);
    EXPECT_FALSE(reader.Position64(nullptr));
    EXPECT_EQ(reader.LastError, kFileArgumentMissing);
    EXPECT_TRUE(reader.Close() && never.Close());
    EXPECT_EQ(Slurp(path), "0123");
    EXPECT_EQ(nameless.LastError, kFileAccessDenied);
  }
}

// The offset of Seek is unsigned: 2 to 4 GiB is a valid place in a plain file, and a position of
// all ones is no failure.
TEST_F(DiskFile, PlainSeekBeyondTwoGigabytes) {
  TDiskFile file(Path("sparse").c_str(), kFileNoMapping);
  uint64_t position = 0;
  ASSERT_TRUE(file.Create(kModeReadWrite));
  for (uint32_t at : {0x90000000u, 0xFFFFFFFFu})
    EXPECT_TRUE(file.Seek(at) && file.Position() == at);
  EXPECT_TRUE(file.Seek64(0x10, 1) && file.Position64(&position));
  EXPECT_EQ(position, 0x100000010u);
}

// A mapped writer's file is cut back to its data at Close.
TEST_F(DiskFile, FilesOfSeveralWindowsRoundTrip) {
  const std::pair<size_t, size_t> cases[] = {
      {3 * 65536 + 777, 1000},             // writable window 64 KiB: pieces cross its edges
      {3 * 65536 + 777, 70000},            // pieces longer than a window
      {8 * 1048576 + 4321, 65536 * 3 + 5}, // read window 8 MiB
  };
  for (auto [size, piece] : cases) {
    const std::string bytes = Pattern(size, static_cast<unsigned>(piece));
    for (uint32_t writer : kModes) {
      for (uint32_t reader : kModes) {
        SCOPED_TRACE(::testing::Message() << size << " in " << piece << ": " << writer << reader);
        ASSERT_TRUE(WriteInPieces(Path("big"), writer, bytes, piece));
        EXPECT_TRUE(ReadInPieces(Path("big"), reader, piece) == bytes);
      }
    }
  }
}

// The window of each access, 0 where the file is not mapped.
TEST_F(DiskFile, MappingSwitches) {
  Spill(dir_ / "f", "data");
  const std::pair<std::string, std::array<uint32_t, 3>> cases[] = {
      {"", {8 << 20, 65536, 65536}},
      {Opt(kOptSmallView), {65536, 65536, 65536}},
      {Opt(kOptNoMap), {0, 0, 0}},
      {Opt(kOptNoMapRead), {0, 65536, 65536}},
      {Opt(kOptNoMapWrite), {8 << 20, 0, 65536}},
      {Opt(kOptNoMapReadWrite), {8 << 20, 65536, 0}}};
  for (const auto& [option, windows] : cases) {
    SetOptions({option});
    for (uint16_t mode : {kModeRead, kModeWrite, kModeReadWrite}) {
      TDiskFile file(Path("f").c_str(), 0);
      ASSERT_TRUE(file.Open(mode));
      EXPECT_EQ(file.Data->Mapped ? file.Data->Window : 0, windows[mode]) << option << mode;
    }
    // Looked up once: the answer stays when the option goes.
    const FileSwitchCache kept = FileSwitches;
    SetOptions({});
    FileSwitches = kept;
    EXPECT_EQ(FileSwitchOn(kSwitchNoMap), option == Opt(kOptNoMap));
  }
}

#ifndef _WIN32
TEST_F(DiskFile, MappingFailures) {
  const std::string bytes = Pattern(100000, 1);
  Spill(dir_ / "f", bytes);
  // No address space for the first view of a read-only file: plain reads from there on.
  winposix::FailNth(winposix::FailPoint::MapViewOfFile, 1);
  TDiskFile fallback(Path("f").c_str(), 0), later(Path("f").c_str(), 0);
  ASSERT_TRUE(fallback.Open(kModeRead | kModeShareRead));
  std::string all(200000, 0);
  uint32_t got = 0;
  EXPECT_TRUE(fallback.Read(all.data(), 200000, &got) && !fallback.Data->Mapped);
  EXPECT_TRUE(all.substr(0, got) == bytes);
  // Not at the start, or not for lack of memory: the read fails.
  winposix::FailNth(winposix::FailPoint::MapViewOfFile, 1);
  ASSERT_TRUE(later.Open(kModeRead | kModeShareRead) && later.Seek(10));
  EXPECT_FALSE(later.Read(all.data(), 10, nullptr) || later.LastError != kFileReadFailed);
  winposix::FailNth(winposix::FailPoint::CreateFileMappingA, 1);
  TDiskFile writer(Path("w").c_str(), 0);
  ASSERT_TRUE(writer.Create(kModeWrite));
  EXPECT_FALSE(writer.Write("x", 1, nullptr) || writer.LastError != kFileWriteFailed);
  EXPECT_TRUE(writer.Write("y", 1, nullptr) && writer.Close());
  EXPECT_EQ(Slurp(dir_ / "w"), "y");
}
#endif

class PlainFile : public FileTest {};

// A path of exactly length characters: folders of 100 characters, then a last name that holds
// characters 505 to 520. The folders are made only on the layer: Windows programs cannot even
// remove paths this long.
std::string DeepPath(const fs::path& dir, size_t length) {
  fs::path path = dir;
  while (path.string().size() + 102 < 505) path /= std::string(100, 'd');
#ifndef _WIN32
  fs::create_directories(path);
#endif
  const std::string prefix = (path / "").string();
  return prefix + std::string(length - prefix.size(), 'n');
}

// A name that does not fit must not open or replace a cut name: that is another file (Windows
// cannot make the cut file). A hidden file is replaced: Windows refuses the first attempt.
TEST_F(PlainFile, OpenAndCreateResultCodes) {
  fs::create_directories(dir_ / "folder");
  Spill(dir_ / "there", "x");
  Spill(dir_ / "hidden", "x");
  SetFileAttributesA(Path("hidden").c_str(), FILE_ATTRIBUTE_HIDDEN);
  const std::string longName = DeepPath(dir_, 520), cutName = longName.substr(0, 511);
  Spill(cutName, "cut");
  const std::tuple<std::string, bool, int32_t> cases[] = {
      // name, create, result
      {Path("there"), false, kFileOk},
      {Path("missing"), false, kFileNotFound},
      {Path("folder"), false, kFileAccessDenied},
      {"", false, kFileAccessDenied},
      {Path("no/new"), true, kFileCreateFailed},
      {"", true, kFileAccessDenied},
      {longName, false, kFileNotFound},
      {longName, true, kFileCreateFailed},
      {Path("hidden"), true, kFileOk}};
  for (const auto& [name, create, result] : cases) {
    TDiskFile file(name.c_str(), kFileNoMapping);
    EXPECT_EQ(create ? file.Create(kModeWrite) : file.Open(kModeRead), result == kFileOk) << name;
    EXPECT_EQ(file.LastError, result) << name;
    EXPECT_EQ(file.Data->Handle != nullptr, result == kFileOk) << name;
  }
  EXPECT_TRUE(!fs::exists(cutName) || Slurp(cutName) == "cut");
  EXPECT_EQ(Slurp(dir_ / "hidden"), "");
}

// The stream "name:SymLink" names the file to open instead: its first line, which must fit the
// buffer of 512 bytes (a target of 511 characters, with or without a line end behind it).
TEST_F(PlainFile, LinkStreamRedirectsOpen) {
  const std::string first = Path("first"), second = Path("second"), deep = DeepPath(dir_, 511);
  for (const std::string& name : {first, second, deep}) Spill(name, name);
  // The stream, the open mode, the platform, the file reached (none: not found).
  const std::tuple<std::string, uint16_t, int32_t, std::string> cases[] = {
      {second + "\r\nignored", 0, kPlatformNT, second},
      {second + "\nignored", 0, kPlatformNT, second},
      {second, 0, kPlatformNT, second},
      {second + "\r\n", kModeNoLink, kPlatformNT, first},
      {second + "\r\n", 0, kPlatformWindows9x, first},
      {"\n", 0, kPlatformNT, first},
      {"\r\n" + second, 0, kPlatformNT, first},
      {"", 0, kPlatformNT, first},
      {deep, 0, kPlatformNT, deep},
      {deep + "\r\n", 0, kPlatformNT, deep},
      {deep + "\n", 0, kPlatformNT, deep},
      {deep + "x", 0, kPlatformNT, ""},
      {deep + "x\r\n", 0, kPlatformNT, ""}};
  for (const auto& [stream, mode, platform, reached] : cases) {
    SCOPED_TRACE(stream);
    if (reached == deep && !fs::exists(deep)) continue;
    Spill(first + ":SymLink", stream);
    OsVersion.Platform = platform;
    TDiskFile file(first.c_str(), 0);
    EXPECT_EQ(file.Open(mode | kModeShareRead), !reached.empty());
    EXPECT_EQ(file.LastError, reached.empty() ? kFileNotFound : kFileOk);
    if (reached.empty()) continue;
    EXPECT_EQ(file.Data->Redirected, reached != first);
    EXPECT_STREQ(file.Data->Name, reached.c_str());
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
  Spill(dir_ / "f", "data");
  const std::tuple<uint16_t, uint16_t, bool> cases[] = {
      // first mode, second mode, shared
      {0x20, 0x20, true},  {0x22, 0x22, false}, {0x22, 0x20, false}, {0x40, 0x42, true},
      {0x42, 0x42, true},  {0x10, 0x40, false}, {0x00, 0x40, false}, {0x50, 0x40, false},
      {0x70, 0x40, false}, {0x30, 0x31, false}, {0x41, 0x31, true},  {0x43, 0x00, true},
      {0x40, 0x03, true}};
  for (const auto& [firstMode, secondMode, shared] : cases) {
    void* first = nullptr;
    void* second = nullptr;
    ASSERT_EQ(OpenExistingFile(Path("f").c_str(), firstMode, &first, nullptr, 0, nullptr), kFileOk);
    EXPECT_EQ(OpenExistingFile(Path("f").c_str(), secondMode, &second, nullptr, 0, nullptr),
              shared ? kFileOk : kFileAccessDenied)
        << firstMode << " then " << secondMode;
    if (second != nullptr) CloseHandle(second);
    CloseHandle(first);
  }
}

} // namespace
