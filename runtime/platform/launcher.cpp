#include "runtime/platform/launcher.h"
#include "runtime/text/system_functions.h"

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
constexpr auto kProcessLibrary = Scramble("psapi.dll");
constexpr auto kProcessIdsFunction = Scramble("EnumProcesses");
constexpr auto kModulesFunction = Scramble("EnumProcessModules");
constexpr auto kModuleNameFunction = Scramble("GetModuleFileNameExA");

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

// A record of the native process list (SystemProcessInformation); the image name (the file's
// name only, UTF-16) lies behind it.
struct NativeProcessRecord {
  ULONG NextEntryOffset;
  ULONG Threads;
  BYTE Reserved[48];
  uint16_t NameLength; // bytes
  uint16_t NameCapacity;
  const uint16_t* Name;
  LONG BasePriority;
  ULONG_PTR ProcessId;
  ULONG_PTR ParentProcessId;
  ULONG Handles;
  ULONG SessionId;
};

#if defined(__i386__)
static_assert(offsetof(NativeProcessRecord, Name) == 0x3C &&
                  offsetof(NativeProcessRecord, ParentProcessId) == 0x48 &&
                  offsetof(NativeProcessRecord, SessionId) == 0x50,
              "the native process record");
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
typedef LONG(WINAPI* SystemQueryFunction)(ULONG infoClass, void* info, ULONG length,
                                          ULONG* returned);

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
bool StartedFromLauncher9x(const char* launcherName) {
  const auto snapshot =
      FindSystemFunction<SnapshotFunction>(SystemFunction::CreateToolhelp32Snapshot);
  const auto first = FindSystemFunction<ProcessWalkFunction>(SystemFunction::Process32First);
  const auto next = FindSystemFunction<ProcessWalkFunction>(SystemFunction::Process32Next);
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

constexpr ULONG kSystemProcessInformation = 5;
constexpr LONG kInfoLengthMismatch = static_cast<LONG>(0xC0000004);

// The native process list in a block of the memory manager (null when it cannot be had); the
// list grows between two calls, so a refused size is tried again a few times.
void* NativeProcessList(SystemQueryFunction query) {
  ULONG size = 64 * 1024;
  for (int attempt = 0; attempt < 4; ++attempt) {
    void* list = AllocMem(size);
    if (list == nullptr) return nullptr;
    ULONG needed = 0;
    const LONG status = query(kSystemProcessInformation, list, size, &needed);
    if (status == 0) return list;
    FreeMem(list);
    if (status != kInfoLengthMismatch || needed > 0x4000000) return nullptr;
    size = needed + 16 * 1024;
  }
  return nullptr;
}

// The record behind this one in the list; null after the last.
const NativeProcessRecord* NextRecord(const NativeProcessRecord* record) {
  if (record->NextEntryOffset == 0) return nullptr;
  return reinterpret_cast<const NativeProcessRecord*>(reinterpret_cast<const char*>(record) +
                                                      record->NextEntryOffset);
}

bool IsLauncherNamed(const NativeProcessRecord& record, const char* launcherName) {
  char name[kModuleNameSize];
  uint32_t length = record.Name != nullptr ? record.NameLength / 2 : 0;
  if (length >= sizeof name) length = sizeof name - 1;
  for (uint32_t i = 0; i < length; ++i)
    name[i] = record.Name[i] < 0x80 ? static_cast<char>(record.Name[i]) : '?';
  name[length] = 0;
  return IsLauncher(name, launcherName);
}

// NT 4.0 has no psapi.dll: the native process list holds every process's image name, parent and
// session instead.
bool StartedFromLauncherNative(const char* launcherName) {
  const auto query =
      FindSystemFunction<SystemQueryFunction>(SystemFunction::NtQuerySystemInformation);
  void* list = query != nullptr ? NativeProcessList(query) : nullptr;
  if (list == nullptr) return false;
  const DWORD self = GetCurrentProcessId();
  const auto* first = static_cast<const NativeProcessRecord*>(list);
  const NativeProcessRecord* own = nullptr;
  for (const auto* record = first; record != nullptr; record = NextRecord(record))
    if (record->ProcessId == self) own = record;
  bool result = false;
  if (own != nullptr) {
    const NativeProcessRecord* candidate = nullptr;
    for (const auto* record = first; record != nullptr; record = NextRecord(record))
      if (record->SessionId == own->SessionId && IsLauncherNamed(*record, launcherName))
        candidate = record;
    result = candidate != nullptr && candidate->ProcessId == own->ParentProcessId;
  }
  FreeMem(list);
  return result;
}

// The last process of the logon session whose executable is the launcher; false without one.
bool FindLauncherNT(const char* launcherName, HMODULE library, OpenProcessFunction open,
                    SessionFunction session, DWORD ownSession, DWORD* candidate) {
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
  return found;
}

// The NT family: the process-status library lists the processes and their executables, the
// native module tells the parent.
bool StartedFromLauncherNT(const char* launcherName) {
  const DWORD self = GetCurrentProcessId();
  const auto session = FindSystemFunction<SessionFunction>(SystemFunction::ProcessIdToSessionId);
  DWORD ownSession = 0;
  if (session != nullptr && !session(self, &ownSession)) ownSession = 0;
  const auto open = FindSystemFunction<OpenProcessFunction>(SystemFunction::OpenProcess);
  if (open == nullptr) return false;
  const Revealed<40> libraryName(kProcessLibrary);
  const HMODULE library = LoadLibraryA(libraryName);
  if (library == nullptr) return StartedFromLauncherNative(launcherName);

  DWORD candidate = 0;
  const bool found = FindLauncherNT(launcherName, library, open, session, ownSession, &candidate);
  FreeLibrary(library);
  if (!found) return false;

  const HANDLE process = open(kQueryAndRead, FALSE, self);
  if (process == nullptr) return false;
  const auto query =
      FindSystemFunction<ProcessQueryFunction>(SystemFunction::NtQueryInformationProcess);
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
  if ((GetVersion() & 0x80000000u) != 0) return StartedFromLauncher9x(launcherName);
  return StartedFromLauncherNT(launcherName);
}

bool StartedFromLauncher() {
  const Revealed<80> launcherName(kLauncherName);
  return StartedFromLauncherNamed(launcherName);
}
