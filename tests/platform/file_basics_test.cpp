#include "runtime/platform/file_basics.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

namespace fs = std::filesystem;

namespace {

// The system's answers as the runtime's result codes.
TEST(RemoveFile, ResultCodes) {
  const fs::path dir = fs::temp_directory_path() / "calvisto_remove_file";
  fs::remove_all(dir);
  fs::create_directories(dir / "folder");
  std::ofstream(dir / "plain") << "x";
  const std::tuple<fs::path, int32_t, bool> cases[] = {
      {dir / "plain", kFileOk, false},
      {dir / "plain", kFileNotFound, false},
      {dir / "missing" / "plain", kFilePathNotFound, false},
      {dir / "folder", kFileAccessDenied, true}};
  for (const auto& [name, result, remains] : cases) {
    EXPECT_EQ(RemoveFile(name.string().c_str()), result) << name;
    EXPECT_EQ(fs::exists(name), remains) << name;
  }
  EXPECT_EQ(RemoveFile(nullptr), kFileNotFound);
  fs::remove_all(dir);
}

} // namespace
