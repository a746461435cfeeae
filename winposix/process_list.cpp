// The process list and what Windows tells about other processes, read from /proc: the toolhelp
// snapshot of the Windows 9x family, the process-status functions and the session query of the
// NT family, and the native query for a process's parent.
//
// A snapshot is a sealed in-memory file of PROCESSENTRY32 records and a process handle is a
// descriptor of the process's /proc directory, so CloseHandle releases both as any descriptor,
// and a handle keeps naming its process even when the process id is used again.
#include "winposix/fd_handles.h"
#include "winposix/internal.h"

#include <algorithm>
#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <sched.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <string>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace {

constexpr char kSnapshotName[] = "toolhelp-snapshot";

std::vector<DWORD> ProcessIds() {
  std::vector<DWORD> ids;
  DIR* proc = opendir("/proc");
  if (proc == nullptr) return ids;
  while (dirent* entry = readdir(proc)) {
    char* end;
    const unsigned long id = strtoul(entry->d_name, &end, 10);
    if (*end == 0 && end != entry->d_name && id > 0 && id <= 0xFFFFFFFFul)
      ids.push_back(static_cast<DWORD>(id));
  }
  closedir(proc);
  std::sort(ids.begin(), ids.end());
  return ids;
}

bool ReadSmallFile(int dir, const char* name, std::string* text) {
  const int fd = openat(dir, name, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  text->clear();
  char chunk[4096];
  ssize_t got;
  while ((got = read(fd, chunk, sizeof chunk)) > 0) text->append(chunk, static_cast<size_t>(got));
  close(fd);
  return got == 0;
}

// The parent id is the second field behind the command name, which may hold anything but ends
// at the last ')'.
bool ReadParent(int dir, DWORD* parent) {
  std::string stat;
  if (!ReadSmallFile(dir, "stat", &stat)) return false;
  const size_t nameEnd = stat.rfind(')');
  if (nameEnd == std::string::npos) return false;
  char state;
  unsigned long id;
  if (sscanf(stat.c_str() + nameEnd + 1, " %c %lu", &state, &id) != 2) return false;
  *parent = static_cast<DWORD>(id);
  return true;
}

bool IsOwnProcess(int dir) {
  struct stat given, own;
  return fstat(dir, &given) == 0 && stat("/proc/self", &own) == 0 && given.st_ino == own.st_ino &&
         given.st_dev == own.st_dev;
}

// A program that a loader runs is its image, not the loader's executable.
bool ReadExecutable(int dir, std::string* path) {
  if (winposix::LoadedProgramModule() != nullptr && IsOwnProcess(dir)) {
    char own[PATH_MAX];
    const DWORD length = GetModuleFileNameA(nullptr, own, sizeof own);
    if (length == 0 || length >= sizeof own) return false;
    path->assign(own, length);
    return true;
  }
  char link[PATH_MAX];
  const ssize_t length = readlinkat(dir, "exe", link, sizeof link - 1);
  if (length <= 0) return false;
  path->assign(link, static_cast<size_t>(length));
  // Another process of the image loader is the image it runs: its first argument.
  const char* loader = winposix::ImageLoader();
  std::string arguments;
  if (loader != nullptr && *path == loader && ReadSmallFile(dir, "cmdline", &arguments)) {
    const size_t image = arguments.find('\0') + 1;
    if (image == 0 || image >= arguments.size()) return true;
    std::string file = arguments.c_str() + image;
    if (file[0] != '/') {
      const ssize_t folder = readlinkat(dir, "cwd", link, sizeof link - 1);
      if (folder > 0) file = std::string(link, static_cast<size_t>(folder)) + "/" + file;
    }
    *path = file;
  }
  return true;
}

// The /proc directory of a process handle, or -1; owned by the handle, or to be closed by the
// caller when *owned says so.
int ProcessDir(HANDLE process, bool* owned) {
  *owned = false;
  if (process == GetCurrentProcess()) {
    *owned = true;
    return open("/proc/self", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  }
  const int fd = winposix::FdFromHandle(process);
  if (fd < 0) return -1;
  char link[64];
  const std::string self = "/proc/self/fd/" + std::to_string(fd);
  const ssize_t length = readlink(self.c_str(), link, sizeof link - 1);
  if (length <= 6) return -1;
  link[length] = 0;
  if (strncmp(link, "/proc/", 6) != 0 || strspn(link + 6, "0123456789") != strlen(link + 6))
    return -1;
  return fd;
}

class ProcessDirOf {
public:
  explicit ProcessDirOf(HANDLE process) : fd_(ProcessDir(process, &owned_)) {}
  ~ProcessDirOf() {
    if (owned_ && fd_ >= 0) close(fd_);
  }
  ProcessDirOf(const ProcessDirOf&) = delete;
  ProcessDirOf& operator=(const ProcessDirOf&) = delete;
  int fd() const { return fd_; }

private:
  bool owned_;
  int fd_;
};

// The process's mapped files in the order of their first mapping, the executable first: the
// base address of each stands for its module handle, as on Windows.
bool ReadModules(int dir, std::vector<std::pair<uintptr_t, std::string>>* modules) {
  std::string maps, exe;
  if (!ReadSmallFile(dir, "maps", &maps) || !ReadExecutable(dir, &exe)) return false;
  modules->clear();
  size_t start = 0;
  while (start < maps.size()) {
    size_t end = maps.find('\n', start);
    if (end == std::string::npos) end = maps.size();
    const std::string line = maps.substr(start, end - start);
    start = end + 1;
    const size_t path = line.find('/');
    if (path == std::string::npos) continue;
    const std::string file = line.substr(path);
    bool known = false;
    for (const auto& m : *modules) known = known || m.second == file;
    if (known) continue;
    const uintptr_t base = static_cast<uintptr_t>(strtoull(line.c_str(), nullptr, 16));
    if (file == exe)
      modules->insert(modules->begin(), {base, file});
    else
      modules->push_back({base, file});
  }
  if (modules->empty() || modules->front().second != exe)
    modules->insert(
        modules->begin(),
        {IsOwnProcess(dir) ? reinterpret_cast<uintptr_t>(winposix::LoadedProgramModule()) : 0,
         exe});
  return true;
}

bool IsSnapshot(int fd) {
  char link[64];
  const std::string self = "/proc/self/fd/" + std::to_string(fd);
  const ssize_t length = readlink(self.c_str(), link, sizeof link - 1);
  if (length < 0) return false;
  link[length] = 0;
  return strncmp(link, "/memfd:", 7) == 0 &&
         strncmp(link + 7, kSnapshotName, strlen(kSnapshotName)) == 0;
}

BOOL NextRecord(HANDLE snapshot, LPPROCESSENTRY32 entry, bool first) {
  const int fd = winposix::FdFromHandle(snapshot);
  if (fd < 0 || !IsSnapshot(fd)) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (entry == nullptr || entry->dwSize < sizeof(PROCESSENTRY32)) {
    SetLastError(ERROR_BAD_LENGTH);
    return FALSE;
  }
  if (first) lseek(fd, 0, SEEK_SET);
  PROCESSENTRY32 record;
  if (read(fd, &record, sizeof record) != static_cast<ssize_t>(sizeof record)) {
    SetLastError(ERROR_NO_MORE_FILES);
    return FALSE;
  }
  record.dwSize = entry->dwSize;
  *entry = record;
  return TRUE;
}

PROCESSENTRY32 RecordOf(DWORD id) {
  PROCESSENTRY32 record;
  memset(&record, 0, sizeof record);
  record.dwSize = sizeof record;
  record.th32ProcessID = id;
  const std::string path = "/proc/" + std::to_string(id);
  const int dir = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir < 0) return record;
  ReadParent(dir, &record.th32ParentProcessID);
  std::string exe, comm;
  if (!ReadExecutable(dir, &exe) && ReadSmallFile(dir, "comm", &comm)) {
    // A process whose executable cannot be read shows its short name, as NT's snapshot does.
    exe = comm.substr(0, comm.find('\n'));
  }
  exe.copy(record.szExeFile, sizeof record.szExeFile - 1);
  record.cntThreads = 1;
  record.pcPriClassBase = 8;
  close(dir);
  return record;
}

} // namespace

extern "C" HANDLE WINAPI CreateToolhelp32Snapshot(DWORD flags, DWORD) {
  const int fd = memfd_create(kSnapshotName, MFD_CLOEXEC);
  if (fd < 0) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return INVALID_HANDLE_VALUE;
  }
  if ((flags & TH32CS_SNAPPROCESS) != 0) {
    for (DWORD id : ProcessIds()) {
      const PROCESSENTRY32 record = RecordOf(id);
      if (write(fd, &record, sizeof record) != static_cast<ssize_t>(sizeof record)) {
        close(fd);
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return INVALID_HANDLE_VALUE;
      }
    }
  }
  return winposix::HandleFromFd(fd);
}

extern "C" BOOL WINAPI Process32First(HANDLE snapshot, LPPROCESSENTRY32 entry) {
  return NextRecord(snapshot, entry, true);
}

extern "C" BOOL WINAPI Process32Next(HANDLE snapshot, LPPROCESSENTRY32 entry) {
  return NextRecord(snapshot, entry, false);
}

// The login session of the audit subsystem is what Linux has of a Windows logon session.
extern "C" BOOL WINAPI ProcessIdToSessionId(DWORD processId, DWORD* sessionId) {
  std::string text;
  const std::string path = "/proc/" + std::to_string(processId);
  const int dir = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  const bool known = dir >= 0 && ReadSmallFile(dir, "sessionid", &text) && !text.empty();
  if (dir >= 0) close(dir);
  if (sessionId == nullptr || !known) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  *sessionId = static_cast<DWORD>(strtoul(text.c_str(), nullptr, 10));
  return TRUE;
}

// Reading a process's memory needs what reading its executable link needs on Linux, so access
// that includes PROCESS_VM_READ is refused where that link cannot be read: another user's
// process, or a kernel thread.
extern "C" HANDLE WINAPI OpenProcess(DWORD access, BOOL, DWORD processId) {
  if (processId == 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  const std::string path = "/proc/" + std::to_string(processId);
  const int dir = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir < 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  std::string exe;
  if ((access & PROCESS_VM_READ) != 0 && !ReadExecutable(dir, &exe)) {
    close(dir);
    SetLastError(ERROR_ACCESS_DENIED);
    return nullptr;
  }
  return winposix::HandleFromFd(dir);
}

extern "C" BOOL WINAPI EnumProcesses(DWORD* ids, DWORD size, DWORD* delivered) {
  if (ids == nullptr || delivered == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  const std::vector<DWORD> all = ProcessIds();
  const size_t count = std::min<size_t>(all.size(), size / sizeof(DWORD));
  std::copy(all.begin(), all.begin() + static_cast<ptrdiff_t>(count), ids);
  *delivered = static_cast<DWORD>(count * sizeof(DWORD));
  return TRUE;
}

extern "C" BOOL WINAPI EnumProcessModules(HANDLE process, HMODULE* modules, DWORD size,
                                          LPDWORD needed) {
  ProcessDirOf dir(process);
  std::vector<std::pair<uintptr_t, std::string>> found;
  if (dir.fd() < 0) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (needed == nullptr || (modules == nullptr && size != 0)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (!ReadModules(dir.fd(), &found)) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  const size_t count = std::min<size_t>(found.size(), size / sizeof(HMODULE));
  for (size_t i = 0; i < count; ++i) modules[i] = reinterpret_cast<HMODULE>(found[i].first);
  *needed = static_cast<DWORD>(found.size() * sizeof(HMODULE));
  return TRUE;
}

extern "C" DWORD WINAPI GetModuleFileNameExA(HANDLE process, HMODULE module, LPSTR name,
                                             DWORD size) {
  ProcessDirOf dir(process);
  std::vector<std::pair<uintptr_t, std::string>> found;
  if (dir.fd() < 0) {
    SetLastError(ERROR_INVALID_HANDLE);
    return 0;
  }
  if (name == nullptr || size == 0) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  if (!ReadModules(dir.fd(), &found)) {
    SetLastError(ERROR_ACCESS_DENIED);
    return 0;
  }
  const std::string* file = module == nullptr ? &found.front().second : nullptr;
  for (const auto& m : found)
    if (file == nullptr && m.first == reinterpret_cast<uintptr_t>(module)) file = &m.second;
  if (file == nullptr) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return 0;
  }
  const size_t length = std::min<size_t>(file->size(), size - 1);
  file->copy(name, length);
  name[length] = 0;
  return static_cast<DWORD>(length);
}

extern "C" NTSTATUS WINAPI NtQueryInformationProcess(HANDLE process, ULONG infoClass, PVOID info,
                                                     ULONG length, PULONG returned) {
  if (infoClass != 0) return STATUS_INVALID_INFO_CLASS;
  if (length != sizeof(PROCESS_BASIC_INFORMATION)) return STATUS_INFO_LENGTH_MISMATCH;
  ProcessDirOf dir(process);
  if (dir.fd() < 0) return STATUS_INVALID_HANDLE;
  PROCESS_BASIC_INFORMATION basic;
  memset(&basic, 0, sizeof basic);
  DWORD parent = 0;
  std::string status;
  if (!ReadParent(dir.fd(), &parent) || !ReadSmallFile(dir.fd(), "status", &status))
    return STATUS_INVALID_HANDLE;
  const size_t tgid = status.find("\nTgid:");
  const DWORD id = tgid == std::string::npos
                       ? 0
                       : static_cast<DWORD>(strtoul(status.c_str() + tgid + 6, nullptr, 10));
  cpu_set_t set;
  if (id != 0 && sched_getaffinity(static_cast<pid_t>(id), sizeof set, &set) == 0)
    basic.AffinityMask = winposix::MaskOfSet(set);
  basic.ExitStatus = STATUS_PENDING;
  basic.BasePriority = 8;
  basic.UniqueProcessId = id;
  basic.InheritedFromUniqueProcessId = parent;
  memcpy(info, &basic, sizeof basic);
  if (returned != nullptr) *returned = sizeof basic;
  return 0;
}

// Records of the native process list: 8-byte aligned, each name right behind its record.
extern "C" NTSTATUS WINAPI NtQuerySystemInformation(ULONG infoClass, PVOID info, ULONG length,
                                                    PULONG returned) {
  if (infoClass != SystemProcessInformation) return STATUS_INVALID_INFO_CLASS;
  std::vector<uint8_t> list;
  size_t previous = 0;
  for (DWORD id : ProcessIds()) {
    const PROCESSENTRY32 entry = RecordOf(id);
    const char* slash = strrchr(entry.szExeFile, '/');
    const char* name = slash != nullptr ? slash + 1 : entry.szExeFile;
    const size_t nameLength = strlen(name);
    const size_t at = list.size();
    if (at != 0)
      reinterpret_cast<SYSTEM_PROCESS_INFORMATION*>(list.data() + previous)->NextEntryOffset =
          static_cast<ULONG>(at - previous);
    list.resize(at + ((sizeof(SYSTEM_PROCESS_INFORMATION) + 2 * (nameLength + 1) + 7) & ~7u));
    SYSTEM_PROCESS_INFORMATION record;
    memset(&record, 0, sizeof record);
    record.NumberOfThreads = entry.cntThreads;
    record.BasePriority = entry.pcPriClassBase;
    record.UniqueProcessId = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(id));
    record.InheritedFromUniqueProcessId =
        reinterpret_cast<HANDLE>(static_cast<uintptr_t>(entry.th32ParentProcessID));
    DWORD session = 0;
    if (ProcessIdToSessionId(id, &session)) record.SessionId = session;
    record.ImageName.Length = static_cast<USHORT>(2 * nameLength);
    record.ImageName.MaximumLength = static_cast<USHORT>(2 * (nameLength + 1));
    WCHAR* text = reinterpret_cast<WCHAR*>(list.data() + at + sizeof record);
    for (size_t i = 0; i < nameLength; ++i) text[i] = static_cast<uint8_t>(name[i]);
    memcpy(list.data() + at, &record, sizeof record);
    previous = at;
  }
  if (returned != nullptr) *returned = static_cast<ULONG>(list.size());
  if (info == nullptr || length < list.size()) return STATUS_INFO_LENGTH_MISMATCH;
  memcpy(info, list.data(), list.size());
  // The names' addresses hold only once the records lie where the caller wants them.
  for (size_t at = 0; at < list.size();) {
    auto* record = reinterpret_cast<SYSTEM_PROCESS_INFORMATION*>(static_cast<uint8_t*>(info) + at);
    record->ImageName.Buffer = reinterpret_cast<PWSTR>(record + 1);
    if (record->NextEntryOffset == 0) break;
    at += record->NextEntryOffset;
  }
  return 0;
}

// The layer's modules are always present: loading one gives its handle, and freeing it keeps it.
extern "C" HMODULE WINAPI LoadLibraryA(LPCSTR name) {
  if (name == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  return GetModuleHandleA(name);
}

extern "C" BOOL WINAPI FreeLibrary(HMODULE module) {
  if (module == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  return TRUE;
}
