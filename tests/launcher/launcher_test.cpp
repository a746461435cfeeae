#include "runtime/platform/launcher.h"

#include "runtime/memory/memory.h"
#include "winposix/win32.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <tuple>
#include <vector>

#ifndef _WIN32
#include "tests/support/system_exports.h"
#endif

namespace {

DWORD RunAndWait(const std::string& program) {
  STARTUPINFOA startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process = {};
  DWORD code = 100;
  if (CreateProcessA(program.c_str(), nullptr, nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                     &startup, &process)) {
    WaitForSingleObject(process.hProcess, INFINITE);
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
  }
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
  const std::tuple<std::vector<std::string>, const char*, DWORD> cases[] = {
      {{name}, "", 3},
      {{"lAUNCH" + id + ".eXE"}, "", 3},
      {{"Other.exe"}, "", 0},
      {{name, "Other.exe"}, "", 0},
      {{name, name}, "", 3},
#ifndef _WIN32
      {{name}, "NtQueryInformationProcess", 1},
      {{name}, "EnumProcesses", 1},
      {{name}, "OpenProcess", 1},
      {{name}, "Process32Next", 2},
#endif
  };
  SetEnvironmentVariableA("CALVISTO_PROBE_NAME", name.c_str());
  int n = 0;
  for (const auto& [files, remove, answer] : cases) {
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

} // namespace
