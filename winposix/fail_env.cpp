#include "winposix/fail_env.h"

#include "winposix/internal.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>
#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#endif

namespace winposix {
namespace {

constexpr int kPoints = static_cast<int>(FailPoint::Count);

const char* const kPointNames[] = {"VirtualAlloc",       "HeapAlloc",     "CreateFileA",
                                   "CreateFileMappingA", "MapViewOfFile", "CreateThread"};
static_assert(sizeof kPointNames / sizeof kPointNames[0] == kPoints, "one name per point");

// What the environment arranged; plain data, so it is ready before any initialiser runs.
unsigned armedAt[kPoints];

int PointByName(const char* name, size_t length) {
  for (int i = 0; i < kPoints; ++i)
    if (std::strlen(kPointNames[i]) == length && std::strncmp(kPointNames[i], name, length) == 0)
      return i;
  return -1;
}

// One entry "Point:n[:persistent]" of length bytes.
void ArmEntry(const char* entry, size_t length) {
  const char* colon = static_cast<const char*>(std::memchr(entry, ':', length));
  if (colon == nullptr) return;
  const int point = PointByName(entry, static_cast<size_t>(colon - entry));
  if (point < 0) return;
  const char* end = entry + length;
  char number[16];
  const char* numberEnd = static_cast<const char*>(std::memchr(colon + 1, ':', end - colon - 1));
  if (numberEnd == nullptr) numberEnd = end;
  const size_t digits = static_cast<size_t>(numberEnd - colon - 1);
  if (digits == 0 || digits >= sizeof number) return;
  std::memcpy(number, colon + 1, digits);
  number[digits] = 0;
  char* parsedEnd;
  errno = 0;
  const unsigned long n = std::strtoul(number, &parsedEnd, 10);
  if (*parsedEnd != 0 || errno != 0 || n == 0 || n > 0xFFFFFFFFul) return;
  bool persistent = false;
  if (numberEnd != end) {
    const char* flag = numberEnd + 1;
    if (static_cast<size_t>(end - flag) != 10 || std::strncmp(flag, "persistent", 10) != 0) return;
    persistent = true;
  }
  FailNth(static_cast<FailPoint>(point), static_cast<unsigned>(n), persistent);
  armedAt[point] = static_cast<unsigned>(n);
}

} // namespace

void ArmFailuresFromEnvironment() {
  const char* text = std::getenv("CALVISTO_FAIL");
  if (text == nullptr) return;
  while (*text != 0) {
    const char* comma = std::strchr(text, ',');
    const size_t length = comma != nullptr ? static_cast<size_t>(comma - text) : std::strlen(text);
    ArmEntry(text, length);
    text += length;
    if (*text == ',') ++text;
  }
}

void WriteFailureReport() {
#if defined(__SANITIZE_ADDRESS__)
  // The process ends with _exit, which passes by the sanitizer's own leak check.
  const char* check = std::getenv("CALVISTO_LEAK_CHECK");
  if (check != nullptr && *check == '1') __lsan_do_recoverable_leak_check();
#endif
  const char* path = std::getenv("CALVISTO_FAIL_REPORT");
  if (path == nullptr || *path == 0) return;
  char report[512];
  size_t used = 0;
  for (int i = 0; i < kPoints; ++i) {
    const unsigned calls = CallCount(static_cast<FailPoint>(i));
    const bool reached = armedAt[i] != 0 && calls >= armedAt[i];
    const int n = std::snprintf(report + used, sizeof report - used, "%s %u %u %d\n",
                                kPointNames[i], calls, armedAt[i], reached ? 1 : 0);
    if (n < 0 || static_cast<size_t>(n) >= sizeof report - used) return;
    used += static_cast<size_t>(n);
  }
  const int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return;
  for (size_t done = 0; done < used;) {
    const ssize_t n = write(fd, report + done, used - done);
    if (n <= 0 && errno != EINTR) break;
    if (n > 0) done += static_cast<size_t>(n);
  }
  close(fd);
}

} // namespace winposix
