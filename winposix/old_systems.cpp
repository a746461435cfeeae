#include "winposix/old_systems.h"

#include "winposix/internal.h"

#include <cstdlib>
#include <cstring>
#include <strings.h>

namespace winposix {
namespace {

enum class AffinitySetter { Works, Missing, Fails };

struct OldSystem {
  const char* name;
  VersionRecord version;
  AffinitySetter setter; // not Works: one processor, whose affinity the process cannot read
  bool multiMonitor;
  const char* missing; // functions, blank-separated; none of these systems has psapi.dll
};

#define NEWER_THAN_9X                                                                              \
  "SetThreadAffinityMask GetProcessTimes ProcessIdToSessionId GetCurrentProcessorNumber "          \
  "InitializeCriticalSectionAndSpinCount SetCriticalSectionSpinCount NtCurrentTeb "                \
  "NtQueryInformationProcess NtQuerySystemInformation "

const OldSystem kSystems[] = {
    {"95",
     {VER_PLATFORM_WIN32_WINDOWS, 4, 0, 950, ""},
     AffinitySetter::Missing,
     false,
     NEWER_THAN_9X "SetProcessAffinityMask EnumDisplayMonitors GetMonitorInfoA"},
    {"98",
     {VER_PLATFORM_WIN32_WINDOWS, 4, 10, 1998, ""},
     AffinitySetter::Fails,
     true,
     NEWER_THAN_9X},
    {"Me",
     {VER_PLATFORM_WIN32_WINDOWS, 4, 90, 3000, ""},
     AffinitySetter::Fails,
     true,
     NEWER_THAN_9X},
    {"NT4",
     {VER_PLATFORM_WIN32_NT, 4, 0, 1381, "Service Pack 6"},
     AffinitySetter::Works,
     false,
     "CreateToolhelp32Snapshot Process32First Process32Next ProcessIdToSessionId "
     "GetCurrentProcessorNumber EnumDisplayMonitors GetMonitorInfoA"},
};
#undef NEWER_THAN_9X

void RemoveEach(const char* names) {
  char name[64];
  while (*names != 0) {
    const size_t length = std::strcspn(names, " ");
    if (length > 0 && length < sizeof name) {
      std::memcpy(name, names, length);
      name[length] = 0;
      RemoveExport(name);
    }
    names += length + (names[length] == ' ' ? 1 : 0);
  }
}

} // namespace

void ArmSystemFromEnvironment() {
  const char* wanted = std::getenv("CALVISTO_WINDOWS");
  if (wanted == nullptr) return;
  for (const OldSystem& system : kSystems) {
    if (strcasecmp(wanted, system.name) != 0) continue;
    SetVersion(system.version);
    RemoveModule("psapi");
    RemoveEach(system.missing);
    if (!system.multiMonitor) SetMonitors({{0, 0, 1920, 1080}}, false);
    if (system.setter != AffinitySetter::Works) {
      SystemRecord record{1};
      record.affinityUnsupported = system.setter == AffinitySetter::Fails;
      SetSystemRecord(record);
    }
    return;
  }
}

} // namespace winposix
