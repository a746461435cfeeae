// The emulated Windows version: Linux has no such record, so the layer reports a fixed one that
// tests can change.
#include "winposix/internal.h"

#include <mutex>
#include <string.h>

namespace {

std::mutex versionLock;
winposix::VersionRecord current = {VER_PLATFORM_WIN32_NT, 5, 1, 2600, "Service Pack 2"};

} // namespace

namespace winposix {

void SetVersion(const VersionRecord& record) {
  std::lock_guard<std::mutex> hold(versionLock);
  current = record;
}

void ResetVersion() {
  SetVersion({VER_PLATFORM_WIN32_NT, 5, 1, 2600, "Service Pack 2"});
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
  if (current.servicePack != nullptr)
    strncpy(info->szCSDVersion, current.servicePack, sizeof info->szCSDVersion - 1);
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
