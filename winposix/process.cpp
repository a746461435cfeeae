// The process: command line, end, identity and processor affinity.
#include "winposix/internal.h"

#include "winposix/fail_env.h"
#include "winposix/testctl.h"

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sched.h>
#include <stdlib.h>
#include <string>
#include <string_view>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

namespace {

// The arguments the process was started with, when its start handed them over.
int keptCount = 0;
char* const* keptArgs = nullptr;

// Windows quoting, which the program's splitting undoes: an argument with a blank, a tab or a
// quote (or an empty one) goes in double quotes, a quote in it is escaped with a backslash, and
// the backslashes before a quote or before the closing quote are doubled.
void AppendArgument(std::string& line, std::string_view arg) {
  if (!line.empty()) line += ' ';
  if (!arg.empty() && arg.find_first_of(" \t\"") == std::string_view::npos) {
    line += arg;
    return;
  }
  line += '"';
  size_t backslashes = 0;
  for (const char c : arg) {
    if (c == '"') line.append(backslashes + 1, '\\');
    backslashes = c == '\\' ? backslashes + 1 : 0;
    line += c;
  }
  line.append(backslashes, '\\');
  line += '"';
}

// From the kept arguments, or else from /proc, which holds the same strings.
std::string BuildCommandLine() {
  std::string line;
  if (keptArgs != nullptr) {
    for (int i = 0; i < keptCount && keptArgs[i] != nullptr; ++i) AppendArgument(line, keptArgs[i]);
    return line;
  }
  const std::string raw = winposix::ReadSystemFile("/proc/self/cmdline");
  size_t start = 0;
  while (start < raw.size()) {
    size_t end = raw.find('\0', start);
    if (end == std::string::npos) end = raw.size();
    AppendArgument(line, std::string_view(raw).substr(start, end - start));
    start = end + 1;
  }
  return line;
}

// Affinity masks hold one bit per processor, as many as a DWORD_PTR has bits.
constexpr int kMaskBits = static_cast<int>(sizeof(DWORD_PTR) * 8);

DWORD_PTR SystemMask() {
  const long count = winposix::OnlineProcessors();
  if (count >= kMaskBits) return ~static_cast<DWORD_PTR>(0);
  return (static_cast<DWORD_PTR>(1) << count) - 1;
}

HANDLE const kCurrentProcess = reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1));

// Gives the mask to every thread listed in /proc/self/task; false when one refused it. A thread
// that ended since the listing has nothing left to pin. The entries are read into the stack:
// opendir would take a 32 KiB block from the heap for them. While the layer has started no
// thread, the process's threads are the caller and the main thread: the listing, which costs more
// than the pinning (procfs builds it anew each time), is left out.
bool SetEveryThreadsAffinity(const cpu_set_t& set) {
  if (winposix::LiveThreads() == 0) {
    if (sched_setaffinity(0, sizeof set, &set) != 0) return false;
    const pid_t main = getpid();
    return gettid() == main || sched_setaffinity(main, sizeof set, &set) == 0;
  }
  const int tasks = open("/proc/self/task", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (tasks < 0) return sched_setaffinity(0, sizeof set, &set) == 0;
  bool ok = true;
  alignas(dirent64) char entries[1024];
  ssize_t got;
  while ((got = getdents64(tasks, entries, sizeof entries)) > 0) {
    for (ssize_t at = 0; at < got;) {
      unsigned short length;
      std::memcpy(&length, entries + at + offsetof(dirent64, d_reclen), sizeof length);
      const int tid = atoi(entries + at + offsetof(dirent64, d_name));
      if (tid > 0 && sched_setaffinity(tid, sizeof set, &set) != 0 && errno != ESRCH) ok = false;
      at += length;
    }
  }
  if (got < 0) ok = false;
  close(tasks);
  return ok;
}

} // namespace

std::string winposix::CommandLineOf(const std::vector<std::string>& args) {
  std::string line;
  for (const std::string& arg : args) AppendArgument(line, arg);
  return line;
}

DWORD_PTR winposix::MaskOfSet(const cpu_set_t& set) {
  DWORD_PTR mask = 0;
  for (int i = 0; i < kMaskBits; ++i)
    if (CPU_ISSET(i, &set)) mask |= static_cast<DWORD_PTR>(1) << i;
  return mask;
}

cpu_set_t winposix::SetOfMask(DWORD_PTR mask) {
  cpu_set_t set;
  CPU_ZERO(&set);
  for (int i = 0; i < kMaskBits; ++i)
    if (mask & (static_cast<DWORD_PTR>(1) << i)) CPU_SET(i, &set);
  return set;
}

void winposix::KeepProcessArguments(int count, char* const* args) {
  keptCount = count;
  keptArgs = args;
}

// Built once; a static's own guard, unlike call_once, makes no system call when uncontended.
extern "C" LPSTR WINAPI GetCommandLineA(void) {
  static char* const line = [] {
    const std::string built = BuildCommandLine();
    char* copy = new char[built.size() + 1];
    built.copy(copy, built.size());
    copy[built.size()] = 0;
    return copy;
  }();
  return line;
}

extern "C" void WINAPI ExitProcess(UINT code) {
  winposix::WriteFailureReport();
  _exit(static_cast<int>(code));
}

extern "C" HANDLE WINAPI GetCurrentProcess(void) {
  return kCurrentProcess;
}

extern "C" DWORD WINAPI GetCurrentProcessId(void) {
  return static_cast<DWORD>(getpid());
}

extern "C" BOOL WINAPI GetProcessAffinityMask(HANDLE process, DWORD_PTR* processMask,
                                              DWORD_PTR* systemMask) {
  if (winposix::MachineEmulated())
    return winposix::EmulatedGetProcessAffinityMask(process, processMask, systemMask);
  cpu_set_t set;
  if (process != kCurrentProcess || processMask == nullptr || systemMask == nullptr ||
      sched_getaffinity(0, sizeof set, &set) != 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  *processMask = winposix::MaskOfSet(set);
  *systemMask = SystemMask();
  return TRUE;
}

// Linux keeps affinity per thread: the process's mask is given to each of its threads.
extern "C" BOOL WINAPI SetProcessAffinityMask(HANDLE process, DWORD_PTR mask) {
  if (winposix::MachineEmulated()) return winposix::EmulatedSetProcessAffinityMask(process, mask);
  if (process != kCurrentProcess || mask == 0 || (mask & ~SystemMask()) != 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (!SetEveryThreadsAffinity(winposix::SetOfMask(mask))) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  return TRUE;
}

// Sleep(0) only gives the rest of the time slice to a thread that is ready, and returns at once
// when none is: nanosleep would wait out the timer slack instead.
extern "C" void WINAPI Sleep(DWORD milliseconds) {
  if (milliseconds == 0) {
    sched_yield();
    return;
  }
  timespec wait = {static_cast<time_t>(milliseconds / 1000),
                   static_cast<long>(milliseconds % 1000) * 1000000L};
  while (nanosleep(&wait, &wait) != 0) {
  }
}
