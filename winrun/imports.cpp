#include "winrun/imports.h"

#include "winposix/loader.h"
#include "winrun/adapters.h"
#include "winrun/switch.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <string_view>
#include <sys/mman.h>

namespace winrun {
namespace {

struct Import {
  const char* name;
  uint16_t argumentBytes;
  bool callerCleans; // cdecl: the variadic functions
  Adapter adapter;
};

#define SLOT(function)                                                                             \
  {                                                                                                \
#function, SlotAdapter < &::function> ::kArgumentBytes, false,                                 \
        &SlotAdapter < &::function> ::Call                                                         \
  }
#define WIDTH(function, arguments)                                                                 \
  { #function, 4 * (arguments), false, &adapters::function }

// The layer's functions that reach a 32-bit program. The vectored exception handlers, pipes and
// the stack limits query are left out: they are absent from the systems the program targets,
// and the runner dispatches exceptions only through fs:[0].
constexpr Import kImports[] = {
    SLOT(GetLastError),
    SLOT(SetLastError),
    SLOT(GetModuleHandleA),
    WIDTH(GetProcAddress, 2),
    SLOT(LoadLibraryA),
    SLOT(FreeLibrary),
    SLOT(GetModuleFileNameA),
    SLOT(GetCommandLineA),
    SLOT(GetEnvironmentVariableA),
    SLOT(SetEnvironmentVariableA),
    SLOT(ExitProcess),
    WIDTH(CreateProcessA, 10),
    SLOT(GetExitCodeProcess),
    SLOT(TerminateProcess),
    WIDTH(SetConsoleCtrlHandler, 2),
    SLOT(GetCurrentProcess),
    SLOT(GetCurrentProcessId),
    WIDTH(GetProcessAffinityMask, 3),
    SLOT(SetProcessAffinityMask),
    SLOT(GetVersion),
    SLOT(GetVersionExA),
    WIDTH(GetSystemInfo, 1),
    SLOT(VirtualAlloc),
    SLOT(VirtualFree),
    SLOT(VirtualProtect),
    SLOT(GetProcessHeap),
    SLOT(HeapAlloc),
    SLOT(HeapSize),
    SLOT(HeapFree),
    SLOT(TlsAlloc),
    SLOT(TlsFree),
    SLOT(TlsGetValue),
    SLOT(TlsSetValue),
    WIDTH(InitializeCriticalSection, 1),
    WIDTH(InitializeCriticalSectionAndSpinCount, 2),
    WIDTH(SetCriticalSectionSpinCount, 2),
    WIDTH(EnterCriticalSection, 1),
    WIDTH(LeaveCriticalSection, 1),
    WIDTH(DeleteCriticalSection, 1),
    SLOT(Sleep),
    SLOT(GetTickCount),
    SLOT(GetProcessTimes),
    SLOT(GetLocalTime),
    SLOT(GetSystemTime),
    WIDTH(CreateThread, 6),
    SLOT(ResumeThread),
    SLOT(WaitForSingleObject),
    SLOT(GetExitCodeThread),
    SLOT(GetCurrentThreadId),
    SLOT(GetCurrentThread),
    SLOT(SetThreadAffinityMask),
    SLOT(GetCurrentProcessorNumber),
    WIDTH(NtCurrentTeb, 0),
    SLOT(GetStdHandle),
    SLOT(SetStdHandle),
    SLOT(WriteFile),
    SLOT(ReadFile),
    SLOT(CloseHandle),
    SLOT(GetFileType),
    SLOT(CreateFileA),
    SLOT(DeleteFileA),
    SLOT(GetFileAttributesA),
    SLOT(SetFileAttributesA),
    SLOT(SetCurrentDirectoryA),
    SLOT(SetFilePointer),
    SLOT(GetFileSize),
    SLOT(SetEndOfFile),
    SLOT(LockFile),
    SLOT(UnlockFile),
    SLOT(DeviceIoControl),
    SLOT(CreateFileMappingA),
    SLOT(MapViewOfFile),
    SLOT(UnmapViewOfFile),
    SLOT(ReadConsoleInputA),
    SLOT(GetConsoleTitleA),
    SLOT(SetConsoleTitleA),
    SLOT(GetLargestConsoleWindowSize),
    SLOT(SetConsoleScreenBufferSize),
    SLOT(SetConsoleWindowInfo),
    SLOT(GetConsoleScreenBufferInfo),
    SLOT(Beep),
    SLOT(MessageBoxA),
    SLOT(FindWindowA),
    SLOT(GetWindowPlacement),
    SLOT(SetWindowPos),
    SLOT(GetSystemMetrics),
    WIDTH(EnumDisplayMonitors, 4),
    SLOT(GetMonitorInfoA),
    {"wsprintfA", 0, true, &adapters::wsprintfA},
    WIDTH(RegOpenKeyExA, 5),
    SLOT(RegCloseKey),
    SLOT(CreateToolhelp32Snapshot),
    WIDTH(Process32First, 2),
    WIDTH(Process32Next, 2),
    SLOT(ProcessIdToSessionId),
    SLOT(OpenProcess),
    SLOT(EnumProcesses),
    WIDTH(EnumProcessModules, 4),
    WIDTH(GetModuleFileNameExA, 4),
    WIDTH(NtQueryInformationProcess, 5),
    WIDTH(NtQuerySystemInformation, 4),
};
#undef SLOT
#undef WIDTH

constexpr uint32_t kImportCount = sizeof kImports / sizeof kImports[0];

// The slots in the order of their names: binding looks each import up by name, and the product
// imports about sixty functions, each a walk over the whole table otherwise.
constexpr auto kSlotsByName = [] {
  std::array<uint16_t, kImportCount> order{};
  for (uint32_t i = 0; i < kImportCount; ++i) order[i] = static_cast<uint16_t>(i);
  std::sort(order.begin(), order.end(), [](uint16_t a, uint16_t b) {
    return std::string_view(kImports[a].name) < std::string_view(kImports[b].name);
  });
  return order;
}();
constexpr uint32_t kStubSize = 16;
uint8_t* stubs = nullptr;
uint32_t defaultStack = 1 << 20;

void Put32(uint8_t* at, uint32_t value) {
  std::memcpy(at, &value, sizeof value);
}

} // namespace

bool BuildStubs() {
  const size_t size = (kImportCount * kStubSize + 0xFFF) & ~size_t{0xFFF};
  void* page =
      winposix::MapForProgram(size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (page == MAP_FAILED) return false;
  stubs = static_cast<uint8_t*>(page);
  std::memset(stubs, 0xCC, size);
  const uint32_t enter = Address(reinterpret_cast<const void*>(&Enter64));
  for (uint32_t i = 0; i < kImportCount; ++i) {
    uint8_t* stub = stubs + i * kStubSize;
    stub[0] = 0xB8; // mov eax, index
    Put32(stub + 1, i);
    stub[5] = 0x9A; // call far 0x33:Enter64
    Put32(stub + 6, enter);
    stub[10] = kCode64;
    stub[11] = 0;
    if (kImports[i].callerCleans) {
      stub[12] = 0xC3; // ret
    } else {
      stub[12] = 0xC2; // ret bytes
      stub[13] = static_cast<uint8_t>(kImports[i].argumentBytes);
      stub[14] = static_cast<uint8_t>(kImports[i].argumentBytes >> 8);
    }
  }
  return mprotect(page, size, PROT_READ | PROT_EXEC) == 0;
}

uint32_t StubFor(HMODULE module, const char* name) {
  if (GetProcAddress(module, name) == nullptr) return 0;
  const std::string_view wanted(name);
  const auto slot = std::lower_bound(
      kSlotsByName.begin(), kSlotsByName.end(), wanted,
      [](uint16_t i, std::string_view key) { return std::string_view(kImports[i].name) < key; });
  if (slot != kSlotsByName.end() && kImports[*slot].name == wanted)
    return Address(stubs + *slot * kStubSize);
  SetLastError(ERROR_PROC_NOT_FOUND);
  return 0;
}

void SetDefaultStack(uint32_t reserve) {
  defaultStack = reserve;
}

uint32_t DefaultStack() {
  return defaultStack;
}

} // namespace winrun

extern "C" uint64_t DispatchImport(uint32_t index, const uint32_t* args) {
  return winrun::kImports[index].adapter(args);
}
