#include "runtime/platform/file_plain.h"

#include "runtime/memory/memory.h"
#include "runtime/platform/file_switches.h"
#include "runtime/platform/lock.h"
#include "runtime/startup/runtime_state.h"
#include "runtime/text/strings.h"
#include "winposix/win32.h"

void (*SlowReadWait)(uint32_t milliseconds) = nullptr;

namespace {

constexpr uint32_t kLinkBufferMin = 512;
constexpr char kLinkSuffix[] = ":SymLink";
constexpr uint32_t kSlowReadPause = 1000;
// FSCTL_SET_COMPRESSION with COMPRESSION_FORMAT_DEFAULT (winioctl.h).
constexpr DWORD kSetCompression = 0x9C040;
constexpr uint16_t kDefaultCompression = 1;
// What SetFileAttributesA may be given back of what GetFileAttributesA reported.
constexpr DWORD kSettableAttributes = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_SYSTEM |
                                      FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_TEMPORARY;

DWORD AccessOf(uint16_t mode) {
  switch (mode & kModeAccess) {
  case kModeRead:
    return GENERIC_READ;
  case kModeWrite:
    return GENERIC_WRITE;
  case kModeReadWrite:
    return GENERIC_READ | GENERIC_WRITE;
  default:
    return 0;
  }
}

DWORD ShareOf(uint16_t mode) {
  switch (mode & kModeShare) {
  case kModeShareRead:
    return FILE_SHARE_READ;
  case kModeShareWrite:
    return FILE_SHARE_WRITE;
  case kModeShareReadWrite:
    return FILE_SHARE_READ | FILE_SHARE_WRITE;
  default:
    return 0;
  }
}

DWORD CachingFlag(uint16_t mode) {
  const bool sequential = (mode & kModeSequential) != 0 || FileSwitchOn(kSwitchSeqScan);
  return sequential ? FILE_FLAG_SEQUENTIAL_SCAN : 0;
}

bool Opened(HANDLE handle) {
  return handle != INVALID_HANDLE_VALUE && handle != nullptr;
}

// Reads the link stream named in link (a buffer of size bytes) over that name and leaves the
// target in it: its first line, empty when there is none. False when the stream holds more
// than the buffer before its first line end: the target would be cut, and a cut name is
// another file.
bool ReadLink(char* link, uint32_t size) {
  HANDLE stream = CreateFileA(link, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  link[0] = 0;
  if (!Opened(stream)) return true;
  DWORD got = 0;
  if (!ReadFile(stream, link, size - 1, &got, nullptr) || got > size - 1) got = 0;
  link[got] = 0;
  char* end = StrFindChar(link, '\r');
  if (end != nullptr) *end = 0;
  end = StrFindChar(link, '\n');
  if (end != nullptr) *end = 0;
  // A full buffer without a line end holds the whole target only when the stream ends there
  // or a line end follows.
  bool whole = true;
  if (link[0] != 0 && got == size - 1 && StrLen(link) == got) {
    char more = 0;
    DWORD extra = 0;
    whole =
        !ReadFile(stream, &more, 1, &extra, nullptr) || extra == 0 || more == '\r' || more == '\n';
  }
  CloseHandle(stream);
  return whole;
}

int32_t SeekTo(HANDLE handle, uint32_t low, uint32_t high) {
  LONG movedHigh = static_cast<LONG>(high);
  SetLastError(NO_ERROR);
  const DWORD movedLow = SetFilePointer(handle, static_cast<LONG>(low), &movedHigh, FILE_BEGIN);
  if (movedLow == INVALID_SET_FILE_POINTER && GetLastError() != NO_ERROR) return kFileSeekFailed;
  return movedLow == low && static_cast<uint32_t>(movedHigh) == high ? kFileOk : kFileSeekFailed;
}

} // namespace

void CountIo(IoCounter counter, uint32_t bytes) {
  RuntimeStateRecord& s = RuntimeState;
  if (!s.IoStatsOn) return;
  TLock* lock = s.IoStatsLock;
  if (lock != nullptr) lock->Enter();
  ++s.IoStats[counter];
  if (counter == kIoReads || counter == kIoWrites) s.IoStats[counter + 1] += bytes;
  if (lock != nullptr) lock->Leave();
}

int32_t OpenExistingFile(const char* name, uint16_t mode, void** handle, char* target,
                         uint32_t targetLength, bool* redirected) {
  CountIo(kIoOpens, 0);
  if (redirected != nullptr) *redirected = false;
  if (handle == nullptr) return kFileArgumentMissing;
  *handle = nullptr;
  if (name == nullptr || *name == 0) return kFileAccessDenied;
  char* link = nullptr;
  const char* opened = name;
  if ((mode & kModeNoLink) == 0 && OsVersion.Platform == kPlatformNT) {
    const uint32_t length = StrLen(name) + sizeof kLinkSuffix;
    const uint32_t size = length > kLinkBufferMin ? length : kLinkBufferMin;
    link = static_cast<char*>(AllocMem(size));
    if (link == nullptr) return kFileOutOfMemory;
    StrCopy(link, name);
    StrCat(link, kLinkSuffix);
    const bool whole = ReadLink(link, size);
    const bool fits = target == nullptr || targetLength == 0 || StrLen(link) < targetLength;
    if (!whole || !fits) {
      FreeMem(link);
      return kFileNotFound;
    }
    if (link[0] != 0) {
      opened = link;
      if (redirected != nullptr) *redirected = true;
      if (target != nullptr && targetLength != 0) StrCopyN(target, link, targetLength);
    }
  }
  HANDLE file = CreateFileA(opened, AccessOf(mode), ShareOf(mode), nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL | CachingFlag(mode), nullptr);
  const DWORD error = GetLastError();
  FreeMem(link);
  if (!Opened(file)) return FileResultFromSystem(error);
  *handle = file;
  return kFileOk;
}

int32_t CreateNewFile(const char* name, void** handle, bool compress, bool temporary, uint16_t mode,
                      bool* redirected) {
  CountIo(kIoCreates, 0);
  if (handle == nullptr) return kFileArgumentMissing;
  *handle = nullptr;
  if (redirected != nullptr) *redirected = false;
  if (name == nullptr || *name == 0) return kFileAccessDenied;
  const DWORD access = AccessOf(mode);
  const DWORD share = ShareOf(mode);
  const DWORD flags =
      (temporary ? FILE_ATTRIBUTE_TEMPORARY : FILE_ATTRIBUTE_NORMAL) | CachingFlag(mode);
  const DWORD disposition = (mode & kModeOnlyNew) != 0 ? CREATE_NEW : CREATE_ALWAYS;
  HANDLE file = CreateFileA(name, access, share, nullptr, disposition, flags, nullptr);
  // Windows refuses to overwrite a hidden file with a visible one.
  if (!Opened(file) && GetLastError() == ERROR_ACCESS_DENIED) {
    const DWORD attributes = GetFileAttributesA(name);
    if (attributes == INVALID_FILE_ATTRIBUTES) return kFileCreateFailed;
    if ((attributes & FILE_ATTRIBUTE_HIDDEN) != 0) {
      DWORD visible = attributes & kSettableAttributes;
      if (visible == 0) visible = FILE_ATTRIBUTE_NORMAL;
      if (!SetFileAttributesA(name, visible)) return kFileCreateFailed;
    }
    file = CreateFileA(name, access, share, nullptr, disposition, flags, nullptr);
  }
  if (!Opened(file)) return kFileCreateFailed;
  if (compress) {
    // Not every file system compresses: the file is then used as it is.
    uint16_t format = kDefaultCompression;
    DWORD returned = 0;
    DeviceIoControl(file, kSetCompression, &format, sizeof format, nullptr, 0, &returned, nullptr);
  }
  *handle = file;
  return kFileOk;
}

int32_t ReadPlain(void* handle, void* buffer, uint32_t count, uint32_t* read) {
  CountIo(kIoReads, count);
  if (read != nullptr) *read = 0;
  int32_t result = kFileOk;
  if (count != 0) {
    DWORD got = 0;
    if (buffer == nullptr)
      result = kFileAccessDenied;
    else if (!ReadFile(handle, buffer, count, &got, nullptr))
      result = kFileReadFailed;
    if (read != nullptr) *read = got;
  }
  if (RuntimeState.SlowReadOn) {
    if (SlowReadWait != nullptr)
      SlowReadWait(kSlowReadPause);
    else
      Sleep(kSlowReadPause);
  }
  return result;
}

int32_t WritePlain(void* handle, const void* buffer, uint32_t count, uint32_t* written) {
  CountIo(kIoWrites, count);
  DWORD done = 0;
  const BOOL ok = WriteFile(handle, buffer, count, &done, nullptr);
  if (written != nullptr) *written = done;
  return ok ? kFileOk : kFileWriteFailed;
}

// The offset is unsigned: it goes to the system with a high part of 0, so a seek between 2 and
// 4 GiB is not taken for a negative distance.
int32_t SeekPlain(void* handle, uint32_t offset) {
  CountIo(kIoSeeks, 0);
  return SeekTo(handle, offset, 0);
}

int32_t SeekPlain64(void* handle, uint32_t low, uint32_t high) {
  CountIo(kIoSeeks, 0);
  return SeekTo(handle, low, high);
}

int32_t PositionPlain64(void* handle, uint64_t* position) {
  if (position == nullptr) return kFileArgumentMissing;
  LONG high = 0;
  SetLastError(NO_ERROR);
  const DWORD low = SetFilePointer(handle, 0, &high, FILE_CURRENT);
  if (low == INVALID_SET_FILE_POINTER && GetLastError() != NO_ERROR) return kFileAccessDenied;
  *position = static_cast<uint64_t>(static_cast<uint32_t>(high)) << 32 | low;
  return kFileOk;
}

int32_t SizePlain64(void* handle, uint64_t* size) {
  if (size == nullptr) return kFileArgumentMissing;
  DWORD high = 0;
  SetLastError(NO_ERROR);
  const DWORD low = GetFileSize(handle, &high);
  if (low == INVALID_FILE_SIZE && GetLastError() != NO_ERROR) return kFileAccessDenied;
  *size = static_cast<uint64_t>(high) << 32 | low;
  return kFileOk;
}
