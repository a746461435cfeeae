#include "runtime/startup/runtime_state.h"
#include "runtime/text/memory_ops.h"
#include "winposix/win32.h"
#include "runtime/text/system_functions.h"

namespace {

bool ReadExtendedVersion() {
  OSVERSIONINFOA info;
  if (!QueryVersionRecord(&info)) return false;
  switch (info.dwPlatformId) {
  case 0:
    OsVersion.Platform = kPlatformWin32s;
    break;
  case 1:
    OsVersion.Platform = kPlatformWindows9x;
    break;
  case 2:
    OsVersion.Platform = kPlatformNT;
    break;
  default:
    OsVersion.Platform = kPlatformOther;
  }
  OsVersion.Major = static_cast<uint8_t>(info.dwMajorVersion);
  OsVersion.Minor = static_cast<uint8_t>(info.dwMinorVersion);
  OsVersion.Build = static_cast<uint16_t>(info.dwBuildNumber);
  return true;
}

} // namespace

void ReadOsVersion() {
  ZeroMem(&OsVersion, sizeof OsVersion);
  if (!ReadExtendedVersion()) {
    const DWORD v = GetVersion();
    if ((v & 0x80000000u) == 0)
      OsVersion.Platform = kPlatformNT;
    else
      OsVersion.Platform = (v & 0xFF) < 4 ? kPlatformWin32s : kPlatformWindows9x;
    OsVersion.Major = static_cast<uint8_t>(v);
    OsVersion.Minor = static_cast<uint8_t>(v >> 8);
    OsVersion.Build = 0;
  }
  OsVersion.Version = static_cast<uint16_t>(OsVersion.Major * 256 + OsVersion.Minor);
}
