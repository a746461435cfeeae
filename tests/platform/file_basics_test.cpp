#include "runtime/platform/file_basics.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

namespace fs = std::filesystem;

namespace {

TEST(RemoveFile, ResultCodes) {
  const fs::path dir = fs::temp_directory_path() / "calvisto_remove_file";
  fs::remove_all(dir);
  fs::create_directories(dir / "folder");
  std::ofstream(dir / "plain") << "x";
  std::ofstream(dir / "locked") << "x";
  fs::permissions(dir / "locked", fs::perms::owner_read); // read-only
  struct Case {
    fs::path name;
    int32_t result;
    bool remains;
  } cases[] = {
      {dir / "plain", kFileOk, false},
      {dir / "plain", kFileNotFound, false},
      {dir / "missing" / "plain", kFilePathNotFound, false},
      {dir / "folder", kFileAccessDenied, true},
      {dir / "locked", kFileAccessDenied, true},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(RemoveFile(c.name.string().c_str()), c.result) << c.name;
    EXPECT_EQ(fs::exists(c.name), c.remains) << c.name;
  }
  EXPECT_EQ(RemoveFile(nullptr), kFileNotFound);
  fs::permissions(dir / "locked", fs::perms::owner_all);
  fs::remove_all(dir);
}

} // namespace
