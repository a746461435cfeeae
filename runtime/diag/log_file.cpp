#include "runtime/diag/log_file.h"

#include "runtime/startup/exit_callbacks.h"
#include "runtime/memory/memory.h"
#include "runtime/platform/disk_file.h"
#include "runtime/platform/file_plain.h"
#include "runtime/platform/lock.h"
#include "runtime/startup/runtime_state.h"
#include "runtime/text/memory_ops.h"
#include "runtime/text/strings.h"
#include "winposix/win32.h"

TLock* LogLock = nullptr;

namespace {

// Others may write too: instances that share one copy file take turns under the append lock.
// The log never maps and asks for compression.
constexpr uint16_t kLogMode = kModeReadWrite | kModeShareReadWrite;
constexpr uint32_t kLogOptions = kFileNoMapping | kFileCompress;

// Every appender, in this process or another, locks this one byte, beyond the end of any copy
// file below 4 GiB, around size, seek and write. LockFile does not wait (Windows 95 has nothing
// that does), so a lock held elsewhere is tried again for a few seconds; then the line goes out
// unlocked rather than not at all.
constexpr DWORD kAppendLockOffset = 0xFFFFFFFF;
constexpr DWORD kAppendLockPatienceMs = 5000;

bool TakeAppendLock(void* handle) {
  const DWORD start = GetTickCount();
  while (!LockFile(handle, kAppendLockOffset, 0, 1, 0)) {
    if (GetLastError() != ERROR_LOCK_VIOLATION || GetTickCount() - start >= kAppendLockPatienceMs)
      return false;
    Sleep(1);
  }
  return true;
}

void RemoveLogLock(uintptr_t, uintptr_t) {
  TLock* lock = __atomic_exchange_n(&LogLock, nullptr, __ATOMIC_ACQ_REL);
  delete lock;
}

// The first appends may come from several threads at once: each makes a lock, one of them
// installs its own with a compare-exchange, and the others throw theirs away. Null when no
// lock can be made; the append then goes on unlocked and the next one tries again. Once the
// exit callbacks have removed it, the teardown's last lines go out unlocked: nothing is made
// that nobody would remove.
TLock* TheLogLock() {
  TLock* lock = __atomic_load_n(&LogLock, __ATOMIC_ACQUIRE);
  if (lock != nullptr || RuntimeState.TearingDown) return lock;
  TLock* made = new TLock(0, 0);
  if (made == nullptr) return nullptr;
  if (!made->Usable()) {
    delete made;
    return nullptr;
  }
  TLock* installed = nullptr;
  if (__atomic_compare_exchange_n(&LogLock, &installed, made, false, __ATOMIC_ACQ_REL,
                                  __ATOMIC_ACQUIRE)) {
    AddExitCallback(RemoveLogLock, 0, 0);
    return made;
  }
  delete made;
  return installed;
}

// A copy file is never replaced: only a name that no file holds yet is created, so an open that
// fails for a moment loses this one text instead of everything the file already holds. Another
// instance may create the file between the open and the create: it is opened then.
bool OpenForAppend(TDiskFile* file) {
  return file->Open(kLogMode) || file->Create(kLogMode | kModeOnlyNew) || file->Open(kLogMode);
}

// The file's end is taken as a 64-bit size, so a copy file beyond 4 GiB is still appended to
// and not overwritten in its middle; the line goes out with a 32-bit count, whatever its length.
void Append(const char* path, const char* line) {
  TDiskFile* file = new TDiskFile(path, kLogOptions);
  if (file == nullptr) return;
  if (file->LastError == kFileOk && OpenForAppend(file)) {
    const bool locked = TakeAppendLock(file->Data->Handle);
    uint64_t size = 0;
    if (file->Size64(&size) &&
        file->Seek64(static_cast<uint32_t>(size), static_cast<uint32_t>(size >> 32)))
      file->Write(line, StrLen(line), nullptr);
    if (locked) UnlockFile(file->Data->Handle, kAppendLockOffset, 0, 1, 0);
  }
  delete file;
}

} // namespace

void LogWrite(const char* path, const char* text, bool lineBreak) {
  TLock* lock = TheLogLock();
  if (lock != nullptr) lock->Enter();
  if (text != nullptr && *text != 0 && path != nullptr && *path != 0) {
    const uint32_t length = StrLen(text);
    char* line = DupStringExtra(EmptyString, length + 2);
    if (line != nullptr) {
      CopyMem(line, text, length);
      if (lineBreak) {
        line[length] = '\r';
        line[length + 1] = '\n';
        line[length + 2] = 0;
      } else {
        line[length] = 0;
      }
      Append(path, line);
      FreeString(line);
    }
  }
  if (lock != nullptr) lock->Leave();
}

void LogWriteText(const char* text, const char* path) {
  LogWrite(path, text, false);
}

void LogWriteLine(const char* text, const char* path) {
  LogWrite(path, text, true);
}
