#include "runtime/platform/launcher.h"

#include "runtime/memory/memory.h"
#include "runtime/text/memory_ops.h"
#include "runtime/platform/path_parts.h"
#include "runtime/text/scramble.h"
#include "runtime/text/strings.h"
#include "winposix/win32.h"

#include <stddef.h>

namespace {

// The system's names stay out of plain sight in the image; each becomes readable in a buffer of
// its own just before use.
constexpr auto kLauncherName = Scramble("CvLaunch.exe");
constexpr auto kSystemModule = Scramble("kernel32.dll");
constexpr auto kSnapshotFunction = Scramble("CreateToolhelp32Snapshot");
constexpr auto kFirstProcessFunction = Scramble("Process32First");
constexpr auto kNextProcessFunction = Scramble("Process32Next");
constexpr auto kSessionFunction = Scramble("ProcessIdToSessionId");
constexpr auto kOpenProcessFunction = Scramble("OpenProcess");
constexpr auto kProcessLibrary = Scramble("psapi.dll");
constexpr auto kProcessIdsFunction = Scramble("EnumProcesses");
constexpr auto kModulesFunction = Scramble("EnumProcessModules");
constexpr auto kModuleNameFunction = Scramble("GetModuleFileNameExA");
constexpr auto kNativeModule = Scramble("ntdll.dll");
constexpr auto kProcessQueryFunction = Scramble("NtQueryInformationProcess");

template <uint32_t Size> struct Revealed {
  template <size_t N> explicit Revealed(const ScrambledName<N>& name) {
    static_assert(N <= Size, "the name must fit its buffer");
    StrCopyN(text, name.bytes, Size);
    UnscrambleName(text);
  }
  operator const char*() const { return text; }
  char text[Size];
};

// The toolhelp process record (PROCESSENTRY32): 296 bytes in a 32-bit process.
struct ProcessRecord {
  DWORD Size;
  DWORD Usage;
  DWORD ProcessId;
  ULONG_PTR DefaultHeapId;
  DWORD ModuleId;
  DWORD Threads;
  DWORD ParentProcessId;
  LONG PriorityBase;
  DWORD Flags;
  char ExeFile[260];
};

// The native query's basic process information: 24 bytes in a 32-bit process.
struct BasicProcessInfo {
  LONG_PTR ExitStatus;
  void* PebBaseAddress;
  ULONG_PTR AffinityMask;
  LONG_PTR BasePriority;
  ULONG_PTR ProcessId;
  ULONG_PTR ParentProcessId;
};

#if defined(__i386__)
static_assert(sizeof(ProcessRecord) == 296 && offsetof(ProcessRecord, ParentProcessId) == 24 &&
                  offsetof(ProcessRecord, ExeFile) == 36,
              "the toolhelp record");
static_assert(sizeof(BasicProcessInfo) == 24 && offsetof(BasicProcessInfo, ParentProcessId) == 20,
              "the basic process information");
#endif

typedef HANDLE(WINAPI* SnapshotFunction)(DWORD flags, DWORD processId);
typedef BOOL(WINAPI* ProcessWalkFunction)(HANDLE snapshot, ProcessRecord* record);
typedef BOOL(WINAPI* SessionFunction)(DWORD processId, DWORD* session);
typedef HANDLE(WINAPI* OpenProcessFunction)(DWORD access, BOOL inherit, DWORD processId);
typedef BOOL(WINAPI* ProcessIdsFunction)(DWORD* ids, DWORD size, DWORD* delivered);
typedef BOOL(WINAPI* ModulesFunction)(HANDLE process, HMODULE* modules, DWORD size, DWORD* needed);
typedef DWORD(WINAPI* ModuleNameFunction)(HANDLE process, HMODULE module, char* name, DWORD size);
typedef LONG(WINAPI* ProcessQueryFunction)(HANDLE process, ULONG infoClass, void* info,
                                           ULONG length, ULONG* returned);

template <typename Function, uint32_t BufferSize, size_t N>
Function FindFunction(HMODULE module, const ScrambledName<N>& name) {
  const Revealed<BufferSize> plain(name);
  return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(GetProcAddress(module, plain)));
}

constexpr DWORD kSnapshotProcesses = 2;
constexpr DWORD kQueryAndRead = 0x410; // PROCESS_QUERY_INFORMATION | PROCESS_VM_READ
constexpr DWORD kIdBlockSize = 16384;
constexpr DWORD kModuleNameSize = 512;

bool IsLauncher(const char* path, const char* launcherName) {
  PathParts parts(path);
  const char* file = parts.NameAndExt();
  return *file != 0 && StrEqualNoCase(file, launcherName);
}

// Windows 95, 98 and ME: one snapshot of all processes holds each one's parent.
bool StartedFromLauncher9x(const char* launcherName, HMODULE system) {
  const auto snapshot = FindFunction<SnapshotFunction, 40>(system, kSnapshotFunction);
  const auto first = FindFunction<ProcessWalkFunction, 40>(system, kFirstProcessFunction);
  const auto next = FindFunction<ProcessWalkFunction, 40>(system, kNextProcessFunction);
  if (snapshot == nullptr || first == nullptr || next == nullptr) return false;
  const HANDLE processes = snapshot(kSnapshotProcesses, 0);
  // The snapshot function fails with INVALID_HANDLE_VALUE, not with null.
  if (processes == nullptr || processes == INVALID_HANDLE_VALUE) return false;

  const DWORD self = GetCurrentProcessId();
  bool seen = false, found = false;
  DWORD parent = 0, candidate = 0;
  ProcessRecord record;
  ZeroMem(&record, sizeof record);
  record.Size = sizeof record;
  for (BOOL more = first(processes, &record); more; more = next(processes, &record)) {
    record.ExeFile[sizeof record.ExeFile - 1] = 0;
    if (record.ProcessId == self) {
      parent = record.ParentProcessId;
      seen = true;
    }
    if (IsLauncher(record.ExeFile, launcherName)) {
      candidate = record.ProcessId;
      found = true;
    }
  }
  CloseHandle(processes);
  return seen && found && parent == candidate;
}

// The last process of the logon session whose executable is the launcher; false without one.
bool FindLauncherNT(const char* launcherName, OpenProcessFunction open, SessionFunction session,
                    DWORD ownSession, DWORD* candidate) {
  const Revealed<40> libraryName(kProcessLibrary);
  const HMODULE library = LoadLibraryA(libraryName);
  if (library == nullptr) return false;
  const auto processIds = FindFunction<ProcessIdsFunction, 40>(library, kProcessIdsFunction);
  const auto modules = FindFunction<ModulesFunction, 40>(library, kModulesFunction);
  const auto moduleName = FindFunction<ModuleNameFunction, 40>(library, kModuleNameFunction);
  DWORD* ids = nullptr;
  if (processIds != nullptr && modules != nullptr && moduleName != nullptr)
    ids = static_cast<DWORD*>(AllocMem(kIdBlockSize));
  bool found = false;
  DWORD delivered = 0;
  if (ids != nullptr && processIds(ids, kIdBlockSize, &delivered)) {
    const DWORD count = (delivered < kIdBlockSize ? delivered : kIdBlockSize) / sizeof(DWORD);
    for (DWORD i = 0; i < count; ++i) {
      const HANDLE process = open(kQueryAndRead, FALSE, ids[i]);
      if (process == nullptr) continue;
      HMODULE module = nullptr;
      DWORD needed = 0;
      char path[kModuleNameSize];
      DWORD theirSession = 0;
      if (modules(process, &module, sizeof module, &needed) && needed >= sizeof module &&
          moduleName(process, module, path, sizeof path) != 0 &&
          !(session != nullptr && session(ids[i], &theirSession) && theirSession != ownSession)) {
        path[sizeof path - 1] = 0;
        // A native path "\??\C:\..." names the same file.
        const char* file = StrEqualN(path, "\\??\\", 4) ? path + 4 : path;
        if (IsLauncher(file, launcherName)) {
          *candidate = ids[i];
          found = true;
        }
      }
      CloseHandle(process);
    }
  }
  FreeMem(ids);
  FreeLibrary(library);
  return found;
}

// The NT family: the process-status library lists the processes and their executables, the
// native module tells the parent.
bool StartedFromLauncherNT(const char* launcherName, HMODULE system) {
  const DWORD self = GetCurrentProcessId();
  const auto session = FindFunction<SessionFunction, 80>(system, kSessionFunction);
  DWORD ownSession = 0;
  if (session != nullptr && !session(self, &ownSession)) ownSession = 0;
  const auto open = FindFunction<OpenProcessFunction, 80>(system, kOpenProcessFunction);
  if (open == nullptr) return false;

  DWORD candidate = 0;
  if (!FindLauncherNT(launcherName, open, session, ownSession, &candidate)) return false;

  const HANDLE process = open(kQueryAndRead, FALSE, self);
  if (process == nullptr) return false;
  const Revealed<20> nativeName(kNativeModule);
  const HMODULE native = GetModuleHandleA(nativeName);
  const auto query = native != nullptr
                         ? FindFunction<ProcessQueryFunction, 40>(native, kProcessQueryFunction)
                         : nullptr;
  bool result = false;
  BasicProcessInfo info;
  ZeroMem(&info, sizeof info);
  ULONG length = 0;
  if (query != nullptr && query(process, 0, &info, sizeof info, &length) == 0 &&
      info.ParentProcessId == candidate)
    result = true;
  CloseHandle(process);
  return result;
}

} // namespace

bool StartedFromLauncherNamed(const char* launcherName) {
  if (launcherName == nullptr || *launcherName == 0) return false;
  const Revealed<80> systemName(kSystemModule);
  const HMODULE system = GetModuleHandleA(systemName);
  if (system == nullptr) return false;
  if ((GetVersion() & 0x80000000u) != 0) return StartedFromLauncher9x(launcherName, system);
  return StartedFromLauncherNT(launcherName, system);
}

bool StartedFromLauncher() {
  const Revealed<80> launcherName(kLauncherName);
  return StartedFromLauncherNamed(launcherName);
}
