// Child processes over posix_spawn: creation from a Windows command line, waiting, exit codes,
// ending them and their processor times.
#include "winposix/internal.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <strings.h>
#include <fcntl.h>
#include <mutex>
#include <poll.h>
#include <set>
#include <spawn.h>
#include <string>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace {

struct ChildRecord {
  pid_t pid = 0;
  int waitFd = -1; // a pidfd, readable once the child has ended; -1 where the kernel lacks them
  bool ended = false;
  DWORD exitCode = STILL_ACTIVE;
  bool terminated = false;
  DWORD terminatedWith = 0;
  int references = 2; // the process handle and the thread handle
};

std::mutex childrenLock;
std::set<ChildRecord*>& Children() {
  static auto* children = new std::set<ChildRecord*>;
  return *children;
}

const char* imageLoader = nullptr;

ChildRecord* ChildOf(HANDLE handle) {
  auto* record = static_cast<ChildRecord*>(handle);
  return Children().count(record) != 0 ? record : nullptr;
}

// The code Windows reports for a process that a fault or Ctrl+C ended.
DWORD CodeForSignal(int signal) {
  switch (signal) {
  case SIGINT:
    return STATUS_CONTROL_C_EXIT;
  case SIGSEGV:
  case SIGBUS:
    return EXCEPTION_ACCESS_VIOLATION;
  case SIGILL:
    return EXCEPTION_ILLEGAL_INSTRUCTION;
  case SIGFPE:
    return EXCEPTION_INT_DIVIDE_BY_ZERO;
  default:
    return 128 + static_cast<DWORD>(signal);
  }
}

// Collects the child's end without waiting (childrenLock held); true once it has ended.
bool Reap(ChildRecord* child) {
  if (child->ended) return true;
  int status = 0;
  const pid_t got = waitpid(child->pid, &status, WNOHANG);
  if (got == 0) return false;
  child->ended = true;
  if (got < 0)
    child->exitCode = 0; // reaped elsewhere: nothing more can be known
  else if (child->terminated)
    child->exitCode = child->terminatedWith;
  else if (WIFEXITED(status))
    child->exitCode = static_cast<DWORD>(WEXITSTATUS(status));
  else
    child->exitCode = CodeForSignal(WTERMSIG(status));
  return true;
}

// The Windows rules for splitting a command line: blanks separate arguments outside quotes;
// 2n backslashes before a quote give n and the quote toggles quoting, 2n+1 give n and a quote.
std::vector<std::string> SplitCommandLine(const char* line) {
  std::vector<std::string> args;
  const char* at = line;
  while (true) {
    while (*at == ' ' || *at == '\t') ++at;
    if (*at == 0) return args;
    std::string arg;
    bool quoted = false;
    for (; *at != 0 && (quoted || (*at != ' ' && *at != '\t')); ++at) {
      size_t slashes = 0;
      while (at[slashes] == '\\') ++slashes;
      if (at[slashes] == '"') {
        arg.append(slashes / 2, '\\');
        at += slashes;
        if (slashes % 2 == 1)
          arg += '"';
        else
          quoted = !quoted;
      } else if (slashes > 0) {
        arg.append(slashes, '\\');
        at += slashes - 1;
      } else {
        arg += *at;
      }
    }
    args.push_back(arg);
  }
}

bool IsWindowsImage(const std::string& path) {
  char magic[2] = {};
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool image = read(fd, magic, 2) == 2 && magic[0] == 'M' && magic[1] == 'Z';
  close(fd);
  return image;
}

// The file a Windows program name stands for here.
std::string ProgramFile(std::string name) {
  const size_t length = name.size();
  if (access(name.c_str(), X_OK) != 0 && length > 4 &&
      strcasecmp(name.c_str() + length - 4, ".exe") == 0) {
    std::string bare = name.substr(0, length - 4);
    if (access(bare.c_str(), X_OK) == 0) return bare;
  }
  return name;
}

} // namespace

void winposix::SetImageLoader(const char* path) {
  imageLoader = path;
}

const char* winposix::ImageLoader() {
  return imageLoader;
}

extern "C" BOOL WINAPI CreateProcessA(LPCSTR applicationName, LPSTR commandLine,
                                      LPSECURITY_ATTRIBUTES, LPSECURITY_ATTRIBUTES, BOOL, DWORD,
                                      LPVOID environment, LPCSTR currentDirectory, LPSTARTUPINFOA,
                                      LPPROCESS_INFORMATION information) {
  std::vector<std::string> args = SplitCommandLine(commandLine != nullptr ? commandLine : "");
  if (applicationName == nullptr && args.empty()) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  std::string program = ProgramFile(applicationName != nullptr ? applicationName : args[0]);
  if (args.empty()) args.push_back(program);
  if (access(program.c_str(), F_OK) != 0) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return FALSE;
  }
  if (imageLoader != nullptr && IsWindowsImage(program)) {
    args.insert(args.begin(), imageLoader);
    args[1] = program;
    program = imageLoader;
  }
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  // A Windows environment block: "name=value" texts one after another, an empty one last.
  std::vector<char*> envp;
  for (char* at = static_cast<char*>(environment); at != nullptr && *at != 0;
       at += std::strlen(at) + 1)
    envp.push_back(at);
  envp.push_back(nullptr);
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  // The child starts with the signal actions a new process has, whatever this one changed.
  sigset_t all;
  sigfillset(&all);
  posix_spawnattr_setsigdefault(&attributes, &all);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (currentDirectory != nullptr) posix_spawn_file_actions_addchdir_np(&actions, currentDirectory);
  pid_t pid = 0;
  const int failed = posix_spawn(&pid, program.c_str(), &actions, &attributes, argv.data(),
                                 environment != nullptr ? envp.data() : environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  if (failed != 0) {
    SetLastError(failed == ENOENT ? ERROR_FILE_NOT_FOUND : ERROR_ACCESS_DENIED);
    return FALSE;
  }
  auto* child = new ChildRecord;
  child->pid = pid;
  child->waitFd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
  {
    std::lock_guard<std::mutex> hold(childrenLock);
    Children().insert(child);
  }
  if (information != nullptr)
    *information = {child, child, static_cast<DWORD>(pid), static_cast<DWORD>(pid)};
  else
    child->references = 0; // nobody holds a handle; the record stays for the reaping
  return TRUE;
}

namespace winposix {

bool IsChildHandle(HANDLE handle) {
  std::lock_guard<std::mutex> hold(childrenLock);
  return ChildOf(handle) != nullptr;
}

bool CloseChildHandle(HANDLE handle) {
  std::lock_guard<std::mutex> hold(childrenLock);
  ChildRecord* child = ChildOf(handle);
  if (child == nullptr) return false;
  if (--child->references <= 0) {
    Reap(child);
    if (child->waitFd >= 0) close(child->waitFd);
    Children().erase(child);
    delete child;
  }
  return true;
}

DWORD WaitForChild(HANDLE handle, DWORD milliseconds) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
  while (true) {
    int waitFd;
    {
      std::lock_guard<std::mutex> hold(childrenLock);
      ChildRecord* child = ChildOf(handle);
      if (child == nullptr) return WAIT_FAILED;
      if (Reap(child)) return WAIT_OBJECT_0;
      waitFd = child->waitFd;
    }
    int left = -1;
    if (milliseconds != INFINITE) {
      const auto rest = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (rest.count() <= 0) return WAIT_TIMEOUT;
      left = static_cast<int>(rest.count());
    }
    // A pidfd is readable once the child has ended; without one, look again every 10 ms.
    if (waitFd >= 0) {
      pollfd ready = {waitFd, POLLIN, 0};
      poll(&ready, 1, left);
    } else {
      usleep(static_cast<useconds_t>(left < 0 || left > 10 ? 10 : left) * 1000);
    }
  }
}

// User and kernel time of a child in 100-ns units, from /proc (fields 14 and 15, in ticks).
bool ChildTimes(HANDLE handle, uint64_t* kernel, uint64_t* user) {
  pid_t pid;
  {
    std::lock_guard<std::mutex> hold(childrenLock);
    ChildRecord* child = ChildOf(handle);
    if (child == nullptr || child->ended) return false;
    pid = child->pid;
  }
  const std::string line = ReadSystemFile(("/proc/" + std::to_string(pid) + "/stat").c_str());
  const size_t close = line.rfind(')');
  if (close == std::string::npos) return false;
  unsigned long long ticks[2] = {};
  const char* at = line.c_str() + close + 1;
  for (int field = 3; field <= 15 && *at != 0; ++field) {
    while (*at == ' ') ++at;
    if (field >= 14) ticks[field - 14] = strtoull(at, nullptr, 10);
    while (*at != ' ' && *at != 0) ++at;
  }
  const uint64_t perTick = 10000000 / static_cast<uint64_t>(sysconf(_SC_CLK_TCK));
  *user = ticks[0] * perTick;
  *kernel = ticks[1] * perTick;
  return true;
}

} // namespace winposix

extern "C" BOOL WINAPI GetExitCodeProcess(HANDLE process, LPDWORD code) {
  std::lock_guard<std::mutex> hold(childrenLock);
  ChildRecord* child = ChildOf(process);
  if (child == nullptr || code == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  Reap(child);
  *code = child->exitCode;
  return TRUE;
}

extern "C" BOOL WINAPI TerminateProcess(HANDLE process, UINT code) {
  std::lock_guard<std::mutex> hold(childrenLock);
  ChildRecord* child = ChildOf(process);
  if (child == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (Reap(child)) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  child->terminated = true;
  child->terminatedWith = code;
  kill(child->pid, SIGKILL);
  return TRUE;
}
