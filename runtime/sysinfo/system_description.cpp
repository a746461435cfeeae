#include "runtime/sysinfo/system_description.h"

#include "runtime/diag/trace.h"
#include "runtime/platform/thread.h"
#include "runtime/startup/options.h"
#include "runtime/sysinfo/cpu_info.h"
#include "runtime/sysinfo/smt.h"
#include "runtime/text/format.h"
#include "runtime/text/memory_ops.h"
#include "runtime/text/strings.h"
#include "winposix/win32.h"
#include "runtime/text/system_functions.h"

WineCheckRecord WineCheck;

namespace {

constexpr uint32_t kLineSize = 256;
constexpr uint32_t kServicePackSize = 128;

bool KeyExists(HKEY root, const char* path) {
  HKEY key;
  if (RegOpenKeyExA(root, path, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) return false;
  RegCloseKey(key);
  return true;
}

// Null for a platform with no processor part.
const char* WindowsName(DWORD platform, DWORD major, DWORD minor) {
  if (platform == VER_PLATFORM_WIN32s) return "Win32s";
  if (platform == VER_PLATFORM_WIN32_WINDOWS) {
    if (major != 4 || minor == 0) return "Windows 95";
    return minor < 90 ? "Windows 98" : "Windows ME";
  }
  if (platform == VER_PLATFORM_WIN32_NT) {
    if (major <= 4) return "Windows NT";
    if (major == 5) {
      if (minor == 0) return "Windows 2000";
      return minor == 2 ? "Windows Server 2003" : "Windows XP";
    }
    return major == 6 ? "Windows Vista" : "Windows XP";
  }
  return "???";
}

const char* ProcessorName(const SYSTEM_INFO& info) {
  const WORD level = info.wProcessorLevel;
  switch (info.wProcessorArchitecture) {
  case 0: // Intel
    if (CpuInfo.Name[0] != 0) return CpuInfo.Name;
    switch (level) {
    case 3:
      return "i386";
    case 4:
      return "i486";
    case 5:
      return "Pentium";
    case 6:
      if (!CpuInfo.HasMMX) return "Pentium Pro";
      return CpuInfo.HasSSE ? "Pentium III" : "Pentium II";
    case 15:
      return "Pentium 4";
    default:
      return "Intel x86";
    }
  case 1: // MIPS
    return level == 3000 ? "MIPS R3000" : level == 4000 ? "MIPS R4000" : "MIPS";
  case 2: // Alpha
    if (level == 21064) return "Alpha 21064";
    if (level == 21066) return "Alpha 21066";
    return level == 21164 ? "Alpha 21164" : "Alpha";
  case 3:
    return "PowerPC";
  case 10: // a 32-bit program on 64-bit Windows
    return "IA-32/64";
  default:
    return nullptr;
  }
}

bool OnlyBlanks(const char* text) {
  for (; *text != 0; ++text)
    if (*text != ' ') return false;
  return true;
}

// The version, processor and service-pack part; false when GetVersionExA cannot answer.
bool DescribeVersion(char* line) {
  OSVERSIONINFOA version;
  if (!QueryVersionRecord(&version)) return false;

  const DWORD platform = version.dwPlatformId;
  const char* windows = WindowsName(platform, version.dwMajorVersion, version.dwMinorVersion);
  const char* processor = nullptr;
  DWORD processors = 0;
  if (platform == VER_PLATFORM_WIN32_WINDOWS || platform == VER_PLATFORM_WIN32_NT) {
    SYSTEM_INFO info;
    ZeroMem(&info, sizeof info);
    GetSystemInfo(&info);
    processors = info.dwNumberOfProcessors;
    processor = ProcessorName(info);
  }
  const uint32_t major = version.dwMajorVersion, minor = version.dwMinorVersion;
  const uint32_t build = version.dwBuildNumber & 0xFFFF;
  if (processor == nullptr) {
    FormatString(line, kLineSize, "%s%s %u.%u Build %u", windows, "", major, minor, build);
  } else if (processors <= 1) {
    FormatString(line, kLineSize, "%s%s %u.%u (%s) Build %u", windows, "", major, minor, processor,
                 build);
  } else {
    uint32_t count = 0;
    if (TThread::SMTSupported(&count))
      FormatString(line, kLineSize, "%s%s %u.%u (%ux %s Hyper-Threading) Build %u", windows, "",
                   major, minor, count, processor, build);
    else
      FormatString(line, kLineSize, "%s%s %u.%u (%ux %s) Build %u", windows, "", major, minor,
                   processors, processor, build);
  }
  // The record's text need not be terminated within its 128 characters.
  char servicePack[kServicePackSize + 1];
  StrCopyBlock(servicePack, sizeof servicePack, version.szCSDVersion, kServicePackSize);
  if (!OnlyBlanks(servicePack)) {
    StrAppendN(line, " [", kLineSize);
    StrAppendN(line, servicePack, kLineSize);
    StrAppendN(line, "]", kLineSize);
  }
  return true;
}

// Windows before GetVersionExA: GetVersion's two bytes and its family bit.
void DescribeOldVersion(char* line) {
  const DWORD v = GetVersion();
  const int32_t major = static_cast<int32_t>(v & 0xFF);
  const int32_t minor = static_cast<int32_t>((v >> 8) & 0xFF);
  const char* name;
  if ((v & 0x80000000u) == 0)
    name = major < 5 ? "Windows NT" : "Windows 2000";
  else if (major == 4 && minor >= 90)
    name = "Windows ME";
  else if (major == 4 && minor >= 1)
    name = "Windows 98";
  else
    name = "Windows 95";
  FormatString(line, kLineSize, "%s %d.%d", name, major, minor);
}

} // namespace

bool IsWine() {
  if (!WineCheck.Decided) {
    WineCheck.Present = KeyExists(HKEY_CURRENT_USER, "SOFTWARE\\Wine") ||
                        KeyExists(HKEY_LOCAL_MACHINE, "SOFTWARE\\Wine\\Wine\\Config");
    WineCheck.Decided = true;
  }
  return WineCheck.Present;
}

bool IsMiniNT() {
  return KeyExists(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Control\\MiniNT");
}

char* DescribeSystem(char* out, uint32_t size) {
  if (size == 0) return out;
  char line[kLineSize];
  line[0] = 0;
  if (!DescribeVersion(line)) DescribeOldVersion(line);
  if (IsWine()) StrAppendN(line, " [WINE]", kLineSize);
  if (IsMiniNT()) StrAppendN(line, " [PE]", kLineSize);
  StrCopyN(out, line, size);
  return out + StrLen(out);
}

void ShowSystemDescription() {
  if (!HasOption(kOptSysInfo)) return;
  char line[kLineSize];
  DescribeSystem(line, sizeof line);
  TraceLine(line, nullptr);
}
