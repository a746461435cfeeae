// A fresh folder of real files for every test, the NT family as platform (link streams are
// looked for), and options as given.
#pragma once

#include "runtime/memory/memory.h"
#include "runtime/platform/disk_file.h"
#include "runtime/platform/file_plain.h"
#include "runtime/platform/file_switches.h"
#include "runtime/startup/options.h"
#include "runtime/startup/runtime_state.h"
#include "winposix/win32.h"
#ifndef _WIN32
#include "winposix/testctl.h"
#endif

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace filetest {

namespace fs = std::filesystem;

template <size_t N> std::string Opt(const ScrambledName<N>& name, const std::string& value = "") {
  return "-~" + std::string(PlainName(name)) + (value.empty() ? "" : ":" + value);
}

inline std::string Slurp(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

inline void Spill(const fs::path& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

// Bytes that differ from their neighbours and from their position modulo any window.
inline std::string Pattern(size_t size, unsigned seed) {
  std::string bytes(size, 0);
  for (char& c : bytes) c = static_cast<char>((seed = seed * 1103515245u + 12345u) >> 23);
  return bytes;
}

class FileTest : public ::testing::Test {
protected:
  void SetUp() override {
    // The process id keeps apart runs of the same test from several build folders.
    dir_ = fs::temp_directory_path() /
           ("calvisto_" +
            std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()) + "_" +
            std::to_string(GetCurrentProcessId()));
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

  fs::path dir_;
  std::error_code ignored_;
};

} // namespace filetest
