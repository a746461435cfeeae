#include "runtime/platform/path_parts.h"

#include "runtime/memory/memory.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// Each path is its parts put together: drive, directory, name and extension.
TEST(PathParts, SplitPathAndPathPartsAgree) {
  InitMem();
  const std::vector<std::vector<std::string>> cases = {
      {"C:", "\\dir\\sub\\", "file", ".ext"},
      {"\\\\server\\share", "\\", "a.b", ".c"},
      {"", "", "file", ""},
      {"c:", "", "file", ".txt"},
      {"C:", "", "", ""},
      {"", "1:\\", "x", ""},
      {"\\\\server", "", "", ""},
      {"\\\\server\\share", "", "", ""},
      {"\\\\srv.corp\\share.x", "\\dir\\", "f", ""},
      {"\\\\server\\share", "\\", "", ""},
      {"C:", "\\dir.d\\", "file", ""},
      {"C:", "\\dir\\", "", ".profile"},
      {"C:", "\\dir\\", "file", "."},
      {"", "/tmp/run/", "CvLaunch", ".exe"},
      {"C:", "/dir\\sub/", "x", ".y"},
      {"//server/share", "/", "a", ".b"},
      {"", "\xE9:\\", "x", ""}, // an accented letter is no drive letter
      {"", "", "", ""},
      {"C:", "\\" + std::string(9000, 'd') + "\\", "name", ".ext"},
      {"C:", "\\" + std::string(4000, 'a') + "\\", std::string(4100, 'b'), ".c"},
  };
  for (const std::vector<std::string>& c : cases) {
    const std::string path = c[0] + c[1] + c[2] + c[3];
    SCOPED_TRACE(path.substr(0, 40));
    for (const uint32_t size : {static_cast<uint32_t>(path.size() + 1), 4u}) { // or cut to fit
      std::vector<std::string> parts(4, std::string(size, 'z'));
      EXPECT_TRUE(SplitPath(path.c_str(), parts[0].data(), size, parts[1].data(), size,
                            parts[2].data(), size, parts[3].data(), size));
      for (size_t i = 0; i < 4; ++i) EXPECT_EQ(parts[i].c_str(), c[i].substr(0, size - 1));
    }
    PathParts split(path.c_str());
    EXPECT_EQ(std::vector<std::string>({split.Drive(), split.Dir(), split.Name(), split.Ext()}), c);
    EXPECT_EQ(split.NameAndExt(), c[2] + c[3]);
    EXPECT_EQ(split.NameAndExt(), c[2] + c[3]) << "a second query";
  }
  EXPECT_STREQ(PathParts(nullptr).NameAndExt(), "");
}

// A skipped output (null or of size 0) stays as it was; a null path empties the others.
TEST(SplitPath, SkippedOutputsAndNullPath) {
  char drive[3] = "zz", dir[4] = "zzz", guard[4] = "abc";
  EXPECT_TRUE(SplitPath("D:\\x\\f.e", nullptr, 0, dir, sizeof dir, nullptr, 9, guard, 0));
  EXPECT_STREQ(dir, "\\x\\");
  EXPECT_STREQ(guard, "abc");
  EXPECT_FALSE(SplitPath(nullptr, drive, sizeof drive, dir, sizeof dir, nullptr, 0, guard, 0));
  EXPECT_EQ(std::string(drive) + dir + guard, "abc");
}

} // namespace
