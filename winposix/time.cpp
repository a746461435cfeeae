// Clocks: the tick count, the process's times and the calendar time.
#include "winposix/internal.h"

#include <cstdlib>
#include <mutex>
#include <string>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

namespace {

// FILETIME counts 100-ns units from 1601-01-01; Unix time starts 11644473600 s later.
constexpr uint64_t kUnitsPerSecond = 10000000;
constexpr uint64_t kUnixEpochSeconds = 11644473600ull;

FILETIME ToFileTime(uint64_t units) {
  return {static_cast<DWORD>(units), static_cast<DWORD>(units >> 32)};
}

uint64_t Units(const timeval& t) {
  return static_cast<uint64_t>(t.tv_sec) * kUnitsPerSecond + static_cast<uint64_t>(t.tv_usec) * 10;
}

// The process's start: its start in clock ticks after boot (/proc/self/stat, field 22) plus
// the boot time (/proc/stat "btime"). 0 when either cannot be read.
uint64_t CreationUnits() {
  const std::string line = winposix::ReadSystemFile("/proc/self/stat");
  const size_t close = line.rfind(')'); // the name in brackets may hold blanks
  if (close == std::string::npos) return 0;
  // Field 22 is the 20th word behind the name.
  const char* at = line.c_str() + close + 1;
  for (int field = 3; field < 22 && *at != 0; ++field) {
    while (*at == ' ') ++at;
    while (*at != ' ' && *at != 0) ++at;
  }
  char* end = nullptr;
  const unsigned long long startTicks = std::strtoull(at, &end, 10);
  if (end == at) return 0;
  const std::string system = winposix::ReadSystemFile("/proc/stat");
  const size_t btime = system.find("\nbtime ");
  const unsigned long long bootSeconds =
      btime == std::string::npos ? 0 : std::strtoull(system.c_str() + btime + 7, nullptr, 10);
  const long ticksPerSecond = sysconf(_SC_CLK_TCK);
  if (bootSeconds == 0 || ticksPerSecond <= 0) return 0;
  return (bootSeconds + kUnixEpochSeconds) * kUnitsPerSecond +
         startTicks * kUnitsPerSecond / static_cast<unsigned long long>(ticksPerSecond);
}

void FromCalendar(const tm& calendar, long nanoseconds, LPSYSTEMTIME time) {
  time->wYear = static_cast<WORD>(calendar.tm_year + 1900);
  time->wMonth = static_cast<WORD>(calendar.tm_mon + 1);
  time->wDayOfWeek = static_cast<WORD>(calendar.tm_wday); // 0 is Sunday in both
  time->wDay = static_cast<WORD>(calendar.tm_mday);
  time->wHour = static_cast<WORD>(calendar.tm_hour);
  time->wMinute = static_cast<WORD>(calendar.tm_min);
  time->wSecond = static_cast<WORD>(calendar.tm_sec > 59 ? 59 : calendar.tm_sec); // leap second
  time->wMilliseconds = static_cast<WORD>(nanoseconds / 1000000);
}

} // namespace

extern "C" DWORD WINAPI GetTickCount(void) {
  timespec now;
  clock_gettime(CLOCK_BOOTTIME, &now);
  return static_cast<DWORD>(static_cast<uint64_t>(now.tv_sec) * 1000 +
                            static_cast<uint64_t>(now.tv_nsec) / 1000000);
}

// Only the current process can be asked; its threads' times, ended ones included, are summed.
extern "C" BOOL WINAPI GetProcessTimes(HANDLE process, LPFILETIME creation, LPFILETIME exit,
                                       LPFILETIME kernel, LPFILETIME user) {
  uint64_t childKernel, childUser;
  if (process != GetCurrentProcess() && creation != nullptr && exit != nullptr &&
      kernel != nullptr && user != nullptr &&
      winposix::ChildTimes(process, &childKernel, &childUser)) {
    *creation = *exit = ToFileTime(0); // not kept for a child
    *kernel = ToFileTime(childKernel);
    *user = ToFileTime(childUser);
    return TRUE;
  }
  rusage usage;
  if (process != GetCurrentProcess() || creation == nullptr || exit == nullptr ||
      kernel == nullptr || user == nullptr || getrusage(RUSAGE_SELF, &usage) != 0) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  static std::once_flag once;
  static uint64_t created = 0;
  std::call_once(once, [] { created = CreationUnits(); });
  *creation = ToFileTime(created);
  *exit = ToFileTime(0);
  *kernel = ToFileTime(Units(usage.ru_stime));
  *user = ToFileTime(Units(usage.ru_utime));
  return TRUE;
}

extern "C" void WINAPI GetLocalTime(LPSYSTEMTIME time) {
  static std::once_flag once;
  std::call_once(once, [] { tzset(); });
  timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  tm calendar;
  localtime_r(&now.tv_sec, &calendar);
  FromCalendar(calendar, now.tv_nsec, time);
}

extern "C" void WINAPI GetSystemTime(LPSYSTEMTIME time) {
  timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  tm calendar;
  gmtime_r(&now.tv_sec, &calendar);
  FromCalendar(calendar, now.tv_nsec, time);
}
