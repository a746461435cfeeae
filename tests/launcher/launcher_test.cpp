#include "runtime/platform/launcher.h"

#include "runtime/memory/memory.h"
#include "winposix/win32.h"

#include <gtest/gtest.h>

#ifndef _WIN32
#include "tests/support/system_exports.h"
#include "winposix/testctl.h"

#include <filesystem>
#include <fcntl.h>
#include <spawn.h>
#include <stdlib.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;
#else
#include <string>
#endif

namespace {

#ifndef _WIN32

// This program run as the process under test: started with the launcher's name in
// CALVISTO_PROBE_LAUNCHER, it waits for a line on its input, asks on both platform families
// (without the function named in CALVISTO_PROBE_REMOVE) and writes "<9x><NT>", each 1 or 0.
__attribute__((constructor)) void AnswerAsProbe() {
  const char* launcher = getenv("CALVISTO_PROBE_LAUNCHER");
  const char* remove = getenv("CALVISTO_PROBE_REMOVE");
  char go;
  if (launcher == nullptr) return;
  if (read(0, &go, 1) != 1) _exit(2);
  InitMem();
  if (remove != nullptr && *remove != 0) RemoveSystemExport(remove);
  winposix::SetVersion({VER_PLATFORM_WIN32_WINDOWS, 4, 10, 2222, " A "});
  const bool windows9x = StartedFromLauncherNamed(launcher);
  winposix::SetVersion({VER_PLATFORM_WIN32_NT, 5, 1, 2600, "Service Pack 2"});
  const bool nt = StartedFromLauncherNamed(launcher);
  const char answer[3] = {windows9x ? '1' : '0', nt ? '1' : '0', '\n'};
  _exit(write(1, answer, sizeof answer) == sizeof answer ? 0 : 3);
}

std::string SelfPath() {
  return std::filesystem::read_symlink("/proc/self/exe").string();
}

// A started program with a pipe to its input and one from its output.
struct Process {
  pid_t pid = -1;
  int input = -1, output = -1;
};

Process Start(const std::vector<std::string>& argv) {
  int in[2], out[2];
  EXPECT_EQ(pipe2(in, O_CLOEXEC) | pipe2(out, O_CLOEXEC), 0);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], 0);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  Process p;
  EXPECT_EQ(posix_spawn(&p.pid, args[0], &actions, nullptr, args.data(), environ), 0);
  posix_spawn_file_actions_destroy(&actions);
  close(in[0]);
  close(out[1]);
  p.input = in[1];
  p.output = out[0];
  return p;
}

// Lets the probe ask, and returns what it answered.
std::string Finish(Process& p) {
  EXPECT_EQ(write(p.input, "\n", 1), 1);
  close(p.input);
  std::string answer;
  char chunk[64];
  ssize_t got;
  while ((got = read(p.output, chunk, sizeof chunk)) > 0) answer.append(chunk, got);
  close(p.output);
  int status = 0;
  waitpid(p.pid, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  return answer;
}

// The pid of the launcher enumerated last among the given ones.
pid_t LastEnumerated(const std::vector<pid_t>& launchers) {
  pid_t last = -1;
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  PROCESSENTRY32 entry = {};
  entry.dwSize = sizeof entry;
  for (BOOL more = Process32First(snapshot, &entry); more; more = Process32Next(snapshot, &entry))
    for (pid_t l : launchers)
      if (static_cast<pid_t>(entry.th32ProcessID) == l) last = l;
  CloseHandle(snapshot);
  return last;
}

class LauncherTest : public ::testing::Test {
protected:
  void SetUp() override {
    char pattern[] = "/tmp/calvisto-launcher-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    // The name is this run's own, so launchers of other runs on the machine do not count.
    name_ = "Launch" + std::to_string(getpid()) + ".exe";
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  // A launcher: a shell under the given file name that starts its command as a child.
  std::string Launcher(const std::string& subdir, const std::string& file) {
    const std::filesystem::path path = std::filesystem::path(dir_) / subdir / file;
    std::filesystem::create_directories(path.parent_path());
    std::filesystem::copy_file("/bin/sh", path);
    std::filesystem::permissions(path, std::filesystem::perms::owner_all);
    return path.string();
  }

  // The probe, started by the launcher (a fresh child, not an exec of the shell).
  Process StartProbe(const std::string& launcher, const char* remove = "") {
    setenv("CALVISTO_PROBE_LAUNCHER", name_.c_str(), 1);
    setenv("CALVISTO_PROBE_REMOVE", remove, 1);
    Process probe = Start({launcher, "-c", "\"$0\"; exit $?", SelfPath()});
    unsetenv("CALVISTO_PROBE_LAUNCHER");
    return probe;
  }

  std::string dir_, name_;
};

TEST_F(LauncherTest, AnswersForTheParentOfTheProcess) {
  struct Case {
    const char* what;
    std::string file;
    const char* remove;
    const char* answer;
  } cases[] = {
      {"launcher", name_, "", "11\n"},
      {"upper case", "LAUNCH" + std::to_string(getpid()) + ".EXE", "", "11\n"},
      {"mixed case", "lAuNcH" + std::to_string(getpid()) + ".eXe", "", "11\n"},
      {"other program", "Other.exe", "", "00\n"},
      {"name without extension", "Launch" + std::to_string(getpid()), "", "00\n"},
      {"longer name", "XLaunch" + std::to_string(getpid()) + ".exe", "", "00\n"},
      {"no native query", name_, "NtQueryInformationProcess", "10\n"},
      {"no process list", name_, "EnumProcesses", "10\n"},
      {"no process open", name_, "OpenProcess", "10\n"},
      {"no snapshot walk", name_, "Process32Next", "01\n"},
  };
  // A launcher is running all along: only the probe's own parent may count.
  Process idle = Start({Launcher("idle", name_), "-c", "read line"}); // until its input closes
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Process probe = StartProbe(Launcher(std::to_string(++n), c.file), c.remove);
    // Process ids may wrap around and put the idle launcher last.
    const bool probeLast = LastEnumerated({idle.pid, probe.pid}) == probe.pid;
    EXPECT_EQ(Finish(probe), probeLast ? c.answer : "00\n");
  }
  close(idle.input);
  close(idle.output);
  waitpid(idle.pid, nullptr, 0);
}

TEST_F(LauncherTest, TheLastLauncherEnumeratedIsTheCandidate) {
  Process first = StartProbe(Launcher("a", name_));
  Process second = StartProbe(Launcher("b", name_));
  // Both probes wait for their go, so both launchers are running when they ask.
  const pid_t last = LastEnumerated({first.pid, second.pid});
  ASSERT_NE(last, -1);
  const std::string firstAnswer = Finish(first), secondAnswer = Finish(second);
  EXPECT_EQ(firstAnswer, last == first.pid ? "11\n" : "00\n");
  EXPECT_EQ(secondAnswer, last == second.pid ? "11\n" : "00\n");
}

#else // _WIN32

std::string Variable(const char* name) {
  char value[1024];
  const DWORD length = GetEnvironmentVariableA(name, value, sizeof value);
  return length > 0 && length < sizeof value ? std::string(value, length) : std::string();
}

DWORD RunAndWait(const std::string& program, std::string commandLine) {
  STARTUPINFOA startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process = {};
  if (!CreateProcessA(program.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                      nullptr, &startup, &process))
    return 100;
  WaitForSingleObject(process.hProcess, INFINITE);
  DWORD code = 101;
  GetExitCodeProcess(process.hProcess, &code);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return code;
}

// The roles of this program when the test below starts it: a launcher that starts the probe and
// ends with its exit code, and the probe, which answers with its exit code (1: started from the
// launcher).
const bool roleTaken = [] {
  const std::string role = Variable("CALVISTO_ROLE");
  if (role == "launcher") {
    SetEnvironmentVariableA("CALVISTO_ROLE", "probe");
    ExitProcess(RunAndWait(Variable("CALVISTO_PROBE_EXE"), "probe"));
  }
  if (role == "probe") {
    InitMem();
    ExitProcess(StartedFromLauncherNamed(Variable("CALVISTO_PROBE_NAME").c_str()) ? 1 : 0);
  }
  return false;
}();

TEST(StartedFromLauncher, AnswersForWindowsProcesses) {
  char self[MAX_PATH], temp[MAX_PATH];
  ASSERT_GT(GetModuleFileNameA(nullptr, self, sizeof self), 0u);
  ASSERT_GT(GetTempPathA(sizeof temp, temp), 0u);
  const std::string id = std::to_string(GetCurrentProcessId());
  const std::string name = "Launch" + id + ".exe", folder = temp + ("calvisto-" + id);
  struct Case {
    std::string file;
    DWORD answer;
  } cases[] = {{name, 1}, {"LAUNCH" + id + ".EXE", 1}, {"Other" + id + ".exe", 0}};
  ASSERT_TRUE(CreateDirectoryA(folder.c_str(), nullptr));
  SetEnvironmentVariableA("CALVISTO_PROBE_EXE", self);
  SetEnvironmentVariableA("CALVISTO_PROBE_NAME", name.c_str());
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    const std::string subfolder = folder + "\\" + std::to_string(++n);
    const std::string path = subfolder + "\\" + c.file;
    ASSERT_TRUE(CreateDirectoryA(subfolder.c_str(), nullptr));
    ASSERT_TRUE(CopyFileA(self, path.c_str(), FALSE));
    SetEnvironmentVariableA("CALVISTO_ROLE", "launcher");
    EXPECT_EQ(RunAndWait(path, "launcher"), c.answer);
    SetEnvironmentVariableA("CALVISTO_ROLE", nullptr);
    DeleteFileA(path.c_str());
    RemoveDirectoryA(subfolder.c_str());
  }
  RemoveDirectoryA(folder.c_str());
}

#endif

// This test program is started by the test runner, never by the launcher.
TEST(StartedFromLauncher, NotForATestRun) {
  InitMem();
  EXPECT_FALSE(StartedFromLauncher());
  EXPECT_FALSE(StartedFromLauncherNamed(""));
  EXPECT_FALSE(StartedFromLauncherNamed(nullptr));
}

} // namespace
