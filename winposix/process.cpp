// The process: command line, end, identity and processor affinity.
#include "winposix/internal.h"

#include "winposix/fail_env.h"

#include <dirent.h>
#include <mutex>
#include <sched.h>
#include <stdlib.h>
#include <string>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

namespace {

// Windows quoting: arguments with blanks or tabs (or empty ones) go in double quotes.
std::string BuildCommandLine() {
  const std::string raw = winposix::ReadSystemFile("/proc/self/cmdline");
  std::string line;
  size_t start = 0;
  while (start < raw.size()) {
    size_t end = raw.find('\0', start);
    if (end == std::string::npos) end = raw.size();
    const std::string arg = raw.substr(start, end - start);
    if (!line.empty()) line += ' ';
    if (arg.empty() || arg.find_first_of(" \t") != std::string::npos)
      line += '"' + arg + '"';
    else
      line += arg;
    start = end + 1;
  }
  return line;
}

// Affinity masks hold one bit per processor, as many as a DWORD_PTR has bits.
constexpr int kMaskBits = static_cast<int>(sizeof(DWORD_PTR) * 8);

DWORD_PTR SystemMask() {
  long count = sysconf(_SC_NPROCESSORS_ONLN);
  if (count >= kMaskBits) return ~static_cast<DWORD_PTR>(0);
  return (static_cast<DWORD_PTR>(1) << count) - 1;
}

HANDLE const kCurrentProcess = reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1));

} // namespace

extern "C" LPSTR WINAPI GetCommandLineA(void) {
  static std::once_flag once;
  static char* line = nullptr;
  std::call_once(once, [] {
    const std::string built = BuildCommandLine();
    line = new char[built.size() + 1];
    built.copy(line, built.size());
    line[built.size()] = 0;
  });
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
  *processMask = 0;
  for (int i = 0; i < kMaskBits; ++i)
    if (CPU_ISSET(i, &set)) *processMask |= static_cast<DWORD_PTR>(1) << i;
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
  cpu_set_t set;
  CPU_ZERO(&set);
  for (int i = 0; i < kMaskBits; ++i)
    if (mask & (static_cast<DWORD_PTR>(1) << i)) CPU_SET(i, &set);
  DIR* tasks = opendir("/proc/self/task");
  if (tasks == nullptr) return sched_setaffinity(0, sizeof set, &set) == 0 ? TRUE : FALSE;
  bool ok = true;
  while (dirent* entry = readdir(tasks)) {
    const int tid = atoi(entry->d_name);
    if (tid > 0 && sched_setaffinity(tid, sizeof set, &set) != 0) ok = false;
  }
  closedir(tasks);
  if (!ok) SetLastError(ERROR_INVALID_PARAMETER);
  return ok ? TRUE : FALSE;
}

extern "C" void WINAPI Sleep(DWORD milliseconds) {
  timespec wait = {static_cast<time_t>(milliseconds / 1000),
                   static_cast<long>(milliseconds % 1000) * 1000000L};
  while (nanosleep(&wait, &wait) != 0) {
  }
}
