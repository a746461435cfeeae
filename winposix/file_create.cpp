// Files by name: CreateFileA over open(2), DeleteFileA over unlink(2), SetFileAttributesA over
// chmod(2) and extended attributes. The handles are descriptor handles, so ReadFile, WriteFile
// and CloseHandle work on them.
//
// What Windows keeps and POSIX does not:
// - Sharing modes are honoured between the opens of this process: an open that the share mode
//   of an earlier open (or its own share mode, against an earlier open's access) forbids fails
//   with ERROR_SHARING_VIOLATION, as does deleting a file that is open without
//   FILE_SHARE_DELETE. Other processes are not seen: POSIX has no mandatory sharing.
// - Read-only is a file nobody may write (no write permission bit), as Wine maps it; such a
//   file is refused for writing and overwriting even to root.
// - Hidden and system live in the extended attribute "user.DOSATTRIB" ("0x2" for hidden), as
//   Wine and Samba keep them. Overwriting a hidden or system file without naming that attribute
//   is refused with ERROR_ACCESS_DENIED, as on Windows. Without extended attributes on the file
//   system nothing is hidden and SetFileAttributesA cannot hide.
// - The temporary attribute is not kept; sequential scan becomes posix_fadvise.
// - An open with no data access (access 0) holds an O_PATH descriptor: it can be asked about
//   the file, never read or written.
#include "winposix/fd_handles.h"
#include "winposix/file_objects.h"
#include "winposix/internal.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <fcntl.h>
#include <map>
#include <mutex>
#include <string>
#include <strings.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

namespace {

// Windows tells a missing file from a missing folder on the way to it.
DWORD MissingError(const char* path) {
  std::string parent(path);
  const size_t slash = parent.find_last_of('/');
  if (slash == std::string::npos) return ERROR_FILE_NOT_FOUND;
  parent.resize(slash == 0 ? 1 : slash);
  struct stat info;
  return stat(parent.c_str(), &info) == 0 && S_ISDIR(info.st_mode) ? ERROR_FILE_NOT_FOUND
                                                                   : ERROR_PATH_NOT_FOUND;
}

} // namespace

DWORD winposix::PathError(int error, const char* path) {
  switch (error) {
  case ENOENT:
    return MissingError(path);
  case ENOTDIR:
  case ENAMETOOLONG:
  case ELOOP:
    return ERROR_PATH_NOT_FOUND;
  case EEXIST:
    return ERROR_FILE_EXISTS;
  case EACCES:
  case EPERM:
  case EROFS:
  case EISDIR:
    return ERROR_ACCESS_DENIED;
  case ETXTBSY:
  case EBUSY:
    return ERROR_SHARING_VIOLATION;
  case ENXIO:
  case ENODEV:
    return ERROR_NOT_READY;
  default:
    return ERROR_GEN_FAILURE;
  }
}

namespace {

constexpr char kDosAttributeName[] = "user.DOSATTRIB";
constexpr DWORD kKeptAttributes = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
constexpr size_t kRecordedCalls = 64;

// The console's devices are the controlling terminal; a process without one has no console,
// and Windows answers that with an invalid handle.
bool IsConsoleName(const char* name) {
  return strcasecmp(name, "CONIN$") == 0 || strcasecmp(name, "CONOUT$") == 0;
}

HANDLE Fail(DWORD error) {
  SetLastError(error);
  return INVALID_HANDLE_VALUE;
}

// One descriptor that reads or writes data, for the sharing checks.
struct OpenFile {
  dev_t device;
  ino_t inode;
  bool reads, writes;
  DWORD share;
};

std::mutex filesLock; // guards the two tables and keeps check and open together
std::map<int, OpenFile>& OpenFiles() {
  static auto* files = new std::map<int, OpenFile>;
  return *files;
}

std::deque<winposix::CreateFileCall>& CreateCalls() {
  static auto* calls = new std::deque<winposix::CreateFileCall>;
  return *calls;
}

// An open conflicts with every open of the same file whose share mode does not allow its
// access, and with every open whose access its own share mode does not allow.
bool SharingConflict(const struct stat& file, bool reads, bool writes, DWORD share) {
  for (const auto& [fd, open] : OpenFiles()) {
    if (open.device != file.st_dev || open.inode != file.st_ino) continue;
    if ((reads && !(open.share & FILE_SHARE_READ)) || (writes && !(open.share & FILE_SHARE_WRITE)))
      return true;
    if ((open.reads && !(share & FILE_SHARE_READ)) || (open.writes && !(share & FILE_SHARE_WRITE)))
      return true;
  }
  return false;
}

bool OpenWithoutDeleteSharing(const struct stat& file) {
  for (const auto& [fd, open] : OpenFiles())
    if (open.device == file.st_dev && open.inode == file.st_ino &&
        !(open.share & FILE_SHARE_DELETE))
      return true;
  return false;
}

DWORD ParseDosAttributes(const char* value, ssize_t length) {
  if (length <= 2 || value[0] != '0' || (value[1] != 'x' && value[1] != 'X')) return 0;
  const std::string text(value + 2, static_cast<size_t>(length) - 2);
  return static_cast<DWORD>(std::strtoul(text.c_str(), nullptr, 16)) & kKeptAttributes;
}

// Writes or removes the kept attributes; false when the file system cannot keep them.
bool StoreDosAttributes(int fd, const char* path, DWORD attributes) {
  attributes &= kKeptAttributes;
  if (attributes == 0) {
    const int done =
        fd >= 0 ? fremovexattr(fd, kDosAttributeName) : removexattr(path, kDosAttributeName);
    return done == 0 || errno == ENODATA || errno == ENOTSUP;
  }
  char value[16];
  const int length = std::snprintf(value, sizeof value, "0x%x", static_cast<unsigned>(attributes));
  const int done = fd >= 0 ? fsetxattr(fd, kDosAttributeName, value, length, 0)
                           : setxattr(path, kDosAttributeName, value, length, 0);
  return done == 0;
}

int OpenRetrying(const char* name, int mode, mode_t permissions) {
  int fd;
  do {
    fd = open(name, mode, permissions);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

} // namespace

namespace winposix {

void ForgetOpenFile(int fd) {
  std::lock_guard<std::mutex> hold(filesLock);
  OpenFiles().erase(fd);
}

DWORD StoredDosAttributes(const char* path) {
  char value[64];
  const ssize_t length = getxattr(path, kDosAttributeName, value, sizeof value);
  return length > 0 ? ParseDosAttributes(value, length) : 0;
}

DWORD TransferError(int fd, int error) {
  if (error == EBADF && fcntl(fd, F_GETFD) >= 0) return ERROR_ACCESS_DENIED;
  return ErrorFromErrno(error);
}

std::vector<CreateFileCall> RecordedCreateFiles() {
  std::lock_guard<std::mutex> hold(filesLock);
  return {CreateCalls().begin(), CreateCalls().end()};
}

void ClearFileRecords() {
  {
    std::lock_guard<std::mutex> hold(filesLock);
    CreateCalls().clear();
  }
  ClearDeviceControls();
}

} // namespace winposix

extern "C" HANDLE WINAPI CreateFileA(LPCSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES,
                                     DWORD disposition, DWORD flags, HANDLE) {
  {
    std::lock_guard<std::mutex> hold(filesLock);
    CreateCalls().push_back({name != nullptr ? name : "", access, share, disposition, flags});
    if (CreateCalls().size() > kRecordedCalls) CreateCalls().pop_front();
  }
  if (winposix::ShouldFail(winposix::FailPoint::CreateFileA)) return Fail(ERROR_ACCESS_DENIED);
  if (name == nullptr || *name == 0) return Fail(ERROR_PATH_NOT_FOUND);
  const bool reads = (access & (GENERIC_READ | GENERIC_ALL)) != 0;
  const bool writes = (access & (GENERIC_WRITE | GENERIC_ALL)) != 0;
  int mode = reads && writes ? O_RDWR : writes ? O_WRONLY : O_RDONLY;
  mode |= O_CLOEXEC;
  if (IsConsoleName(name)) {
    const int fd = open("/dev/tty", mode | O_NOCTTY);
    if (fd < 0) return Fail(ERROR_INVALID_HANDLE);
    return winposix::HandleFromFd(fd);
  }
  switch (disposition) {
  case CREATE_NEW:
    mode |= O_CREAT | O_EXCL;
    break;
  case CREATE_ALWAYS:
    mode |= O_CREAT | O_TRUNC;
    break;
  case OPEN_EXISTING:
    break;
  case OPEN_ALWAYS:
    mode |= O_CREAT;
    break;
  case TRUNCATE_EXISTING:
    if (!writes) return Fail(ERROR_INVALID_PARAMETER);
    mode |= O_TRUNC;
    break;
  default:
    return Fail(ERROR_INVALID_PARAMETER);
  }
  const bool dataAccess = reads || writes;
  // Access 0 asks only about the file: it may create one but never truncates.
  if (!dataAccess) mode = (mode & ~(O_TRUNC | O_WRONLY | O_RDWR)) | O_RDONLY;
  const bool overwrites = (mode & O_TRUNC) != 0;

  std::lock_guard<std::mutex> hold(filesLock);
  struct stat before;
  const bool existed = stat(name, &before) == 0;
  if (existed && S_ISDIR(before.st_mode)) return Fail(ERROR_ACCESS_DENIED);
  if (existed && S_ISREG(before.st_mode)) {
    if ((before.st_mode & 0222) == 0 && (writes || overwrites)) return Fail(ERROR_ACCESS_DENIED);
    if (overwrites && (winposix::StoredDosAttributes(name) & ~flags & kKeptAttributes) != 0)
      return Fail(ERROR_ACCESS_DENIED);
    if (dataAccess && SharingConflict(before, reads, writes, share))
      return Fail(ERROR_SHARING_VIOLATION);
  }
  const mode_t permissions = (flags & FILE_ATTRIBUTE_READONLY) != 0 ? 0444 : 0666;
  int fd = OpenRetrying(name, mode, permissions);
  if (fd < 0) return Fail(winposix::PathError(errno, name));
  const bool created = !existed || overwrites;
  if (created && (existed || (flags & kKeptAttributes) != 0)) StoreDosAttributes(fd, name, flags);
  if (overwrites && (flags & FILE_ATTRIBUTE_READONLY) != 0) {
    struct stat now;
    if (fstat(fd, &now) == 0) fchmod(fd, now.st_mode & 07555);
  }
  if ((flags & FILE_FLAG_SEQUENTIAL_SCAN) != 0 && dataAccess)
    posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
  if (!dataAccess) {
    const int pathOnly = open(name, O_PATH | O_CLOEXEC);
    close(fd);
    if (pathOnly < 0) return Fail(winposix::PathError(errno, name));
    fd = pathOnly;
  } else {
    struct stat opened;
    if (fstat(fd, &opened) == 0)
      OpenFiles()[fd] = {opened.st_dev, opened.st_ino, reads, writes, share};
  }
  // Success, but Windows says whether a file was already there.
  const bool tellsExisting = disposition == CREATE_ALWAYS || disposition == OPEN_ALWAYS;
  SetLastError(tellsExisting && existed ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
  return winposix::HandleFromFd(fd);
}

extern "C" BOOL WINAPI DeleteFileA(LPCSTR name) {
  if (name == nullptr || *name == 0) {
    SetLastError(ERROR_PATH_NOT_FOUND);
    return FALSE;
  }
  std::lock_guard<std::mutex> hold(filesLock);
  struct stat info;
  // A folder is no file, and a file nobody may write carries the read-only attribute, which
  // keeps Windows from deleting it.
  if (lstat(name, &info) == 0 &&
      (S_ISDIR(info.st_mode) || (S_ISREG(info.st_mode) && (info.st_mode & 0222) == 0))) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  if (lstat(name, &info) == 0 && OpenWithoutDeleteSharing(info)) {
    SetLastError(ERROR_SHARING_VIOLATION);
    return FALSE;
  }
  if (unlink(name) != 0) {
    SetLastError(winposix::PathError(errno, name));
    return FALSE;
  }
  return TRUE;
}

// Read-only clears or restores the write permission of the owner (and of whoever may read);
// hidden and system go to the extended attribute. The other attributes are not kept.
extern "C" BOOL WINAPI SetFileAttributesA(LPCSTR path, DWORD attributes) {
  if (path == nullptr || *path == 0) {
    SetLastError(ERROR_PATH_NOT_FOUND);
    return FALSE;
  }
  struct stat info;
  if (stat(path, &info) != 0) {
    SetLastError(winposix::PathError(errno, path));
    return FALSE;
  }
  if (!StoreDosAttributes(-1, path, attributes)) {
    SetLastError(errno == ENOTSUP ? ERROR_NOT_SUPPORTED : winposix::PathError(errno, path));
    return FALSE;
  }
  mode_t mode = info.st_mode & 07777;
  if (!S_ISDIR(info.st_mode)) {
    if ((attributes & FILE_ATTRIBUTE_READONLY) != 0)
      mode &= ~0222;
    else if ((mode & 0222) == 0)
      mode |= S_IWUSR | ((mode & 0044) >> 1);
  }
  if (mode != (info.st_mode & 07777) && chmod(path, mode) != 0) {
    SetLastError(winposix::PathError(errno, path));
    return FALSE;
  }
  return TRUE;
}
