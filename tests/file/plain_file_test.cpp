// The plain file functions and TDiskFile's Open and Create on real files: result codes, link
// streams, sharing from the open mode, the hidden-file retry, and names that do not fit.
#include "tests/file/file_fixture.h"

namespace {

using namespace filetest;

class PlainFile : public FileTest {};

TEST_F(PlainFile, OpenAndCreateResultCodes) {
  fs::create_directories(dir_ / "folder");
  Spill(dir_ / "there", "x");
  struct Case {
    std::string name;
    bool create;
    int32_t result;
  } cases[] = {
      {Path("there"), false, kFileOk},
      {Path("missing"), false, kFileNotFound},
      {Path("nowhere/missing"), false, kFilePathNotFound},
      {Path("folder"), false, kFileAccessDenied},
      {"", false, kFileAccessDenied},
      {Path("new"), true, kFileOk},
      {Path("nowhere/new"), true, kFileCreateFailed},
      {Path("folder"), true, kFileCreateFailed},
      {"", true, kFileAccessDenied},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name + (c.create ? " create" : " open"));
    void* handle = &handle;
    const int32_t result = c.create
                               ? CreateNewFile(c.name.c_str(), &handle, false, false, 2, nullptr)
                               : OpenExistingFile(c.name.c_str(), 0, &handle, nullptr, 0, nullptr);
    EXPECT_EQ(result, c.result);
    EXPECT_EQ(handle != nullptr, c.result == kFileOk);
    if (handle != nullptr) CloseHandle(handle);
  }
  void* handle = nullptr;
  EXPECT_EQ(CreateNewFile(Path("x").c_str(), nullptr, false, false, 2, nullptr),
            kFileArgumentMissing);
  EXPECT_EQ(PositionPlain64(handle, nullptr), kFileArgumentMissing);
  EXPECT_EQ(SizePlain64(handle, nullptr), kFileArgumentMissing);
}

TEST_F(PlainFile, LinkStreamRedirectsOpen) {
  Spill(dir_ / "first", "first");
  Spill(dir_ / "second", "second");
  struct Case {
    std::string stream;
    uint16_t mode;
    int32_t platform;
    bool redirected;
  } cases[] = {
      {Path("second") + "\r\nignored", 0, kPlatformNT, true},
      {Path("second") + "\nignored", 0, kPlatformNT, true},
      {Path("second"), 0, kPlatformNT, true},
      {Path("second") + "\r\n", kModeNoLink, kPlatformNT, false},
      {Path("second") + "\r\n", 0, kPlatformWindows9x, false},
      {"\n", 0, kPlatformNT, false},
      {"\r\n" + Path("second"), 0, kPlatformNT, false},
      {"", 0, kPlatformNT, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("'" + c.stream + "'");
    Spill(Path("first") + ":SymLink", c.stream);
    OsVersion.Platform = c.platform;
    TDiskFile file(Path("first").c_str(), 0);
    ASSERT_TRUE(file.Open(c.mode | kModeShareRead));
    const std::string reached = c.redirected ? "second" : "first";
    EXPECT_EQ(file.Data->Redirected, c.redirected);
    EXPECT_STREQ(file.Data->Name, Path(reached).c_str());
    char bytes[16] = {};
    uint32_t got = 0;
    EXPECT_TRUE(file.Read(bytes, sizeof bytes, &got));
    EXPECT_EQ(std::string(bytes, got), reached);
  }
}

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

// A name or link target that does not fit must not open or replace a cut name: that is another
// file. (On Windows the cut file cannot be made, so there the checks cannot tell the cut from
// the refusal.)
TEST_F(PlainFile, NamesThatDoNotFitFail) {
  const std::string longName = DeepPath(dir_, 520);
  const std::string cutName = longName.substr(0, 511);
  Spill(cutName, "cut");
  TDiskFile opened(longName.c_str(), 0);
  EXPECT_FALSE(opened.Open(0));
  EXPECT_EQ(opened.LastError, kFileNotFound);
  TDiskFile created(longName.c_str(), 0);
  EXPECT_FALSE(created.Create(1));
  EXPECT_EQ(created.LastError, kFileCreateFailed);
  if (fs::exists(cutName)) {
    EXPECT_EQ(Slurp(cutName), "cut");
  }

  // Streams that fill the link buffer of 512 bytes: a target of 511 characters fits, with or
  // without a line end behind the buffer; one character more does not.
  Spill(dir_ / "link", "link");
  const std::string target = DeepPath(dir_, 511);
  Spill(target, "target");
  struct Case {
    std::string stream;
    int32_t result;
  } cases[] = {
      {target, kFileOk},
      {target + "\r\n", kFileOk},
      {target + "\n", kFileOk},
      {target + "x", kFileNotFound},
      {target + "x\r\n", kFileNotFound},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.stream.size());
    if (c.result == kFileOk && !fs::exists(target)) continue;
    Spill(Path("link") + ":SymLink", c.stream);
    TDiskFile file(Path("link").c_str(), 0);
    EXPECT_EQ(file.Open(0), c.result == kFileOk);
    EXPECT_EQ(file.LastError, c.result);
    void* handle = nullptr;
    char small[64];
    EXPECT_EQ(OpenExistingFile(Path("link").c_str(), 0, &handle, small, sizeof small, nullptr),
              kFileNotFound);
    EXPECT_EQ(handle, nullptr);
  }
}

TEST_F(PlainFile, SharingFollowsTheOpenMode) {
  Spill(dir_ / "f", "data");
  struct Case {
    uint16_t first, second;
    int32_t result;
  } cases[] = {
      {0x20, 0x20, kFileOk},           {0x22, 0x22, kFileAccessDenied},
      {0x22, 0x20, kFileAccessDenied}, {0x40, 0x42, kFileOk},
      {0x42, 0x42, kFileOk},           {0x10, 0x40, kFileAccessDenied},
      {0x00, 0x40, kFileAccessDenied}, {0x50, 0x40, kFileAccessDenied},
      {0x70, 0x40, kFileAccessDenied}, {0x30, 0x31, kFileAccessDenied},
      {0x41, 0x31, kFileOk},           {0x43, 0x00, kFileOk},
      {0x40, 0x03, kFileOk},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << std::hex << c.first << " then " << c.second);
    void* first = nullptr;
    void* second = nullptr;
    ASSERT_EQ(OpenExistingFile(Path("f").c_str(), c.first, &first, nullptr, 0, nullptr), kFileOk);
    EXPECT_EQ(OpenExistingFile(Path("f").c_str(), c.second, &second, nullptr, 0, nullptr),
              c.result);
    if (second != nullptr) CloseHandle(second);
    CloseHandle(first);
  }
}

TEST_F(PlainFile, CreateReplacesAHiddenFile) {
  Spill(dir_ / "hidden", "old contents");
  if (!SetFileAttributesA(Path("hidden").c_str(), FILE_ATTRIBUTE_HIDDEN) ||
      (GetFileAttributesA(Path("hidden").c_str()) & FILE_ATTRIBUTE_HIDDEN) == 0)
    GTEST_SKIP() << "this file system keeps no hidden attribute";
  TDiskFile file(Path("hidden").c_str(), kFileNoMapping);
  ASSERT_TRUE(file.Create(kModeWrite));
  EXPECT_TRUE(file.Write("new", 3, nullptr));
  EXPECT_TRUE(file.Close());
  EXPECT_EQ(Slurp(dir_ / "hidden"), "new");
#ifndef _WIN32
  // Windows refuses the first attempt; Wine overwrites hidden files and keeps them hidden.
  EXPECT_EQ(GetFileAttributesA(Path("hidden").c_str()) & FILE_ATTRIBUTE_HIDDEN, 0u);
  EXPECT_EQ(winposix::RecordedCreateFiles().size(), 2u);
#endif
}

#ifndef _WIN32
// What the system is asked for: access, sharing, flags and the compression request.
TEST_F(PlainFile, SystemRequestsFromModeOptionsAndSwitches) {
  struct Case {
    std::vector<std::string> options;
    bool create;
    uint16_t mode;
    uint32_t objectOptions;
    unsigned access, share, flags;
    bool compressed;
  };
  constexpr unsigned R = GENERIC_READ, W = GENERIC_WRITE, SR = FILE_SHARE_READ,
                     SW = FILE_SHARE_WRITE, N = FILE_ATTRIBUTE_NORMAL,
                     SEQ = FILE_FLAG_SEQUENTIAL_SCAN;
  const Case cases[] = {
      {{}, false, 0x400, kFileNoMapping, R, 0, N | SEQ, false},
      {{Opt(kOptSeqScan)}, false, 0x22, kFileNoMapping, R | W, SR, N | SEQ, false},
      {{}, true, 0x31, kFileNoMapping | kFileTemporary, W, SW, FILE_ATTRIBUTE_TEMPORARY, false},
      {{}, true, 0x41, kFileNoMapping | kFileCompress, R | W, SR | SW, N, true},
      {{Opt(kOptCompress)}, true, 0x03, kFileNoMapping, 0, 0, N, true},
      {{}, true, 0x01, 0, R | W, 0, N, false}, // mapped: reads too
  };
  Spill(dir_ / "f", "data");
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << std::hex << c.mode << " " << c.objectOptions);
    SetOptions(c.options);
    winposix::ClearFileRecords();
    TDiskFile file(Path("f").c_str(), c.objectOptions);
    ASSERT_TRUE(c.create ? file.Create(c.mode) : file.Open(c.mode | kModeNoLink));
    const auto calls = winposix::RecordedCreateFiles();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].access, c.access);
    EXPECT_EQ(calls[0].share, c.share);
    EXPECT_EQ(calls[0].flags, c.flags);
    EXPECT_EQ(calls[0].disposition, c.create ? unsigned{CREATE_ALWAYS} : unsigned{OPEN_EXISTING});
    const auto controls = winposix::RecordedDeviceControls();
    ASSERT_EQ(controls.size(), c.compressed ? 1u : 0u);
    if (c.compressed) {
      EXPECT_EQ(controls[0].code, 0x9C040u);
      EXPECT_EQ(controls[0].input, 1u);
    }
  }
}
#endif

} // namespace
