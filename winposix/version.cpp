// The emulated Windows version: Linux has no such record, so the layer reports a fixed one that
// tests can change. By default it is the NT family, whose behaviour the layer imitates (process
// and thread affinity, GetVersionExA), as Windows XP 5.1 build 2600, the newest version the
// runtime names; where Windows puts its service pack the layer puts the host's system and
// release ("Linux 6.1.0-18-amd64"), so a description of the system says what it runs on.
#include "winposix/internal.h"

#include <mutex>
#include <string.h>
#include <sys/utsname.h>

namespace {

// Built once, under versionLock, with plain string calls: it is on the way to the prompt.
const char* HostRelease() {
  static char text[sizeof utsname::sysname + sizeof utsname::release];
  if (text[0] == 0) {
    utsname host;
    if (uname(&host) != 0) {
      strcpy(text, "Linux");
    } else {
      strcpy(text, host.sysname);
      strcat(text, " ");
      strcat(text, host.release);
    }
  }
  return text;
}

std::mutex versionLock;
winposix::VersionRecord current = {VER_PLATFORM_WIN32_NT, 5, 1, 2600, nullptr};
bool hostText = true; // the service-pack text is HostRelease, not current.servicePack

} // namespace

namespace winposix {

void SetVersion(const VersionRecord& record) {
  std::lock_guard<std::mutex> hold(versionLock);
  current = record;
  hostText = false;
}

void ResetVersion() {
  std::lock_guard<std::mutex> hold(versionLock);
  current = {VER_PLATFORM_WIN32_NT, 5, 1, 2600, nullptr};
  hostText = true;
}

} // namespace winposix

extern "C" BOOL WINAPI GetVersionExA(LPOSVERSIONINFOA info) {
  if (info == nullptr || info->dwOSVersionInfoSize < sizeof(OSVERSIONINFOA)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  std::lock_guard<std::mutex> hold(versionLock);
  info->dwMajorVersion = current.major;
  info->dwMinorVersion = current.minor;
  info->dwBuildNumber = current.build;
  info->dwPlatformId = current.platform;
  memset(info->szCSDVersion, 0, sizeof info->szCSDVersion);
  const char* servicePack = hostText ? HostRelease() : current.servicePack;
  if (servicePack != nullptr)
    strncpy(info->szCSDVersion, servicePack, sizeof info->szCSDVersion - 1);
  return TRUE;
}

// Major in bits 0-7, minor in 8-15, the build in 16-30 on NT; bit 31 marks the other families.
extern "C" DWORD WINAPI GetVersion(void) {
  std::lock_guard<std::mutex> hold(versionLock);
  DWORD v = (current.major & 0xFF) | ((current.minor & 0xFF) << 8);
  if (current.platform == VER_PLATFORM_WIN32_NT)
    v |= (current.build & 0x7FFF) << 16;
  else
    v |= 0x80000000u;
  return v;
}
