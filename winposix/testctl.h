// Test controls of the Win32 layer: only tests include this.
#pragma once

#include <string>
#include <vector>

namespace winposix {

// Calls whose failure a test can arrange.
enum class FailPoint {
  VirtualAlloc,
  HeapAlloc,
  CreateFileA,
  CreateFileMappingA,
  MapViewOfFile,
  CreateThread,
  Count
};

// The n-th call (1 = the next one) fails; with persistent, every call from then on fails too.
void FailNth(FailPoint point, unsigned n, bool persistent = false);
// Forgets every arranged failure.
void ClearFailures();
// How many calls reached the point since the last ClearFailures.
unsigned CallCount(FailPoint point);
// A whole program is given its failure in the environment instead (winposix/fail_env.h):
// CALVISTO_FAIL="Point:n[:persistent]", with a report of the calls in CALVISTO_FAIL_REPORT.

// The command line GetCommandLineA builds from the arguments a process was started with.
std::string CommandLineOf(const std::vector<std::string>& args);

// Makes GetProcAddress answer "missing" for a function, and GetModuleHandleA and LoadLibraryA
// for a library ("psapi"), as on an older Windows; RestoreExports brings both back.
void RemoveExport(const char* name);
void RemoveModule(const char* name);
void RestoreExports();

// Replaces the layer's body of a function, named as Windows names it, until RestoreOverrides;
// GetProcAddress answers the replacement too. The fakes of tests/support are built on this. Only
// functions whose body starts with LAYER_OVERRIDE (winposix/internal.h) can be replaced.
void Override(const char* name, void (*replacement)());
template <typename Function> void Override(const char* name, Function* replacement) {
  Override(name, reinterpret_cast<void (*)()>(replacement));
}
void RestoreOverrides();

// The version record GetVersionExA and GetVersion report. By default: NT family, 5.1, build
// 2600, and the host's system and release as the service-pack text (see version.cpp).
struct VersionRecord {
  unsigned platform, major, minor, build;
  const char* servicePack;
};
void SetVersion(const VersionRecord& record);

// The handle that stands for a descriptor the test opened (a pipe or socket end), to hand to
// SetStdHandle or WriteFile.
void* DescriptorHandle(int fd);

// The program's module handle points at a small image header of the console subsystem; a test
// can switch it to the GUI subsystem, or make the header unreadable (no "PE" signature).
enum class ImageKind { Console, Gui, NoHeader };
void SetImageKind(ImageKind kind);

// The system record GetSystemInfo reports. With a processor count (not 0) the layer also stands
// for a machine of that many processors: GetProcessAffinityMask and SetProcessAffinityMask keep
// the process mask in the layer (all processors at first) instead of pinning host threads,
// GetCurrentProcessorNumber answers the lowest processor of that mask, and
// SetProcessAffinityMask refuses a mask made only of processors of refusedMask. architecture
// and level replace the host's when set (not ~0u). With affinityUnsupported the setter fails
// with ERROR_CALL_NOT_IMPLEMENTED and the getter reports both masks as 1, as on Windows 95/98/Me.
struct SystemRecord {
  unsigned processors;
  unsigned architecture = ~0u;
  unsigned level = ~0u;
  unsigned long long refusedMask = 0;
  bool affinityUnsupported = false;
};
void SetSystemRecord(const SystemRecord& record);
// The emulated machine's process mask (0 without one).
unsigned long long EmulatedProcessMask();

// The emulated console (sizes in character cells) and its window (pixels on the virtual screen).
// The window is as wide as its columns times cellWidth plus frameWidth, and as tall likewise.
// Without attached every console function fails as in a process without a console; without
// hasWindow FindWindowA never finds it; the first missedSearches searches miss.
struct ConsoleSetup {
  bool attached = true;
  std::string title = "Calvisto";
  int bufferColumns = 80, bufferRows = 300;
  int windowLeft = 0, windowTop = 0, windowColumns = 80, windowRows = 25;
  int largestColumns = 160, largestRows = 60;
  bool hasWindow = true;
  unsigned missedSearches = 0;
  bool placementFails = false;
  int windowX = 100, windowY = 100;
  int cellWidth = 8, cellHeight = 16, frameWidth = 34, frameHeight = 39;
};
void SetConsole(const ConsoleSetup& setup);
ConsoleSetup CurrentConsole();

// The monitors in EnumDisplayMonitors' order (one of 1920 x 1080 at first); the first is the
// primary, whose size GetSystemMetrics reports. Without multiMonitor, SM_CMONITORS answers 0 as
// on Windows 95 and NT 4. GetMonitorInfoA can be made to fail for one monitor.
struct ScreenRect {
  int left, top, right, bottom;
};
void SetMonitors(const std::vector<ScreenRect>& monitors, bool multiMonitor = true);
void FailMonitorInfo(unsigned index);

// The console calls that change something, and the window searches, in order: (a, b, c, d) are
// the buffer size (columns, rows), the window (left, top, right, bottom) or the window position
// (x, y, and -1, -1 without a size); text is the title set or searched.
enum class ConsoleCall { SetTitle, FindWindow, SetWindowPos, SetBufferSize, SetWindowInfo };
struct ConsoleCallRecord {
  ConsoleCall call;
  std::string text;
  long a, b, c, d;
  bool ok;
};
std::vector<ConsoleCallRecord> RecordedConsoleCalls();

// CreateFileA and DeviceIoControl calls are recorded (the last 64 of CreateFileA, failed ones
// included) until ClearFileRecords. input is the request's first 16-bit word, ~0u without one.
struct CreateFileCall {
  std::string name;
  unsigned access, share, disposition, flags;
};
std::vector<CreateFileCall> RecordedCreateFiles();
struct DeviceControlCall {
  unsigned code, input;
};
std::vector<DeviceControlCall> RecordedDeviceControls();
void ClearFileRecords();

// Threads CreateThread started whose routine has not returned yet.
unsigned LiveThreads();

// Puts every control back to its start value.
void ResetAll();

} // namespace winposix
