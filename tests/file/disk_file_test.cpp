// TDiskFile in mapped and plain mode: each behaviour is run in both modes, which must agree,
// and files of several windows round-trip byte for byte.
#include "tests/file/file_fixture.h"

#include <functional>

namespace {

using namespace filetest;

class DiskFile : public FileTest {};

constexpr uint32_t kModes[] = {0, kFileNoMapping}; // mapped, plain

std::string ModeName(uint32_t options) {
  return options == 0 ? "mapped" : "plain";
}

TEST_F(DiskFile, ReadsAtAndPastTheEnd) {
  Spill(dir_ / "ten", "0123456789");
  struct Case {
    uint32_t seek, count;
    bool withOut, result;
    std::string bytes;
    int32_t error;
  } cases[] = {
      {0, 100, true, true, "0123456789", kFileOk},
      {0, 100, false, false, "", kFileReadFailed},
      {4, 3, false, true, "456", kFileOk},
      {10, 5, true, true, "", kFileOk},
      {10, 5, false, false, "", kFileReadFailed},
      {20, 1, true, true, "", kFileOk},
      {3, 0, false, true, "", kFileOk},
  };
  for (uint32_t options : kModes) {
    for (const Case& c : cases) {
      SCOPED_TRACE(ModeName(options) + " at " + std::to_string(c.seek) + " count " +
                   std::to_string(c.count) + (c.withOut ? " with out" : ""));
      TDiskFile file(Path("ten").c_str(), options);
      ASSERT_TRUE(file.Open(kModeRead));
      EXPECT_EQ(file.Data->Mapped, options == 0);
      ASSERT_TRUE(file.Seek(c.seek));
      char buffer[128] = {};
      uint32_t got = 12345;
      EXPECT_EQ(file.Read(buffer, c.count, c.withOut ? &got : nullptr), c.result);
      EXPECT_EQ(file.LastError, c.error);
      if (c.withOut) {
        EXPECT_EQ(std::string(buffer, got), c.bytes);
      }
      if (c.result && !c.withOut) {
        EXPECT_EQ(std::string(buffer), c.bytes);
      }
    }
  }
}

TEST_F(DiskFile, OperationsInBothModes) {
  struct Case {
    std::string name;
    std::function<void(TDiskFile&)> run;
    std::string onDisk; // after Close
  } cases[] = {
      {"ten bytes at 0",
       [](TDiskFile& f) {
         EXPECT_TRUE(f.Write("0123456789", 10, nullptr));
         EXPECT_EQ(f.Size(), 10u);
         EXPECT_EQ(f.Position(), 10u);
       },
       "0123456789"},
      {"write past the end",
       [](TDiskFile& f) {
         EXPECT_TRUE(f.Write("ab", 2, nullptr));
         EXPECT_TRUE(f.Seek(6));
         uint32_t written = 0;
         EXPECT_TRUE(f.Write("z", 1, &written));
         EXPECT_EQ(written, 1u);
         uint64_t size = 0;
         EXPECT_TRUE(f.Size64(&size));
         EXPECT_EQ(size, 7u);
       },
       std::string("ab\0\0\0\0z", 7)},
      {"truncate at the position",
       [](TDiskFile& f) {
         EXPECT_TRUE(f.Write("0123456789", 10, nullptr));
         EXPECT_TRUE(f.Seek64(4, 0));
         EXPECT_TRUE(f.Truncate());
         EXPECT_EQ(f.Size(), 4u);
       },
       "0123"},
      {"16-bit counts",
       [](TDiskFile& f) {
         uint16_t count = 0;
         EXPECT_TRUE(f.Write16("hello", 5, &count));
         EXPECT_EQ(count, 5u);
         EXPECT_TRUE(f.Seek(0));
         char bytes[8] = {};
         EXPECT_TRUE(f.Read16(bytes, 5, &count));
         EXPECT_EQ(count, 5u);
         EXPECT_TRUE(f.Seek(2));
         EXPECT_FALSE(f.Read16(bytes, 5, nullptr));
         EXPECT_EQ(f.LastError, kFileReadFailed);
       },
       "hello"},
  };
  for (uint32_t options : kModes) {
    for (const Case& c : cases) {
      SCOPED_TRACE(ModeName(options) + ": " + c.name);
      TDiskFile file(Path("new").c_str(), options);
      ASSERT_TRUE(file.Create(kModeReadWrite));
      c.run(file);
      EXPECT_TRUE(file.Close());
      EXPECT_EQ(Slurp(dir_ / "new"), c.onDisk);
    }
  }
}

TEST_F(DiskFile, RefusalsAndTheUnopenedObject) {
  Spill(dir_ / "f", "data");
  for (uint32_t options : kModes) {
    SCOPED_TRACE(ModeName(options));
    TDiskFile reader(Path("f").c_str(), options);
    ASSERT_TRUE(reader.Open(kModeRead));
    EXPECT_FALSE(reader.Write("x", 1, nullptr));
    EXPECT_EQ(reader.LastError, kFileAccessDenied);
    EXPECT_FALSE(reader.Position64(nullptr));
    EXPECT_EQ(reader.LastError, kFileArgumentMissing);
    EXPECT_TRUE(reader.Close());
    EXPECT_EQ(Slurp(dir_ / "f"), "data");

    TDiskFile never(Path("f").c_str(), options);
    EXPECT_TRUE(never.Close());
    TDiskFile nameless("", options);
    EXPECT_EQ(nameless.LastError, kFileAccessDenied);
    EXPECT_FALSE(nameless.Open(kModeRead));
  }
}

// While a writable file is mapped it is longer on disk than its data; Close cuts it back.
TEST_F(DiskFile, CloseCutsAMappedFileToItsSize) {
  TDiskFile file(Path("m").c_str(), 0);
  ASSERT_TRUE(file.Create(kModeWrite));
  EXPECT_EQ(file.Data->Mode & kModeAccess, kModeReadWrite);
  ASSERT_TRUE(file.Write("0123456789", 10, nullptr));
  EXPECT_GE(fs::file_size(dir_ / "m"), 65536u);
  EXPECT_TRUE(file.Close());
  EXPECT_EQ(fs::file_size(dir_ / "m"), 10u);
}

// The offset of Seek is unsigned: 2 to 4 GiB is a valid place in a plain file.
TEST_F(DiskFile, PlainSeekBeyondTwoGigabytes) {
  TDiskFile file(Path("sparse").c_str(), kFileNoMapping);
  ASSERT_TRUE(file.Create(kModeReadWrite));
  ASSERT_TRUE(file.Seek(0x90000000u));
  EXPECT_EQ(file.Position(), 0x90000000u);
  EXPECT_TRUE(file.Seek64(0x10, 1));
  uint64_t position = 0;
  EXPECT_TRUE(file.Position64(&position));
  EXPECT_EQ(position, 0x100000010u);
}

void WriteInPieces(TDiskFile& file, const std::string& bytes, uint32_t piece) {
  for (size_t at = 0; at < bytes.size(); at += piece) {
    const uint32_t n = static_cast<uint32_t>(std::min<size_t>(piece, bytes.size() - at));
    ASSERT_TRUE(file.Write(bytes.data() + at, n, nullptr)) << at;
  }
}

std::string ReadInPieces(TDiskFile& file, uint32_t piece) {
  std::string all;
  std::vector<char> buffer(piece);
  uint32_t got = 0;
  while (file.Read(buffer.data(), piece, &got) && got > 0) all.append(buffer.data(), got);
  return all;
}

TEST_F(DiskFile, FilesOfSeveralWindowsRoundTrip) {
  struct Case {
    size_t size;
    uint32_t piece;
  } cases[] = {
      {3 * 65536 + 777, 1000},             // writable window 64 KiB: pieces cross its edges
      {3 * 65536 + 777, 70000},            // pieces longer than a window
      {8 * 1048576 + 4321, 65536 * 3 + 5}, // read window 8 MiB
  };
  for (const Case& c : cases) {
    const std::string bytes = Pattern(c.size, static_cast<unsigned>(c.piece));
    for (uint32_t writer : kModes) {
      for (uint32_t reader : kModes) {
        SCOPED_TRACE(std::to_string(c.size) + " in " + std::to_string(c.piece) + ", written " +
                     ModeName(writer) + ", read " + ModeName(reader));
        TDiskFile out(Path("big").c_str(), writer);
        ASSERT_TRUE(out.Create(kModeWrite));
        WriteInPieces(out, bytes, c.piece);
        ASSERT_TRUE(out.Close());
        ASSERT_EQ(fs::file_size(dir_ / "big"), c.size);
        TDiskFile in(Path("big").c_str(), reader);
        ASSERT_TRUE(in.Open(kModeRead));
        EXPECT_TRUE(ReadInPieces(in, c.piece) == bytes);
      }
    }
  }
}

TEST_F(DiskFile, MappingSwitches) {
  Spill(dir_ / "f", "data");
  struct Case {
    std::string option;
    uint16_t mode;
    bool mapped;
    uint32_t window;
  } cases[] = {
      {"", kModeRead, true, 8 << 20},
      {Opt(kOptSmallView), kModeRead, true, 65536},
      {Opt(kOptSmallView), kModeReadWrite, true, 65536},
      {Opt(kOptNoMap), kModeReadWrite, false, 0},
      {Opt(kOptNoMapRead), kModeRead, false, 0},
      {Opt(kOptNoMapRead), kModeReadWrite, true, 65536},
      {Opt(kOptNoMapWrite), kModeWrite, false, 0},
      {Opt(kOptNoMapWrite), kModeRead, true, 8 << 20},
      {Opt(kOptNoMapReadWrite), kModeReadWrite, false, 0},
      {Opt(kOptNoMapReadWrite), kModeWrite, true, 65536},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.option + " mode " + std::to_string(c.mode));
    SetOptions(c.option.empty() ? std::vector<std::string>{} : std::vector{c.option});
    TDiskFile file(Path("f").c_str(), 0);
    ASSERT_TRUE(file.Open(c.mode));
    EXPECT_EQ(file.Data->Mapped, c.mapped);
    if (c.mapped) {
      EXPECT_EQ(file.Data->Window, c.window);
    }
    char bytes[8] = {};
    if (c.mode != kModeWrite) {
      EXPECT_TRUE(file.Read(bytes, 4, nullptr));
    }
    if (c.mode != kModeWrite) {
      EXPECT_STREQ(bytes, "data");
    }
    // Looked up once: the answer stays when the option goes.
    const FileSwitchCache kept = FileSwitches;
    SetOptions({});
    FileSwitches = kept;
    EXPECT_EQ(FileSwitchOn(kSwitchNoMap), c.option == Opt(kOptNoMap));
  }
}

#ifndef _WIN32
TEST_F(DiskFile, MappingFailures) {
  Spill(dir_ / "f", Pattern(100000));
  // No address space for the first view of a read-only file: plain reads from there on.
  winposix::FailNth(winposix::FailPoint::MapViewOfFile, 1);
  TDiskFile fallback(Path("f").c_str(), 0);
  ASSERT_TRUE(fallback.Open(kModeRead | kModeShareRead));
  std::string all(200000, 0);
  uint32_t got = 0;
  EXPECT_TRUE(fallback.Read(all.data(), 200000, &got));
  EXPECT_EQ(got, 100000u);
  EXPECT_FALSE(fallback.Data->Mapped);
  EXPECT_TRUE(all.substr(0, got) == Pattern(100000));

  // Not at the start, or not for lack of memory: the read fails.
  winposix::FailNth(winposix::FailPoint::MapViewOfFile, 1);
  TDiskFile later(Path("f").c_str(), 0);
  ASSERT_TRUE(later.Open(kModeRead | kModeShareRead));
  ASSERT_TRUE(later.Seek(10));
  EXPECT_FALSE(later.Read(all.data(), 10, nullptr));
  EXPECT_EQ(later.LastError, kFileReadFailed);
  EXPECT_TRUE(later.Data->Mapped);

  winposix::FailNth(winposix::FailPoint::CreateFileMappingA, 1);
  TDiskFile writer(Path("w").c_str(), 0);
  ASSERT_TRUE(writer.Create(kModeWrite));
  EXPECT_FALSE(writer.Write("x", 1, nullptr));
  EXPECT_EQ(writer.LastError, kFileWriteFailed);
  EXPECT_TRUE(writer.Write("y", 1, nullptr));
  EXPECT_TRUE(writer.Close());
  EXPECT_EQ(Slurp(dir_ / "w"), "y");
}
#endif

} // namespace
