// Modules and the functions they export. GetProcAddress answers from the table below, which
// lists what the layer implements, so a test that removes an entry makes runtime code take its
// "function missing" path exactly as on an older Windows.
#include "winposix/internal.h"

#include <atomic>
#include <map>
#include <mutex>
#include <set>
#include <string.h>
#include <string>
#include <strings.h>

namespace {

struct Module {
  const char* name;
  char image;   // a module handle is the address of this byte
  bool removed; // as on a system without the library
};

Module modules[] = {{"kernel32", 0, false},
                    {"user32", 0, false},
                    {"advapi32", 0, false},
                    {"ntdll", 0, false},
                    {"psapi", 0, false}};
constexpr int kKernel32 = 0, kUser32 = 1, kModuleCount = 5;

struct Export {
  int module;
  const char* name;
  size_t length; // of the name: most entries are told apart by it before a byte is compared
  FARPROC address;
};

// Through void (*)(), the one function type every other may be cast from without a warning.
#define EXPORT(module, function)                                                                   \
  {                                                                                                \
    module, #function, sizeof #function - 1,                                                       \
        reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(&function))                         \
  }
const Export exports[] = {
    EXPORT(kKernel32, GetLastError),
    EXPORT(kKernel32, SetLastError),
    EXPORT(kKernel32, GetModuleHandleA),
    EXPORT(kKernel32, GetProcAddress),
    EXPORT(kKernel32, VirtualAlloc),
    EXPORT(kKernel32, VirtualFree),
    EXPORT(kKernel32, VirtualProtect),
    EXPORT(kKernel32, TlsAlloc),
    EXPORT(kKernel32, TlsFree),
    EXPORT(kKernel32, TlsGetValue),
    EXPORT(kKernel32, TlsSetValue),
    EXPORT(kKernel32, AddVectoredExceptionHandler),
    EXPORT(kKernel32, RemoveVectoredExceptionHandler),
    EXPORT(kKernel32, GetProcessHeap),
    EXPORT(kKernel32, HeapAlloc),
    EXPORT(kKernel32, HeapSize),
    EXPORT(kKernel32, HeapFree),
    EXPORT(kKernel32, InitializeCriticalSection),
    EXPORT(kKernel32, InitializeCriticalSectionAndSpinCount),
    EXPORT(kKernel32, SetCriticalSectionSpinCount),
    EXPORT(kKernel32, EnterCriticalSection),
    EXPORT(kKernel32, LeaveCriticalSection),
    EXPORT(kKernel32, DeleteCriticalSection),
    EXPORT(kKernel32, GetSystemInfo),
    EXPORT(kKernel32, GetEnvironmentVariableA),
    EXPORT(kKernel32, SetEnvironmentVariableA),
    EXPORT(kKernel32, GetModuleFileNameA),
    EXPORT(kKernel32, GetCommandLineA),
    EXPORT(kKernel32, ExitProcess),
    EXPORT(kKernel32, GetCurrentProcess),
    EXPORT(kKernel32, GetCurrentProcessId),
    EXPORT(kKernel32, GetProcessAffinityMask),
    EXPORT(kKernel32, SetProcessAffinityMask),
    EXPORT(kKernel32, Sleep),
    EXPORT(kKernel32, GetVersion),
    EXPORT(kKernel32, GetVersionExA),
    EXPORT(kKernel32, GetTickCount),
    EXPORT(kKernel32, GetProcessTimes),
    EXPORT(kKernel32, GetLocalTime),
    EXPORT(kKernel32, GetSystemTime),
    EXPORT(kKernel32, CreateFileA),
    EXPORT(kKernel32, DeleteFileA),
    EXPORT(kKernel32, SetFileAttributesA),
    EXPORT(kKernel32, SetFilePointer),
    EXPORT(kKernel32, GetFileSize),
    EXPORT(kKernel32, SetEndOfFile),
    EXPORT(kKernel32, LockFile),
    EXPORT(kKernel32, UnlockFile),
    EXPORT(kKernel32, DeviceIoControl),
    EXPORT(kKernel32, CreateFileMappingA),
    EXPORT(kKernel32, MapViewOfFile),
    EXPORT(kKernel32, UnmapViewOfFile),
    EXPORT(kKernel32, ReadConsoleInputA),
    EXPORT(kKernel32, Beep),
    EXPORT(kUser32, MessageBoxA),
    EXPORT(kKernel32, GetStdHandle),
    EXPORT(kKernel32, SetStdHandle),
    EXPORT(kKernel32, WriteFile),
    EXPORT(kKernel32, ReadFile),
    EXPORT(kKernel32, CreatePipe),
    EXPORT(kKernel32, CloseHandle),
    EXPORT(kKernel32, CreateThread),
    EXPORT(kKernel32, ResumeThread),
    EXPORT(kKernel32, WaitForSingleObject),
    EXPORT(kKernel32, GetExitCodeThread),
    EXPORT(kKernel32, GetCurrentThreadId),
    EXPORT(kKernel32, GetCurrentThread),
    EXPORT(kKernel32, SetThreadAffinityMask),
    EXPORT(3, NtCurrentTeb), // ntdll
    EXPORT(kKernel32, GetCurrentThreadStackLimits),
    EXPORT(kKernel32, GetFileAttributesA),
    EXPORT(kKernel32, SetCurrentDirectoryA),
    EXPORT(kKernel32, GetCurrentProcessorNumber),
    EXPORT(2, RegOpenKeyExA), // advapi32
    EXPORT(2, RegCloseKey),
    EXPORT(kKernel32, GetConsoleTitleA),
    EXPORT(kKernel32, SetConsoleTitleA),
    EXPORT(kKernel32, GetLargestConsoleWindowSize),
    EXPORT(kKernel32, SetConsoleScreenBufferSize),
    EXPORT(kKernel32, SetConsoleWindowInfo),
    EXPORT(kKernel32, GetConsoleScreenBufferInfo),
    EXPORT(kUser32, FindWindowA),
    EXPORT(kUser32, GetWindowPlacement),
    EXPORT(kUser32, SetWindowPos),
    EXPORT(kUser32, GetSystemMetrics),
    EXPORT(kUser32, EnumDisplayMonitors),
    EXPORT(kUser32, GetMonitorInfoA),
    EXPORT(kUser32, wsprintfA),
    EXPORT(kKernel32, LoadLibraryA),
    EXPORT(kKernel32, FreeLibrary),
    EXPORT(kKernel32, CreateToolhelp32Snapshot),
    EXPORT(kKernel32, Process32First),
    EXPORT(kKernel32, Process32Next),
    EXPORT(kKernel32, ProcessIdToSessionId),
    EXPORT(kKernel32, OpenProcess),
    EXPORT(4, EnumProcesses), // psapi
    EXPORT(4, EnumProcessModules),
    EXPORT(4, GetModuleFileNameExA),
    EXPORT(3, NtQueryInformationProcess), // ntdll
    EXPORT(3, NtQuerySystemInformation),
    EXPORT(kKernel32, CreateProcessA),
    EXPORT(kKernel32, GetExitCodeProcess),
    EXPORT(kKernel32, TerminateProcess),
    EXPORT(kKernel32, SetConsoleCtrlHandler),
    EXPORT(kKernel32, GetFileType),
};
#undef EXPORT

std::mutex removedLock;
std::set<std::string>& Removed() {
  static auto* names = new std::set<std::string>;
  return *names;
}

std::mutex overrideLock;
std::atomic<bool> anyOverride{false}; // spares every call the lock while no test replaces one
std::map<std::string, void (*)()>& Overrides() {
  static auto* replacements = new std::map<std::string, void (*)()>;
  return *replacements;
}

HMODULE HandleOf(int module) {
  return reinterpret_cast<HMODULE>(&modules[module].image);
}

} // namespace

namespace winposix {

void RemoveExport(const char* name) {
  std::lock_guard<std::mutex> hold(removedLock);
  Removed().insert(name);
}

void RestoreExports() {
  std::lock_guard<std::mutex> hold(removedLock);
  Removed().clear();
  for (Module& m : modules) m.removed = false;
}

void Override(const char* name, void (*replacement)()) {
  std::lock_guard<std::mutex> hold(overrideLock);
  Overrides()[name] = replacement;
  anyOverride = true;
}

void RestoreOverrides() {
  std::lock_guard<std::mutex> hold(overrideLock);
  Overrides().clear();
  anyOverride = false;
}

void (*OverrideOf(const char* name))() {
  if (!anyOverride.load(std::memory_order_acquire)) return nullptr;
  std::lock_guard<std::mutex> hold(overrideLock);
  const auto found = Overrides().find(name);
  return found != Overrides().end() ? found->second : nullptr;
}

void RemoveModule(const char* name) {
  std::lock_guard<std::mutex> hold(removedLock);
  for (Module& m : modules)
    if (strcasecmp(m.name, name) == 0) m.removed = true;
}

} // namespace winposix

extern "C" HMODULE WINAPI GetModuleHandleA(LPCSTR name) {
  if (name == nullptr) return winposix::ProgramImage();
  size_t length = strlen(name);
  if (length > 4 && strcasecmp(name + length - 4, ".dll") == 0) length -= 4;
  std::lock_guard<std::mutex> hold(removedLock);
  for (int i = 0; i < kModuleCount; ++i)
    if (strlen(modules[i].name) == length && strncasecmp(name, modules[i].name, length) == 0 &&
        !modules[i].removed)
      return HandleOf(i);
  SetLastError(ERROR_MOD_NOT_FOUND);
  return nullptr;
}

extern "C" FARPROC WINAPI GetProcAddress(HMODULE module, LPCSTR name) {
  if (module != nullptr && name != nullptr) {
    const size_t length = strlen(name);
    std::lock_guard<std::mutex> hold(removedLock);
    for (const Export& e : exports) {
      if (e.length != length || HandleOf(e.module) != module || memcmp(e.name, name, length) != 0)
        continue;
      if (!Removed().empty() && Removed().count(name) != 0) break; // no string built for none
      if (const auto replaced = winposix::OverrideOf(name))
        return reinterpret_cast<FARPROC>(replaced);
      return e.address;
      break;
    }
  }
  SetLastError(ERROR_PROC_NOT_FOUND);
  return nullptr;
}
