// The file pointer, the file size and the end of a file on descriptor handles, over lseek(2),
// fstat(2) and ftruncate(2), and the one device control the runtime sends: the compression
// request, which becomes the file system's compression flag where it has one (btrfs), and
// fails as on a FAT volume elsewhere.
#include "winposix/fd_handles.h"
#include "winposix/file_objects.h"
#include "winposix/internal.h"

#include <cerrno>
#include <cstdint>
#include <fcntl.h>
#include <linux/fs.h>
#include <mutex>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::mutex callsLock;
std::vector<winposix::DeviceControlCall>& Calls() {
  static auto* calls = new std::vector<winposix::DeviceControlCall>;
  return *calls;
}

int FileFd(HANDLE file) {
  const int fd = winposix::FdFromHandle(file);
  if (fd < 0) SetLastError(ERROR_INVALID_HANDLE);
  return fd;
}

DWORD SeekError(int error) {
  return error == ESPIPE ? ERROR_INVALID_HANDLE : winposix::ErrorFromErrno(error);
}

bool WritableDescriptor(int fd) {
  const int flags = fcntl(fd, F_GETFL);
  return flags >= 0 && (flags & O_PATH) == 0 && (flags & O_ACCMODE) != O_RDONLY;
}

// The request to compress (format not 0) or to stop compressing (format 0).
bool SetCompression(int fd, uint16_t format) {
  int flags = 0;
  if (ioctl(fd, FS_IOC_GETFLAGS, &flags) != 0) return false;
  flags = format != 0 ? flags | FS_COMPR_FL : flags & ~FS_COMPR_FL;
  return ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
}

} // namespace

namespace winposix {

std::vector<DeviceControlCall> RecordedDeviceControls() {
  std::lock_guard<std::mutex> hold(callsLock);
  return Calls();
}

void ClearDeviceControls() {
  std::lock_guard<std::mutex> hold(callsLock);
  Calls().clear();
}

} // namespace winposix

// Without a high part the distance is a signed 32-bit number and the new position must fit in
// 32 bits. A result of INVALID_SET_FILE_POINTER that is a real position leaves NO_ERROR behind,
// so that callers can tell it from a failure.
extern "C" DWORD WINAPI SetFilePointer(HANDLE file, LONG distance, LONG* distanceHigh,
                                       DWORD method) {
  const int fd = FileFd(file);
  if (fd < 0) return INVALID_SET_FILE_POINTER;
  int64_t move = distance;
  if (distanceHigh != nullptr)
    move =
        static_cast<int64_t>((static_cast<uint64_t>(static_cast<uint32_t>(*distanceHigh)) << 32) |
                             static_cast<uint32_t>(distance));
  int64_t base = 0;
  if (method == FILE_CURRENT) {
    base = lseek(fd, 0, SEEK_CUR);
  } else if (method == FILE_END) {
    struct stat info;
    base = fstat(fd, &info) == 0 ? info.st_size : -1;
  } else if (method != FILE_BEGIN) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_SET_FILE_POINTER;
  }
  if (base < 0) {
    SetLastError(SeekError(errno));
    return INVALID_SET_FILE_POINTER;
  }
  const int64_t target = base + move;
  if (target < 0) {
    SetLastError(ERROR_NEGATIVE_SEEK);
    return INVALID_SET_FILE_POINTER;
  }
  if (distanceHigh == nullptr && target > 0xFFFFFFFFll) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_SET_FILE_POINTER;
  }
  if (lseek(fd, target, SEEK_SET) < 0) {
    SetLastError(SeekError(errno));
    return INVALID_SET_FILE_POINTER;
  }
  if (distanceHigh != nullptr) *distanceHigh = static_cast<LONG>(target >> 32);
  const DWORD low = static_cast<DWORD>(target);
  if (low == INVALID_SET_FILE_POINTER) SetLastError(NO_ERROR);
  return low;
}

extern "C" DWORD WINAPI GetFileSize(HANDLE file, LPDWORD sizeHigh) {
  const int fd = FileFd(file);
  if (fd < 0) return INVALID_FILE_SIZE;
  struct stat info;
  if (fstat(fd, &info) != 0) {
    SetLastError(winposix::ErrorFromErrno(errno));
    return INVALID_FILE_SIZE;
  }
  const uint64_t size = static_cast<uint64_t>(info.st_size);
  if (sizeHigh != nullptr) *sizeHigh = static_cast<DWORD>(size >> 32);
  const DWORD low = static_cast<DWORD>(size);
  if (low == INVALID_FILE_SIZE) SetLastError(NO_ERROR);
  return low;
}

// A file may not be cut below the end of a mapping or view of it: Windows refuses, and here a
// view would fault on its next touch.
extern "C" BOOL WINAPI SetEndOfFile(HANDLE file) {
  const int fd = FileFd(file);
  if (fd < 0) return FALSE;
  if (!WritableDescriptor(fd)) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  const off_t at = lseek(fd, 0, SEEK_CUR);
  struct stat info;
  if (at < 0 || fstat(fd, &info) != 0) {
    SetLastError(SeekError(errno));
    return FALSE;
  }
  if (winposix::MappedBeyond(info.st_dev, info.st_ino, static_cast<uint64_t>(at))) {
    SetLastError(ERROR_USER_MAPPED_FILE);
    return FALSE;
  }
  int done;
  do {
    done = ftruncate(fd, at);
  } while (done != 0 && errno == EINTR);
  if (done != 0) {
    SetLastError(winposix::ErrorFromErrno(errno));
    return FALSE;
  }
  return TRUE;
}

extern "C" BOOL WINAPI DeviceIoControl(HANDLE device, DWORD code, LPVOID input, DWORD inputSize,
                                       LPVOID, DWORD, LPDWORD returned, LPOVERLAPPED) {
  if (returned != nullptr) *returned = 0;
  uint16_t format = 0;
  const bool hasWord = input != nullptr && inputSize >= sizeof format;
  if (hasWord) format = *static_cast<const uint16_t*>(input);
  {
    std::lock_guard<std::mutex> hold(callsLock);
    Calls().push_back({code, hasWord ? format : ~0u});
  }
  const int fd = FileFd(device);
  if (fd < 0) return FALSE;
  if (code != FSCTL_SET_COMPRESSION) {
    SetLastError(ERROR_INVALID_FUNCTION);
    return FALSE;
  }
  if (!hasWord) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (!SetCompression(fd, format)) {
    SetLastError(ERROR_INVALID_FUNCTION);
    return FALSE;
  }
  return TRUE;
}

namespace {

// Windows locks belong to the handle, so two opens of one file exclude each other even in one
// process: open-file-description locks behave so, process-owned POSIX locks do not.
BOOL ChangeLock(HANDLE file, DWORD offsetLow, DWORD offsetHigh, DWORD countLow, DWORD countHigh,
                short type) {
  const int fd = FileFd(file);
  if (fd < 0) return FALSE;
  const uint64_t start = (static_cast<uint64_t>(offsetHigh) << 32) | offsetLow;
  const uint64_t count = (static_cast<uint64_t>(countHigh) << 32) | countLow;
  if (count == 0 || start > INT64_MAX || count - 1 > static_cast<uint64_t>(INT64_MAX) - start) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  struct flock lock = {};
  lock.l_type = type;
  lock.l_whence = SEEK_SET;
  lock.l_start = static_cast<off_t>(start);
  lock.l_len = static_cast<off_t>(count);
  if (fcntl(fd, F_OFD_SETLK, &lock) == 0) return TRUE;
  const int error = errno;
  SetLastError(error == EAGAIN || error == EACCES ? ERROR_LOCK_VIOLATION
                                                  : winposix::ErrorFromErrno(error));
  return FALSE;
}

} // namespace

// Does not wait: a range another handle holds fails with ERROR_LOCK_VIOLATION, as on Windows.
extern "C" BOOL WINAPI LockFile(HANDLE file, DWORD offsetLow, DWORD offsetHigh, DWORD countLow,
                                DWORD countHigh) {
  return ChangeLock(file, offsetLow, offsetHigh, countLow, countHigh, F_WRLCK);
}

extern "C" BOOL WINAPI UnlockFile(HANDLE file, DWORD offsetLow, DWORD offsetHigh, DWORD countLow,
                                  DWORD countHigh) {
  return ChangeLock(file, offsetLow, offsetHigh, countLow, countHigh, F_UNLCK);
}
