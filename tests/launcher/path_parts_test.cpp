#include "runtime/platform/path_parts.h"

#include "runtime/memory/memory.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(SplitPath, Parts) {
  struct Case {
    const char* path;
    const char *drive, *dir, *name, *ext;
  } cases[] = {
      {"C:\\dir\\sub\\file.ext", "C:", "\\dir\\sub\\", "file", ".ext"},
      {"\\\\server\\share\\a.b.c", "\\\\server\\share", "\\", "a.b", ".c"},
      {"file", "", "", "file", ""},
      {"c:file.txt", "c:", "", "file", ".txt"},
      {"C:", "C:", "", "", ""},
      {"1:\\x", "", "1:\\", "x", ""},
      {"\\\\server", "\\\\server", "", "", ""},
      {"\\\\server\\share", "\\\\server\\share", "", "", ""},
      {"\\\\srv.corp\\share.x\\dir\\f", "\\\\srv.corp\\share.x", "\\dir\\", "f", ""},
      {"\\\\server\\share\\", "\\\\server\\share", "\\", "", ""},
      {"C:\\dir.d\\file", "C:", "\\dir.d\\", "file", ""},
      {"C:\\dir\\.profile", "C:", "\\dir\\", "", ".profile"},
      {"C:\\dir\\file.", "C:", "\\dir\\", "file", "."},
      {"/tmp/run/CvLaunch.exe", "", "/tmp/run/", "CvLaunch", ".exe"},
      {"C:/dir\\sub/x.y", "C:", "/dir\\sub/", "x", ".y"},
      {"//server/share/a.b", "//server/share", "/", "a", ".b"},
      {"\xE9:\\x", "", "\xE9:\\", "x", ""}, // an accented letter is no drive letter
      {"", "", "", "", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    char drive[64], dir[64], name[64], ext[64];
    EXPECT_TRUE(SplitPath(c.path, drive, sizeof drive, dir, sizeof dir, name, sizeof name, ext,
                          sizeof ext));
    EXPECT_STREQ(drive, c.drive);
    EXPECT_STREQ(dir, c.dir);
    EXPECT_STREQ(name, c.name);
    EXPECT_STREQ(ext, c.ext);
  }
}

TEST(SplitPath, OptionalAndSmallOutputs) {
  char drive[3] = "zz", dir[4] = "zzz", name[8] = "zzzzzzz", ext[8] = "zzzzzzz";
  EXPECT_FALSE(
      SplitPath(nullptr, drive, sizeof drive, dir, sizeof dir, name, sizeof name, ext, sizeof ext));
  EXPECT_STREQ(drive, "");
  EXPECT_STREQ(dir, "");
  EXPECT_STREQ(name, "");
  EXPECT_STREQ(ext, "");

  // Parts are cut to their buffers; skipped outputs stay untouched.
  char guard[4] = "abc";
  EXPECT_TRUE(SplitPath("D:\\long\\directory\\filename.extension", drive, sizeof drive, dir,
                        sizeof dir, nullptr, 0, guard, 0));
  EXPECT_STREQ(drive, "D:");
  EXPECT_STREQ(dir, "\\lo");
  EXPECT_STREQ(guard, "abc");
  EXPECT_TRUE(SplitPath("D:\\x\\filename.extension", nullptr, 0, nullptr, 0, name, sizeof name, ext,
                        sizeof ext));
  EXPECT_STREQ(name, "filenam");
  EXPECT_STREQ(ext, ".extens");
}

TEST(PathParts, LongPathsKeepEveryPart) {
  InitMem();
  struct Case {
    std::string dir, name, ext;
  } cases[] = {
      {"\\", "CvLaunch", ".exe"},
      {"\\" + std::string(9000, 'd') + "\\", "name", ".ext"},
      {"\\d\\", std::string(9000, 'n'), ".exe"},
      {"\\d\\", "n", "." + std::string(8100, 'e')},
      {"\\" + std::string(4000, 'a') + "\\", std::string(4100, 'b'), ".c"},
  };
  for (const Case& c : cases) {
    const std::string path = "C:" + c.dir + c.name + c.ext;
    SCOPED_TRACE(path.size());
    PathParts parts(path.c_str());
    EXPECT_STREQ(parts.Drive(), "C:");
    EXPECT_EQ(parts.Dir(), c.dir);
    EXPECT_EQ(parts.Name(), c.name);
    EXPECT_EQ(parts.Ext(), c.ext);
    EXPECT_EQ(parts.NameAndExt(), c.name + c.ext);
    EXPECT_EQ(parts.NameAndExt(), c.name + c.ext) << "a second query";
  }
  PathParts none(nullptr);
  EXPECT_STREQ(none.NameAndExt(), "");
}

} // namespace
