#include "runtime/platform/launcher.h"
#include "runtime/platform/path_parts.h"

#include "runtime/memory/memory.h"
#include "winposix/win32.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#ifndef _WIN32
#include "tests/support/system_exports.h"
#endif

namespace {

DWORD RunAndWait(const std::string& program) {
  STARTUPINFOA startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process = {};
  DWORD code = 100;
  if (!CreateProcessA(program.c_str(), nullptr, nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                      &startup, &process))
    return code;
  WaitForSingleObject(process.hProcess, INFINITE);
  GetExitCodeProcess(process.hProcess, &code);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return code;
}

// With CALVISTO_PROBE_NAME set this program runs CALVISTO_CHAIN's first program ("|" between)
// with the rest, ending with its exit code; the last, itself, probes: bit 0 of its code on
// Windows 98, bit 1 on XP (both on Windows), without the function CALVISTO_PROBE_REMOVE names.
const bool roleTaken = [] {
  const char *name = std::getenv("CALVISTO_PROBE_NAME"), *chainText = std::getenv("CALVISTO_CHAIN");
  if (name == nullptr) return false;
  if (chainText != nullptr) {
    const std::string chain = chainText;
    const size_t bar = chain.find('|');
    SetEnvironmentVariableA("CALVISTO_CHAIN", bar == std::string::npos ? nullptr : &chain[bar + 1]);
    ExitProcess(RunAndWait(chain.substr(0, bar)));
  }
  InitMem();
#ifdef _WIN32
  ExitProcess(StartedFromLauncherNamed(name) ? 3 : 0);
#else
  if (const char* remove = std::getenv("CALVISTO_PROBE_REMOVE")) RemoveSystemExport(remove);
  winposix::SetVersion({VER_PLATFORM_WIN32_WINDOWS, 4, 10, 2222, " A "});
  const bool windows9x = StartedFromLauncherNamed(name);
  winposix::SetVersion({VER_PLATFORM_WIN32_NT, 5, 1, 2600, "Service Pack 2"});
  ExitProcess((windows9x ? 1 : 0) | (StartedFromLauncherNamed(name) ? 2 : 0));
#endif
}();

// The probe under copies of this program named as listed: only its parent, the last, counts.
TEST(StartedFromLauncher, AnswersForTheParentOfTheProcess) {
  InitMem(); // this test program is started by the test runner, never by the launcher
  EXPECT_FALSE(StartedFromLauncher());
  EXPECT_FALSE(StartedFromLauncherNamed(""));
  EXPECT_FALSE(StartedFromLauncherNamed(nullptr));
  char self[1024];
  ASSERT_GT(GetModuleFileNameA(nullptr, self, sizeof self), 0u);
  const std::string id = std::to_string(GetCurrentProcessId()), name = "Launch" + id + ".exe";
  const std::filesystem::path folder = std::filesystem::temp_directory_path() / ("calvisto-" + id);
  // Bit 0: the answer on Windows 98, bit 1 on Windows XP.
  // clang-format off
  const std::tuple<std::vector<std::string>, const char*, DWORD> cases[] = {
      {{name}, "", 3}, {{"lAUNCH" + id + ".eXE"}, "", 3}, {{"Other.exe"}, "", 0},
      {{name, "Other.exe"}, "", 0}, {{name, name}, "", 3},
      {{name}, "NtQueryInformationProcess", 1}, {{name}, "EnumProcesses", 1},
      {{name}, "OpenProcess", 1}, {{name}, "Process32Next", 2}};
  // clang-format on
  SetEnvironmentVariableA("CALVISTO_PROBE_NAME", name.c_str());
  int n = 0;
  for (const auto& [files, remove, answer] : cases) {
#ifdef _WIN32
    if (*remove != 0) continue;
#endif
    std::string chain;
    for (const std::string& file : files) {
      const std::filesystem::path copy = folder / std::to_string(++n) / file;
      std::filesystem::create_directories(copy.parent_path());
      std::filesystem::copy_file(self, copy);
      chain += copy.string() + "|";
    }
    SCOPED_TRACE(chain + remove);
    SetEnvironmentVariableA("CALVISTO_CHAIN", (chain + self).c_str());
    SetEnvironmentVariableA("CALVISTO_PROBE_REMOVE", *remove != 0 ? remove : nullptr);
    EXPECT_EQ(RunAndWait(self), answer);
  }
  SetEnvironmentVariableA("CALVISTO_PROBE_NAME", nullptr);
  std::filesystem::remove_all(folder);
}

// Each path is its parts put together: drive, directory, name and extension.
TEST(PathParts, SplitPathAndPathPartsAgree) {
  InitMem();
  // paths.txt: the parts, "|" between; and paths no text file holds well.
  std::vector<std::vector<std::string>> cases = {
      {"", "\xE9:\\", "x", ""}, // an accented letter is no drive letter
      {"C:", std::string(1, '\\').append(9000, 'd') + "\\", "name", ".ext"},
      {"C:", std::string(1, '\\').append(4000, 'a') + "\\", std::string(4100, 'b'), ".c"}};
  std::ifstream file(std::string(__FILE__).substr(0, std::string(__FILE__).find_last_of("/\\")) +
                     "/paths.txt");
  for (std::string line; std::getline(file, line);) {
    std::istringstream parts(line);
    cases.emplace_back(4);
    for (std::string& part : cases.back()) std::getline(parts, part, '|');
  }
  ASSERT_GT(cases.size(), 10u);
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
