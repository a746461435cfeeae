// Standard handles, anonymous pipes, and reads and writes on any handle that stands for a file
// descriptor.
#include "winposix/console_input.h"
#include "winposix/fd_handles.h"
#include "winposix/file_objects.h"
#include "winposix/internal.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr uintptr_t kFdTag = 3;
constexpr uintptr_t kMaxFd = 1 << 20;

// What SetStdHandle gave for input, output and error; 0 until then: the descriptors 0, 1, 2.
std::atomic<uintptr_t> stdHandles[3];

int StdIndex(DWORD which) {
  switch (which) {
  case STD_INPUT_HANDLE:
    return 0;
  case STD_OUTPUT_HANDLE:
    return 1;
  case STD_ERROR_HANDLE:
    return 2;
  default:
    return -1;
  }
}

bool IsStream(int fd) {
  struct stat info;
  return fstat(fd, &info) == 0 && (S_ISFIFO(info.st_mode) || S_ISSOCK(info.st_mode));
}

// Windows has no SIGPIPE: a write to a pipe nobody reads fails with ERROR_NO_DATA and the
// process goes on. The signal is held back for the write and dropped if the write raised it.
class HoldPipeSignal {
public:
  HoldPipeSignal() {
    sigemptyset(&pipe_);
    sigaddset(&pipe_, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe_, &old_);
    sigset_t pending;
    sigpending(&pending);
    wasPending_ = sigismember(&pending, SIGPIPE) == 1;
  }
  ~HoldPipeSignal() {
    if (raised_ && !wasPending_) {
      const timespec none = {0, 0};
      sigtimedwait(&pipe_, nullptr, &none);
    }
    pthread_sigmask(SIG_SETMASK, &old_, nullptr);
  }
  void Raised() { raised_ = true; }

private:
  sigset_t pipe_, old_;
  bool wasPending_ = false;
  bool raised_ = false;
};

} // namespace

namespace winposix {

HANDLE HandleFromFd(int fd) {
  return reinterpret_cast<HANDLE>((static_cast<uintptr_t>(fd) + 1) << 2 | kFdTag);
}

int FdFromHandle(HANDLE handle) {
  const uintptr_t value = reinterpret_cast<uintptr_t>(handle);
  if ((value & 3) != kFdTag || (value >> 2) == 0 || (value >> 2) > kMaxFd) return -1;
  return static_cast<int>((value >> 2) - 1);
}

DWORD ErrorFromErrno(int error) {
  switch (error) {
  case EBADF:
    return ERROR_INVALID_HANDLE;
  case EPIPE:
    return ERROR_NO_DATA;
  case ENOSPC:
  case EDQUOT:
    return ERROR_DISK_FULL;
  case EACCES:
  case EPERM:
    return ERROR_ACCESS_DENIED;
  case EINVAL:
  case EFAULT:
    return ERROR_INVALID_PARAMETER;
  default:
    return ERROR_GEN_FAILURE;
  }
}

void* DescriptorHandle(int fd) {
  return HandleFromFd(fd);
}

} // namespace winposix

using winposix::ErrorFromErrno;
using winposix::FdFromHandle;
using winposix::HandleFromFd;

extern "C" HANDLE WINAPI GetStdHandle(DWORD which) {
  const int index = StdIndex(which);
  if (index < 0) {
    SetLastError(ERROR_INVALID_HANDLE);
    return INVALID_HANDLE_VALUE;
  }
  const uintptr_t set = stdHandles[index].load();
  if (set != 0) return reinterpret_cast<HANDLE>(set);
  // A process started without this descriptor has no standard handle for it.
  if (fcntl(index, F_GETFD) < 0) return nullptr;
  return HandleFromFd(index);
}

extern "C" BOOL WINAPI SetStdHandle(DWORD which, HANDLE handle) {
  const int index = StdIndex(which);
  if (index < 0) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  stdHandles[index] = reinterpret_cast<uintptr_t>(handle);
  return TRUE;
}

// The descriptor behind a handle; -1, with ERROR_INVALID_HANDLE set, for none.
static int DescriptorOf(HANDLE handle) {
  const int fd = FdFromHandle(handle);
  if (fd < 0) SetLastError(ERROR_INVALID_HANDLE);
  return fd;
}

// A synchronous WriteFile returns only when every byte is written or the write failed, so a
// short write(2) is continued, never reported as done.
extern "C" BOOL WINAPI WriteFile(HANDLE file, LPCVOID buffer, DWORD count, LPDWORD written,
                                 LPOVERLAPPED) {
  if (written != nullptr) *written = 0;
  const int fd = DescriptorOf(file);
  if (fd < 0) return FALSE;
  HoldPipeSignal hold;
  const char* bytes = static_cast<const char*>(buffer);
  DWORD done = 0;
  while (done < count) {
    const ssize_t n = write(fd, bytes + done, count - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      const int error = errno;
      if (error == EPIPE) hold.Raised();
      if (written != nullptr) *written = done;
      SetLastError(winposix::TransferError(fd, error));
      return FALSE;
    }
    done += static_cast<DWORD>(n);
  }
  if (written != nullptr) *written = done;
  return TRUE;
}

// One read(2): a pipe gives what is there, a file what it has up to count. The end of a pipe
// whose writers are gone is ERROR_BROKEN_PIPE, the end of a file a successful read of 0 bytes.
extern "C" BOOL WINAPI ReadFile(HANDLE file, LPVOID buffer, DWORD count, LPDWORD read,
                                LPOVERLAPPED) {
  if (read != nullptr) *read = 0;
  const int fd = DescriptorOf(file);
  if (fd < 0) return FALSE;
  ssize_t n;
  do {
    n = ::read(fd, buffer, count);
  } while (n < 0 && errno == EINTR);
  if (n < 0) {
    SetLastError(winposix::TransferError(fd, errno));
    return FALSE;
  }
  if (n == 0 && count > 0 && IsStream(fd)) {
    SetLastError(ERROR_BROKEN_PIPE);
    return FALSE;
  }
  if (read != nullptr) *read = static_cast<DWORD>(n);
  return TRUE;
}

extern "C" BOOL WINAPI CreatePipe(PHANDLE readEnd, PHANDLE writeEnd,
                                  LPSECURITY_ATTRIBUTES attributes, DWORD) {
  int fds[2];
  const bool inherit = attributes != nullptr && attributes->bInheritHandle;
  if (pipe2(fds, inherit ? 0 : O_CLOEXEC) != 0) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return FALSE;
  }
  *readEnd = HandleFromFd(fds[0]);
  *writeEnd = HandleFromFd(fds[1]);
  return TRUE;
}

extern "C" DWORD WINAPI GetFileType(HANDLE file) {
  struct stat info;
  const int fd = FdFromHandle(file);
  if (fd < 0 || fstat(fd, &info) != 0) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FILE_TYPE_UNKNOWN;
  }
  if (S_ISREG(info.st_mode)) return FILE_TYPE_DISK;
  if (S_ISFIFO(info.st_mode) || S_ISSOCK(info.st_mode)) return FILE_TYPE_PIPE;
  return S_ISCHR(info.st_mode) ? FILE_TYPE_CHAR : FILE_TYPE_UNKNOWN;
}

extern "C" BOOL WINAPI CloseHandle(HANDLE handle) {
  // The current-process pseudo handle needs no closing.
  if (handle == GetCurrentProcess()) return TRUE;
  if (winposix::CloseThreadHandle(handle)) return TRUE;
  if (winposix::CloseChildHandle(handle)) return TRUE;
  if (winposix::CloseMappingHandle(handle)) return TRUE;
  const int fd = FdFromHandle(handle);
  if (fd >= 0) winposix::ForgetConsoleInput(fd);
  if (fd >= 0) winposix::ForgetOpenFile(fd);
  if (fd < 0 || close(fd) != 0) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  return TRUE;
}
