#include "runtime/platform/disk_file.h"

#include "runtime/memory/memory.h"
#include "runtime/platform/file_basics.h"
#include "runtime/platform/file_plain.h"
#include "runtime/platform/file_switches.h"
#include "runtime/text/fault_guard.h"
#include "runtime/text/memory_ops.h"
#include "runtime/text/strings.h"
#include "winposix/win32.h"

namespace {

constexpr uint32_t kNameBufferSize = 512;
constexpr uint64_t kNoView = ~uint64_t{0};
constexpr uint32_t kReadWindowGranules = 128;
constexpr uint32_t kDefaultWindow = 65536;

uint32_t Low(uint64_t value) {
  return static_cast<uint32_t>(value);
}

uint32_t High(uint64_t value) {
  return static_cast<uint32_t>(value >> 32);
}

uint16_t Access(uint16_t mode) {
  return mode & kModeAccess;
}

// A mapping for writing needs a handle that reads too.
uint16_t ReadingToo(uint16_t mode) {
  return Access(mode) == kModeWrite ? (mode & ~kModeAccess) | kModeReadWrite : mode;
}

// The system's pointer to an absolute 64-bit offset, not counted as a seek.
bool SetPointer(HANDLE handle, uint64_t offset) {
  LONG high = static_cast<LONG>(High(offset));
  SetLastError(NO_ERROR);
  const DWORD low = SetFilePointer(handle, static_cast<LONG>(Low(offset)), &high, FILE_BEGIN);
  return low != INVALID_SET_FILE_POINTER || GetLastError() == NO_ERROR;
}

// The bytes from the position to the end of its window, at most left.
uint32_t Chunk(const FileData* d, uint32_t left) {
  const uint32_t room = d->Window - static_cast<uint32_t>(d->Position & (d->Window - 1));
  return left < room ? left : room;
}

} // namespace

TDiskFile::TDiskFile(const char* name, uint32_t options) : LastError(kFileOk), Data(nullptr) {
  Data = static_cast<FileData*>(AllocMem(sizeof(FileData)));
  if (Data == nullptr) {
    LastError = kFileOutOfMemory;
    return;
  }
  ZeroMem(Data, sizeof(FileData));
  Data->Options = options;
  if (name == nullptr || *name == 0) {
    LastError = kFileAccessDenied;
    return;
  }
  Data->Name = DupString(name);
  ResetOpenState();
  const uint32_t granule = AllocationGranularity();
  Data->Window = granule != 0 ? granule : kDefaultWindow;
  Data->Mapped = (options & kFileNoMapping) == 0 && granule != 0;
}

void TDiskFile::Release() {
  if (Data == nullptr) return;
  Close();
  FreeString(Data->Name);
  FreeMem(Data);
  Data = nullptr;
}

void TDiskFile::ResetOpenState() {
  FileData* d = Data;
  d->Writable = false;
  d->ViewOffset = kNoView;
  d->MappingSize = d->Position = d->Size = 0;
  d->Mapping = nullptr;
  d->View = nullptr;
}

// The window is chosen anew with the access, so that a writable file never inherits the large
// window of an earlier read-only open of the same object.
bool TDiskFile::ChooseMapping(uint16_t* mode) {
  FileData* d = Data;
  if (!d->Mapped) return false;
  const uint16_t access = Access(*mode);
  if (FileSwitchOn(kSwitchNoMap) || (access == kModeRead && FileSwitchOn(kSwitchNoMapRead)) ||
      (access == kModeWrite && FileSwitchOn(kSwitchNoMapWrite)) ||
      (access == kModeReadWrite && FileSwitchOn(kSwitchNoMapReadWrite)))
    return false;
  const uint32_t granule = AllocationGranularity();
  d->Window = granule;
  if (access == kModeRead && !FileSwitchOn(kSwitchSmallView))
    d->Window = granule * kReadWindowGranules;
  *mode = ReadingToo(*mode);
  return true;
}

bool TDiskFile::Prepare(uint16_t* mode, char* buffer, int32_t cutError) {
  FileData* d = Data;
  d->Mapped = ChooseMapping(mode);
  d->Mode = *mode;
  d->Writable = Access(*mode) != kModeRead;
  const char* name = d->Name != nullptr ? d->Name : "";
  // A cut name would open or replace another file.
  if (StrLen(name) >= kNameBufferSize) {
    LastError = cutError;
    return false;
  }
  StrCopyN(buffer, name, kNameBufferSize);
  return true;
}

bool TDiskFile::Open(uint16_t mode) {
  FileData* d = Data;
  if (d == nullptr) {
    LastError = kFileOutOfMemory;
    return false;
  }
  ResetOpenState();
  char buffer[kNameBufferSize];
  if (!Prepare(&mode, buffer, kFileNotFound)) return false;
  const int32_t result =
      OpenExistingFile(buffer, mode, &d->Handle, buffer, sizeof buffer, &d->Redirected);
  if (result != kFileOk) {
    LastError = result;
    return false;
  }
  if (d->Redirected) {
    char* target = DupString(buffer);
    FreeString(d->Name);
    d->Name = target;
  }
  if (d->Mapped && SizePlain64(d->Handle, &d->Size) != kFileOk) d->Size = 0;
  return true;
}

bool TDiskFile::Create(uint16_t mode) {
  FileData* d = Data;
  if (d == nullptr) {
    LastError = kFileOutOfMemory;
    return false;
  }
  ResetOpenState();
  // The compression request needs a handle that reads and writes.
  const bool compress = (d->Options & kFileCompress) != 0 || FileSwitchOn(kSwitchCompress);
  if (compress) mode = ReadingToo(mode);
  const bool temporary = (d->Options & kFileTemporary) != 0;
  char buffer[kNameBufferSize];
  if (!Prepare(&mode, buffer, kFileCreateFailed)) return false;
  const int32_t result =
      CreateNewFile(buffer, &d->Handle, compress, temporary, mode, &d->Redirected);
  if (result != kFileOk) {
    LastError = result;
    return false;
  }
  return true;
}

bool TDiskFile::ReleaseView() {
  FileData* d = Data;
  bool ok = true;
  if (d->View != nullptr) ok = UnmapViewOfFile(d->View) != FALSE;
  d->View = nullptr;
  d->ViewOffset = kNoView;
  return ok;
}

bool TDiskFile::ReleaseMapping() {
  FileData* d = Data;
  bool ok = ReleaseView();
  if (d->Mapping != nullptr && !CloseHandle(d->Mapping)) ok = false;
  d->Mapping = nullptr;
  d->MappingSize = 0;
  return ok;
}

// Callers never ask for a range that crosses a multiple of W.
bool TDiskFile::EnsureView(uint32_t n, bool* lowMemory) {
  FileData* d = Data;
  if (lowMemory != nullptr) *lowMemory = false;
  if (!d->Mapped || d->Handle == nullptr) return false;
  const uint64_t w = d->Window;
  if (d->Mapping == nullptr || d->MappingSize < d->Position + n) {
    ReleaseMapping();
    // A writable mapping runs at least a window ahead, so appends seldom need a new one.
    uint64_t size = d->Size;
    if (d->Writable) {
      const uint64_t end = (d->Size > d->Position ? d->Size : d->Position) + w;
      size = (end + w - 1) & ~(w - 1);
    }
    d->Mapping =
        CreateFileMappingA(d->Handle, nullptr, d->Writable ? PAGE_READWRITE : PAGE_READONLY,
                           High(size), Low(size), nullptr);
    if (d->Mapping == nullptr) {
      LastError = d->Writable ? kFileWriteFailed : kFileReadFailed;
      return false;
    }
    d->MappingSize = size;
  }
  if (d->View != nullptr && d->ViewOffset <= d->Position && d->Position < d->ViewOffset + w)
    return true;
  ReleaseView();
  const uint64_t offset = d->Position & ~(w - 1);
  uint64_t bytes = w;
  if (!d->Writable && d->Size - offset < bytes) bytes = d->Size - offset;
  d->View =
      static_cast<uint8_t*>(MapViewOfFile(d->Mapping, d->Writable ? FILE_MAP_WRITE : FILE_MAP_READ,
                                          High(offset), Low(offset), static_cast<SIZE_T>(bytes)));
  if (d->View != nullptr) {
    d->ViewOffset = offset;
    return true;
  }
  if (lowMemory != nullptr && GetLastError() == ERROR_NOT_ENOUGH_MEMORY) *lowMemory = true;
  return false;
}

bool TDiskFile::PlainOutcome(int32_t result, uint32_t done, uint32_t wanted, uint32_t* out,
                             int32_t shortError) {
  if (result != kFileOk) {
    LastError = result;
    return false;
  }
  if (out != nullptr) {
    *out = done;
    return true;
  }
  if (done == wanted) return true;
  LastError = shortError;
  return false;
}

bool TDiskFile::ReadPlainly(void* buffer, uint32_t count, uint32_t asked, uint32_t* read) {
  uint32_t got = 0;
  const int32_t result = ReadPlain(Data->Handle, buffer, count, &got);
  return PlainOutcome(result, got, asked, read, kFileReadFailed);
}

bool TDiskFile::ReadData(void* buffer, uint32_t count, uint32_t* read) {
  if (read != nullptr) *read = 0;
  if (count == 0) return true;
  FileData* d = Data;
  if (d == nullptr) {
    LastError = kFileOutOfMemory;
    return false;
  }
  if (!d->Mapped) return ReadPlainly(buffer, count, count, read);
  CountIo(kIoReads, count);
  if (buffer == nullptr) {
    LastError = kFileAccessDenied;
    return false;
  }
  if (d->Size <= d->Position) {
    if (read != nullptr) return true;
    LastError = kFileReadFailed;
    return false;
  }
  const uint64_t left = d->Size - d->Position;
  const uint32_t n = left < count ? static_cast<uint32_t>(left) : count;
  auto* to = static_cast<uint8_t*>(buffer);
  uint32_t done = 0;
  while (done < n) {
    const uint32_t chunk = Chunk(d, n - done);
    bool lowMemory = false;
    if (!EnsureView(chunk, &lowMemory)) {
      // Short of address space for the first view: the whole file goes on with plain reads.
      if (!d->Writable && lowMemory && d->Position == 0) {
        ReleaseMapping();
        d->Mapped = false;
        return ReadPlainly(to, n - done, count, read);
      }
      LastError = kFileReadFailed;
      return false;
    }
    if (!SafeCopyMem(to, d->View + (d->Position - d->ViewOffset), chunk)) {
      LastError = kFileReadFailed;
      return false;
    }
    to += chunk;
    done += chunk;
    d->Position += chunk;
  }
  if (read != nullptr) {
    *read = done;
    return true;
  }
  if (done == count) return true;
  LastError = kFileReadFailed;
  return false;
}

bool TDiskFile::WriteData(const void* buffer, uint32_t count, uint32_t* written) {
  if (written != nullptr) *written = 0;
  FileData* d = Data;
  if (d == nullptr) {
    LastError = kFileOutOfMemory;
    return false;
  }
  if (!d->Writable) {
    LastError = kFileAccessDenied;
    return false;
  }
  if (!d->Mapped) {
    uint32_t done = 0;
    const int32_t result = WritePlain(d->Handle, buffer, count, &done);
    return PlainOutcome(result, done, count, written, kFileWriteFailed);
  }
  CountIo(kIoWrites, count);
  const auto* from = static_cast<const uint8_t*>(buffer);
  uint32_t done = 0;
  while (done < count) {
    const uint32_t chunk = Chunk(d, count - done);
    if (!EnsureView(chunk, nullptr) ||
        !SafeCopyMem(d->View + (d->Position - d->ViewOffset), from, chunk)) {
      LastError = kFileWriteFailed;
      return false;
    }
    from += chunk;
    done += chunk;
    d->Position += chunk;
    if (d->Position > d->Size) d->Size = d->Position;
  }
  if (written != nullptr) *written = done;
  return true;
}

bool TDiskFile::Read16Data(void* buffer, uint16_t count, uint16_t* read) {
  uint32_t got = 0;
  const bool ok = Read(buffer, count, &got);
  if (read != nullptr) {
    *read = static_cast<uint16_t>(got);
    return ok;
  }
  if (got == count) return ok;
  LastError = kFileReadFailed;
  return false;
}

bool TDiskFile::Write16Data(const void* buffer, uint16_t count, uint16_t* written) {
  uint32_t done = 0;
  const bool ok = Write(buffer, count, &done);
  if (written != nullptr) {
    *written = static_cast<uint16_t>(done);
    return ok;
  }
  if (done == count) return ok;
  LastError = kFileWriteFailed;
  return false;
}

bool TDiskFile::SeekData(uint32_t offset) {
  FileData* d = Data;
  if (d == nullptr) {
    LastError = kFileOutOfMemory;
    return false;
  }
  if (d->Mapped) {
    CountIo(kIoSeeks, 0);
    d->Position = offset;
    return true;
  }
  const int32_t result = SeekPlain(d->Handle, offset);
  if (result == kFileOk) return true;
  LastError = result;
  return false;
}

bool TDiskFile::Seek64Data(uint32_t low, uint32_t high) {
  FileData* d = Data;
  if (d == nullptr) {
    LastError = kFileOutOfMemory;
    return false;
  }
  if (d->Mapped) {
    d->Position = static_cast<uint64_t>(high) << 32 | low;
    return true;
  }
  const int32_t result = SeekPlain64(d->Handle, low, high);
  if (result == kFileOk) return true;
  LastError = result;
  return false;
}

uint32_t TDiskFile::PositionData() {
  FileData* d = Data;
  if (d == nullptr) return ~0u;
  if (d->Mapped) return Low(d->Position);
  LONG high = 0;
  return SetFilePointer(d->Handle, 0, &high, FILE_CURRENT);
}

bool TDiskFile::Position64Data(uint64_t* position) {
  if (position != nullptr) *position = 0;
  FileData* d = Data;
  if (position == nullptr || d == nullptr) {
    LastError = position == nullptr ? kFileArgumentMissing : kFileOutOfMemory;
    return false;
  }
  if (d->Mapped) {
    *position = d->Position;
    return true;
  }
  const int32_t result = PositionPlain64(d->Handle, position);
  if (result == kFileOk) return true;
  LastError = result;
  return false;
}

uint32_t TDiskFile::SizeData() {
  FileData* d = Data;
  if (d == nullptr) return ~0u;
  if (d->Mapped) return Low(d->Size);
  return GetFileSize(d->Handle, nullptr);
}

bool TDiskFile::Size64Data(uint64_t* size) {
  FileData* d = Data;
  if (d == nullptr) {
    LastError = kFileOutOfMemory;
    return false;
  }
  if (d->Mapped) {
    if (size == nullptr) return false;
    *size = d->Size;
    return true;
  }
  const int32_t result = SizePlain64(d->Handle, size);
  if (result == kFileOk) return true;
  LastError = result;
  return false;
}

bool TDiskFile::TruncateData() {
  FileData* d = Data;
  if (d == nullptr) {
    LastError = kFileOutOfMemory;
    return false;
  }
  if (d->Mapped) {
    d->Size = d->Position;
    return true;
  }
  if (d->Handle != nullptr && SetEndOfFile(d->Handle)) return true;
  LastError = kFileWriteFailed;
  return false;
}

// While a writable file is mapped, its mapping makes it longer on disk than its logical size;
// closing cuts it back.
bool TDiskFile::Close() {
  LastError = kFileOk;
  FileData* d = Data;
  if (d == nullptr) return true;
  if (d->Mapped) {
    if (!ReleaseMapping()) LastError = kFileWriteFailed;
    if (d->Handle != nullptr && d->Writable) {
      const bool ended = SetPointer(d->Handle, d->Size) && SetEndOfFile(d->Handle);
      if (!ended && LastError == kFileOk) LastError = kFileWriteFailed;
    }
  }
  if (d->Handle != nullptr) {
    if (!CloseHandle(d->Handle) && LastError == kFileOk) LastError = kFileWriteFailed;
    d->Handle = nullptr;
  }
  return LastError == kFileOk;
}
