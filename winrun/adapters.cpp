#include "winrun/adapters.h"

#include "winrun/imports.h"
#include "winrun/switch.h"
#include "winrun/thread_block.h"
#include "winrun/widths.h"

#include <algorithm>
#include <mutex>
#include <unordered_map>
#include <vector>

namespace winrun::adapters {
namespace {

// The 32-bit layouts.
struct SystemInfo32 {
  uint16_t wProcessorArchitecture, wReserved;
  uint32_t dwPageSize, lpMinimumApplicationAddress, lpMaximumApplicationAddress;
  uint32_t dwActiveProcessorMask, dwNumberOfProcessors, dwProcessorType;
  uint32_t dwAllocationGranularity;
  uint16_t wProcessorLevel, wProcessorRevision;
};
static_assert(sizeof(SystemInfo32) == 36);

struct ProcessEntry32 {
  uint32_t dwSize, cntUsage, th32ProcessID, th32DefaultHeapID, th32ModuleID, cntThreads;
  uint32_t th32ParentProcessID;
  int32_t pcPriClassBase;
  uint32_t dwFlags;
  char szExeFile[260];
};
static_assert(sizeof(ProcessEntry32) == 296);

struct BasicInformation32 {
  int32_t ExitStatus;
  uint32_t PebBaseAddress, AffinityMask;
  int32_t BasePriority;
  uint32_t UniqueProcessId, InheritedFromUniqueProcessId;
};
static_assert(sizeof(BasicInformation32) == 24);

struct ProcessRecord32 {
  uint32_t NextEntryOffset, NumberOfThreads;
  uint8_t Reserved1[48];
  uint16_t NameLength, NameMaximumLength;
  uint32_t NameBuffer;
  int32_t BasePriority;
  uint32_t UniqueProcessId, InheritedFromUniqueProcessId, HandleCount, SessionId;
  uint8_t Reserved2[0x64];
};
static_assert(sizeof(ProcessRecord32) == 0xB8);

// A 32-bit critical section stands for one of the layer's, kept here by its address.
std::mutex sectionsLock;
std::unordered_map<uint32_t, CRITICAL_SECTION*>& Sections() {
  static auto* sections = new std::unordered_map<uint32_t, CRITICAL_SECTION*>;
  return *sections;
}

CRITICAL_SECTION* SectionAt(uint32_t address) {
  std::lock_guard<std::mutex> hold(sectionsLock);
  const auto found = Sections().find(address);
  if (found == Sections().end())
    Fatal("the program used the critical section at 0x%08x before initialising it", address);
  return found->second;
}

void NewSection(uint32_t address) {
  auto* section = new CRITICAL_SECTION;
  ::InitializeCriticalSection(section);
  std::lock_guard<std::mutex> hold(sectionsLock);
  CRITICAL_SECTION*& slot = Sections()[address];
  if (slot != nullptr) {
    ::DeleteCriticalSection(slot);
    delete slot;
  }
  slot = section;
}

struct Monitors32 {
  uint32_t callback, data;
};

BOOL CALLBACK ForwardMonitor(HMONITOR monitor, HDC dc, LPRECT area, LPARAM data) {
  const auto* forward = reinterpret_cast<const Monitors32*>(data);
  const uint32_t args[4] = {Address(monitor), Address(dc), Address(area), forward->data};
  return static_cast<BOOL>(Call32(forward->callback, args, 4, CurrentBlock(), 0));
}

struct ThreadStart {
  uint32_t routine, parameter;
  Thread32 thread;
};

DWORD WINAPI RunThread32(LPVOID argument) {
  const ThreadStart start = *static_cast<ThreadStart*>(argument);
  delete static_cast<ThreadStart*>(argument);
  AdoptThread(start.thread);
  const uint32_t code =
      Call32(start.routine, &start.parameter, 1, start.thread.Block(), start.thread.stackTop);
  LeaveThread(start.thread);
  return code;
}

uint64_t WalkProcesses(BOOL(WINAPI* walk)(HANDLE, LPPROCESSENTRY32), const uint32_t* args) {
  auto* narrow = Pointer<ProcessEntry32>(args[1]);
  if (narrow == nullptr || narrow->dwSize < sizeof(ProcessEntry32)) {
    SetLastError(ERROR_BAD_LENGTH);
    return FALSE;
  }
  PROCESSENTRY32 wide = {};
  wide.dwSize = sizeof wide;
  if (!walk(Pointer<void>(args[0]), &wide)) return FALSE;
  narrow->cntUsage = wide.cntUsage;
  narrow->th32ProcessID = wide.th32ProcessID;
  narrow->th32DefaultHeapID = static_cast<uint32_t>(wide.th32DefaultHeapID);
  narrow->th32ModuleID = wide.th32ModuleID;
  narrow->cntThreads = wide.cntThreads;
  narrow->th32ParentProcessID = wide.th32ParentProcessID;
  narrow->pcPriClassBase = wide.pcPriClassBase;
  narrow->dwFlags = wide.dwFlags;
  std::memcpy(narrow->szExeFile, wide.szExeFile, sizeof narrow->szExeFile);
  return TRUE;
}

// Another process's modules may lie anywhere; the program gets a 32-bit stand-in for each, above
// the user space of a 32-bit process, which GetModuleFileNameExA turns back.
constexpr uint32_t kForeignModules = 0xC0000000, kForeignStep = 0x10000, kForeignMost = 0x3FFF;
std::mutex foreignLock;
std::vector<HMODULE>& ForeignModules() {
  static auto* modules = new std::vector<HMODULE>;
  return *modules;
}

uint32_t ModuleSlot(HMODULE module) {
  const uintptr_t value = reinterpret_cast<uintptr_t>(module);
  if (value < kForeignModules) return static_cast<uint32_t>(value);
  std::lock_guard<std::mutex> hold(foreignLock);
  std::vector<HMODULE>& known = ForeignModules();
  size_t index = std::find(known.begin(), known.end(), module) - known.begin();
  if (index == known.size()) {
    if (index == kForeignMost) Fatal("too many modules of other processes");
    known.push_back(module);
  }
  return kForeignModules + static_cast<uint32_t>(index) * kForeignStep;
}

HMODULE ModuleFromSlot(uint32_t slot) {
  if (slot < kForeignModules || slot >= kSignedFrom) return Pointer<HINSTANCE__>(slot);
  std::lock_guard<std::mutex> hold(foreignLock);
  const size_t index = (slot - kForeignModules) / kForeignStep;
  return index < ForeignModules().size() ? ForeignModules()[index] : nullptr;
}

struct ProcessInformation32 {
  uint32_t hProcess, hThread, dwProcessId, dwThreadId;
};

// The program's Ctrl+C handlers, the last added last; the layer calls one forwarder for them all.
std::mutex controlLock;
std::vector<uint32_t>& ControlHandlers() {
  static auto* handlers = new std::vector<uint32_t>;
  return *handlers;
}

// Runs on the layer's own thread: it gets a 32-bit block and stack for the calls.
BOOL WINAPI ForwardControl(DWORD type) {
  std::vector<uint32_t> handlers;
  {
    std::lock_guard<std::mutex> hold(controlLock);
    handlers = ControlHandlers();
  }
  Thread32 thread;
  if (!NewThread(DefaultStack(), &thread)) return FALSE;
  AdoptThread(thread);
  BOOL taken = FALSE;
  for (auto at = handlers.rbegin(); at != handlers.rend() && !taken; ++at)
    taken = Call32(*at, &type, 1, thread.Block(), thread.stackTop) != 0;
  LeaveThread(thread);
  return taken;
}

} // namespace

uint64_t CreateProcessA(const uint32_t* args) {
  PROCESS_INFORMATION wide = {};
  // The start-up record's fields are titles, positions and standard handles the layer does not
  // use.
  const BOOL ok =
      ::CreateProcessA(Pointer<const char>(args[0]), Pointer<char>(args[1]),
                       SecurityFromSlot(args[2]), SecurityFromSlot(args[3]), args[4], args[5],
                       Pointer<void>(args[6]), Pointer<const char>(args[7]), nullptr, &wide);
  if (ok && args[9] != 0)
    *Pointer<ProcessInformation32>(args[9]) = {Address(wide.hProcess), Address(wide.hThread),
                                               wide.dwProcessId, wide.dwThreadId};
  return static_cast<uint32_t>(ok);
}

uint64_t SetConsoleCtrlHandler(const uint32_t* args) {
  std::lock_guard<std::mutex> hold(controlLock);
  std::vector<uint32_t>& handlers = ControlHandlers();
  const auto found = std::find(handlers.begin(), handlers.end(), args[0]);
  if (args[0] == 0 || (args[1] == 0 && found == handlers.end())) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (args[1] == 0) {
    handlers.erase(found);
    return TRUE;
  }
  if (handlers.empty() && !::SetConsoleCtrlHandler(&ForwardControl, TRUE)) return FALSE;
  handlers.push_back(args[0]);
  return TRUE;
}

uint64_t GetProcAddress(const uint32_t* args) {
  // An ordinal in place of a name: the layer's table has none.
  if (args[1] < 0x10000) {
    SetLastError(ERROR_PROC_NOT_FOUND);
    return 0;
  }
  return StubFor(Pointer<HINSTANCE__>(args[0]), Pointer<const char>(args[1]));
}

uint64_t GetProcessAffinityMask(const uint32_t* args) {
  DWORD_PTR process = 0, system = 0;
  const BOOL ok = ::GetProcessAffinityMask(Pointer<void>(args[0]), args[1] ? &process : nullptr,
                                           args[2] ? &system : nullptr);
  if (ok && args[1]) *Pointer<uint32_t>(args[1]) = static_cast<uint32_t>(process);
  if (ok && args[2]) *Pointer<uint32_t>(args[2]) = static_cast<uint32_t>(system);
  return static_cast<uint32_t>(ok);
}

uint64_t GetSystemInfo(const uint32_t* args) {
  SYSTEM_INFO wide;
  ::GetSystemInfo(&wide);
  SystemInfo32 narrow = {};
  narrow.wProcessorArchitecture = PROCESSOR_ARCHITECTURE_INTEL;
  narrow.dwPageSize = wide.dwPageSize;
  // A 32-bit process without the large-address flag on a 64-bit Windows.
  narrow.lpMinimumApplicationAddress = 0x10000;
  narrow.lpMaximumApplicationAddress = 0x7FFEFFFF;
  narrow.dwActiveProcessorMask = static_cast<uint32_t>(wide.dwActiveProcessorMask);
  narrow.dwNumberOfProcessors = std::min<uint32_t>(wide.dwNumberOfProcessors, 32);
  narrow.dwProcessorType = PROCESSOR_INTEL_PENTIUM;
  narrow.dwAllocationGranularity = wide.dwAllocationGranularity;
  // The level the layer read once (or a described machine's): each CPUID is a trap on a VM.
  narrow.wProcessorLevel = wide.wProcessorLevel;
  narrow.wProcessorRevision = wide.wProcessorRevision;
  *Pointer<SystemInfo32>(args[0]) = narrow;
  return 0;
}

uint64_t InitializeCriticalSection(const uint32_t* args) {
  NewSection(args[0]);
  return 0;
}

uint64_t InitializeCriticalSectionAndSpinCount(const uint32_t* args) {
  NewSection(args[0]);
  ::SetCriticalSectionSpinCount(SectionAt(args[0]), args[1]);
  return TRUE;
}

uint64_t SetCriticalSectionSpinCount(const uint32_t* args) {
  return ::SetCriticalSectionSpinCount(SectionAt(args[0]), args[1]);
}

uint64_t EnterCriticalSection(const uint32_t* args) {
  ::EnterCriticalSection(SectionAt(args[0]));
  return 0;
}

uint64_t LeaveCriticalSection(const uint32_t* args) {
  ::LeaveCriticalSection(SectionAt(args[0]));
  return 0;
}

uint64_t DeleteCriticalSection(const uint32_t* args) {
  CRITICAL_SECTION* section = SectionAt(args[0]);
  {
    std::lock_guard<std::mutex> hold(sectionsLock);
    Sections().erase(args[0]);
  }
  ::DeleteCriticalSection(section);
  delete section;
  return 0;
}

// The layer starts the thread (suspended start, affinity and the failure controls are its
// own); the runner gives it a 32-bit block and stack before it runs.
uint64_t CreateThread(const uint32_t* args) {
  auto* start = new ThreadStart{args[2], args[3], {}};
  if (!NewThread(std::max(args[1], DefaultStack()), &start->thread)) {
    delete start;
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return 0;
  }
  HANDLE thread = ::CreateThread(SecurityFromSlot(args[0]), 0, &RunThread32, start, args[4],
                                 Pointer<DWORD>(args[5]));
  if (thread == nullptr) {
    FreeThread(start->thread);
    delete start;
    return 0;
  }
  return Address(thread);
}

uint64_t NtCurrentTeb(const uint32_t*) {
  return CurrentBlock();
}

uint64_t EnumDisplayMonitors(const uint32_t* args) {
  Monitors32 forward = {args[2], args[3]};
  return static_cast<uint32_t>(::EnumDisplayMonitors(
      Pointer<HDC__>(args[0]), Pointer<const RECT>(args[1]), args[2] ? &ForwardMonitor : nullptr,
      reinterpret_cast<LPARAM>(&forward)));
}

// Every conversion takes one 32-bit slot; each goes to the layer widened, which a conversion of
// an int reads back whole and a string's address keeps.
uint64_t wsprintfA(const uint32_t* args) {
  constexpr unsigned kMost = 16;
  uint64_t values[kMost] = {};
  unsigned count = 0;
  for (const char* at = Pointer<const char>(args[1]); *at != 0; ++at) {
    if (*at != '%') continue;
    if (at[1] == '%') {
      ++at;
      continue;
    }
    if (count == kMost) Fatal("wsprintfA with more than %u arguments", kMost);
    values[count] = Widen(args[2 + count]);
    ++count;
  }
  const int written = ::wsprintfA(Pointer<char>(args[0]), Pointer<const char>(args[1]), values[0],
                                  values[1], values[2], values[3], values[4], values[5], values[6],
                                  values[7], values[8], values[9], values[10], values[11],
                                  values[12], values[13], values[14], values[15]);
  return static_cast<uint32_t>(written);
}

uint64_t RegOpenKeyExA(const uint32_t* args) {
  HKEY key = nullptr;
  const LONG result = ::RegOpenKeyExA(Pointer<HKEY__>(args[0]), Pointer<const char>(args[1]),
                                      args[2], args[3], args[4] ? &key : nullptr);
  if (result == ERROR_SUCCESS && args[4]) *Pointer<uint32_t>(args[4]) = Address(key);
  return static_cast<uint32_t>(result);
}

uint64_t Process32First(const uint32_t* args) {
  return WalkProcesses(&::Process32First, args);
}

uint64_t Process32Next(const uint32_t* args) {
  return WalkProcesses(&::Process32Next, args);
}

uint64_t EnumProcessModules(const uint32_t* args) {
  const uint32_t count = args[2] / 4;
  std::vector<HMODULE> wide(count);
  DWORD needed = 0;
  const BOOL ok = ::EnumProcessModules(Pointer<void>(args[0]), args[1] ? wide.data() : nullptr,
                                       count * static_cast<DWORD>(sizeof(HMODULE)),
                                       args[3] ? &needed : nullptr);
  if (!ok) return FALSE;
  const uint32_t found = needed / sizeof(HMODULE);
  for (uint32_t i = 0; i < std::min(found, count); ++i)
    Pointer<uint32_t>(args[1])[i] = ModuleSlot(wide[i]);
  *Pointer<uint32_t>(args[3]) = found * 4;
  return TRUE;
}

uint64_t GetModuleFileNameExA(const uint32_t* args) {
  return ::GetModuleFileNameExA(Pointer<void>(args[0]), ModuleFromSlot(args[1]),
                                Pointer<char>(args[2]), args[3]);
}

// The layer's list, each record rewritten in the 32-bit layout with its name behind it.
uint64_t NtQuerySystemInformation(const uint32_t* args) {
  if (args[0] != SystemProcessInformation) return static_cast<uint32_t>(STATUS_INVALID_INFO_CLASS);
  std::vector<uint8_t> wide(64 * 1024);
  ULONG size = 0;
  NTSTATUS status;
  while ((status = ::NtQuerySystemInformation(SystemProcessInformation, wide.data(),
                                              static_cast<ULONG>(wide.size()), &size)) ==
         STATUS_INFO_LENGTH_MISMATCH)
    wide.resize(size + 4096);
  if (status != 0) return static_cast<uint32_t>(status);
  std::vector<uint8_t> narrow;
  size_t previous = 0;
  for (size_t at = 0; at < size;) {
    const auto* record = reinterpret_cast<const SYSTEM_PROCESS_INFORMATION*>(wide.data() + at);
    const size_t here = narrow.size();
    if (here != 0)
      reinterpret_cast<ProcessRecord32*>(narrow.data() + previous)->NextEntryOffset =
          static_cast<uint32_t>(here - previous);
    const size_t name = record->ImageName.MaximumLength;
    narrow.resize(here + ((sizeof(ProcessRecord32) + name + 7) & ~size_t{7}));
    ProcessRecord32 copy = {};
    copy.NumberOfThreads = record->NumberOfThreads;
    copy.NameLength = record->ImageName.Length;
    copy.NameMaximumLength = record->ImageName.MaximumLength;
    copy.BasePriority = record->BasePriority;
    copy.UniqueProcessId =
        static_cast<uint32_t>(reinterpret_cast<uintptr_t>(record->UniqueProcessId));
    copy.InheritedFromUniqueProcessId =
        static_cast<uint32_t>(reinterpret_cast<uintptr_t>(record->InheritedFromUniqueProcessId));
    copy.HandleCount = record->HandleCount;
    copy.SessionId = record->SessionId;
    std::memcpy(narrow.data() + here, &copy, sizeof copy);
    if (record->ImageName.Buffer != nullptr)
      std::memcpy(narrow.data() + here + sizeof copy, record->ImageName.Buffer, name);
    previous = here;
    if (record->NextEntryOffset == 0) break;
    at += record->NextEntryOffset;
  }
  if (args[3] != 0) *Pointer<uint32_t>(args[3]) = static_cast<uint32_t>(narrow.size());
  if (args[1] == 0 || args[2] < narrow.size())
    return static_cast<uint32_t>(STATUS_INFO_LENGTH_MISMATCH);
  uint8_t* out = Pointer<uint8_t>(args[1]);
  std::memcpy(out, narrow.data(), narrow.size());
  for (size_t at = 0; at < narrow.size();) {
    auto* record = reinterpret_cast<ProcessRecord32*>(out + at);
    record->NameBuffer = Address(record + 1);
    if (record->NextEntryOffset == 0) break;
    at += record->NextEntryOffset;
  }
  return 0;
}

uint64_t NtQueryInformationProcess(const uint32_t* args) {
  if (args[1] != 0) return static_cast<uint32_t>(STATUS_INVALID_INFO_CLASS);
  if (args[3] != sizeof(BasicInformation32))
    return static_cast<uint32_t>(STATUS_INFO_LENGTH_MISMATCH);
  PROCESS_BASIC_INFORMATION wide;
  ULONG returned = 0;
  const NTSTATUS status =
      ::NtQueryInformationProcess(Pointer<void>(args[0]), 0, &wide, sizeof wide, &returned);
  if (status != 0) return static_cast<uint32_t>(status);
  BasicInformation32 narrow = {};
  narrow.ExitStatus = wide.ExitStatus;
  narrow.PebBaseAddress = wide.UniqueProcessId == GetCurrentProcessId() ? ProcessBlock() : 0;
  narrow.AffinityMask = static_cast<uint32_t>(wide.AffinityMask);
  narrow.BasePriority = wide.BasePriority;
  narrow.UniqueProcessId = static_cast<uint32_t>(wide.UniqueProcessId);
  narrow.InheritedFromUniqueProcessId = static_cast<uint32_t>(wide.InheritedFromUniqueProcessId);
  *Pointer<BasicInformation32>(args[2]) = narrow;
  if (args[4]) *Pointer<uint32_t>(args[4]) = sizeof narrow;
  return 0;
}

} // namespace winrun::adapters
