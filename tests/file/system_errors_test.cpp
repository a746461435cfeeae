// The error codes of the system's file and mapping functions that the file object relies on,
// the same from the Win32 layer as from Windows (under Wine).
#include "tests/file/file_fixture.h"

namespace {

using namespace filetest;

class SystemErrors : public FileTest {
protected:
  HANDLE Open(const std::string& name, DWORD access) {
    HANDLE file = CreateFileA(Path(name).c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    EXPECT_NE(file, INVALID_HANDLE_VALUE) << name;
    return file;
  }
};

TEST_F(SystemErrors, Mappings) {
  Spill(dir_ / "empty", "");
  Spill(dir_ / "ten", "0123456789");
  HANDLE empty = Open("empty", GENERIC_READ | GENERIC_WRITE);
  HANDLE reader = Open("ten", GENERIC_READ);
  HANDLE writer = Open("ten", GENERIC_READ | GENERIC_WRITE);
  struct Case {
    const char* name;
    HANDLE file;
    DWORD protect, size;
    DWORD error; // 0: the mapping is made
  } cases[] = {
      {"empty file, its own size", empty, PAGE_READONLY, 0, ERROR_FILE_INVALID},
      {"read-only beyond the file", reader, PAGE_READONLY, 100, ERROR_NOT_ENOUGH_MEMORY},
      {"writable on a reading handle", reader, PAGE_READWRITE, 100, ERROR_ACCESS_DENIED},
      {"read-only, the file's size", reader, PAGE_READONLY, 0, 0},
      {"writable beyond the file", writer, PAGE_READWRITE, 65536 * 2, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SetLastError(0);
    HANDLE mapping = CreateFileMappingA(c.file, nullptr, c.protect, 0, c.size, nullptr);
    EXPECT_EQ(mapping == nullptr ? GetLastError() : 0u, c.error);
    if (mapping != nullptr) CloseHandle(mapping);
  }
  // The writable mapping made the file as long as itself.
  DWORD high = 1;
  EXPECT_EQ(GetFileSize(writer, &high), 65536u * 2);
  EXPECT_EQ(high, 0u);

  HANDLE mapping = CreateFileMappingA(writer, nullptr, PAGE_READWRITE, 0, 0, nullptr);
  HANDLE readOnly = CreateFileMappingA(reader, nullptr, PAGE_READONLY, 0, 0, nullptr);
  ASSERT_NE(mapping, nullptr);
  ASSERT_NE(readOnly, nullptr);
  struct View {
    const char* name;
    HANDLE mapping;
    DWORD access, offset;
    SIZE_T bytes;
    DWORD error;
  } views[] = {
      {"not on a granule", mapping, FILE_MAP_WRITE, 4096, 4096, ERROR_MAPPED_ALIGNMENT},
      {"at the end", mapping, FILE_MAP_WRITE, 65536 * 2, 0, ERROR_INVALID_PARAMETER},
      {"writing a read-only mapping", readOnly, FILE_MAP_WRITE, 0, 10, ERROR_ACCESS_DENIED},
      {"second window", mapping, FILE_MAP_WRITE, 65536, 65536, 0},
  };
  for (const View& v : views) {
    SCOPED_TRACE(v.name);
    SetLastError(0);
    void* view = MapViewOfFile(v.mapping, v.access, 0, v.offset, v.bytes);
    EXPECT_EQ(view == nullptr ? GetLastError() : 0u, v.error);
    if (view != nullptr) UnmapViewOfFile(view);
  }
  EXPECT_FALSE(UnmapViewOfFile(&high));
  EXPECT_EQ(GetLastError(), DWORD{ERROR_INVALID_ADDRESS});

  // Pointer moves: a negative one fails, one of all ones is told from a failure.
  SetLastError(0);
  EXPECT_EQ(SetFilePointer(writer, -1, nullptr, FILE_BEGIN), INVALID_SET_FILE_POINTER);
  EXPECT_EQ(GetLastError(), DWORD{ERROR_NEGATIVE_SEEK});
  LONG seekHigh = 0;
  SetLastError(ERROR_GEN_FAILURE);
  EXPECT_EQ(SetFilePointer(writer, -1, &seekHigh, FILE_BEGIN), INVALID_SET_FILE_POINTER);
  EXPECT_EQ(GetLastError(), DWORD{NO_ERROR});
  EXPECT_EQ(seekHigh, 0);

  // A view, or a mapping object, keeps the file from being cut below its end; without them the
  // file is cut.
  void* view = MapViewOfFile(mapping, FILE_MAP_WRITE, 0, 65536, 65536);
  ASSERT_NE(view, nullptr);
  CloseHandle(mapping);
  SetFilePointer(writer, 10, nullptr, FILE_BEGIN);
  EXPECT_FALSE(SetEndOfFile(writer));
  EXPECT_EQ(GetLastError(), DWORD{ERROR_USER_MAPPED_FILE});
  EXPECT_TRUE(UnmapViewOfFile(view));
  EXPECT_FALSE(SetEndOfFile(writer));
  EXPECT_EQ(GetLastError(), DWORD{ERROR_USER_MAPPED_FILE});
  CloseHandle(readOnly);
  EXPECT_TRUE(SetEndOfFile(writer));
  EXPECT_EQ(GetFileSize(writer, nullptr), 10u);
  EXPECT_FALSE(SetEndOfFile(reader)); // Windows: access denied; Wine: invalid parameter
  for (HANDLE h : {empty, reader, writer}) CloseHandle(h);
}

} // namespace
