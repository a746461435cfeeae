// File mappings over mmap(2). A mapping object holds its own descriptor of the file and the
// size it was made with; its handle is the address of the layer's record, so CloseHandle tells
// it from descriptor and thread handles. Views are MAP_SHARED, so what one writes the file
// holds. A view outlives its mapping object, as on Windows.
//
// Only mappings of files, without names, are kept: a mapping of the paging file or a named one
// fails with ERROR_INVALID_PARAMETER. The error codes are those Windows gives: an empty file
// cannot be mapped (ERROR_FILE_INVALID), a read-only mapping cannot reach beyond the file
// (ERROR_NOT_ENOUGH_MEMORY), a writable one extends the file, a view must start on a multiple of
// the 64 KiB granularity (ERROR_MAPPED_ALIGNMENT) and end inside its mapping.
#include "winposix/fd_handles.h"
#include "winposix/file_objects.h"
#include "winposix/internal.h"

#include <cerrno>
#include <fcntl.h>
#include <map>
#include <mutex>
#include <set>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr uint64_t kGranularity = 0x10000;

struct Mapping {
  int fd;
  uint64_t size;
  bool writable;
  dev_t device;
  ino_t inode;
};

struct View {
  size_t length;
  dev_t device;
  ino_t inode;
  uint64_t end; // file offset behind the view's last byte
};

std::mutex mappingsLock;
std::set<Mapping*>& Mappings() {
  static auto* mappings = new std::set<Mapping*>;
  return *mappings;
}
std::map<uintptr_t, View>& Views() {
  static auto* views = new std::map<uintptr_t, View>;
  return *views;
}

HANDLE FailMapping(DWORD error) {
  SetLastError(error);
  return nullptr;
}

uint64_t Join(DWORD high, DWORD low) {
  return static_cast<uint64_t>(high) << 32 | low;
}

} // namespace

namespace winposix {

bool CloseMappingHandle(HANDLE handle) {
  auto* mapping = static_cast<Mapping*>(handle);
  {
    std::lock_guard<std::mutex> hold(mappingsLock);
    if (Mappings().erase(mapping) == 0) return false;
  }
  close(mapping->fd);
  delete mapping;
  return true;
}

bool MappedBeyond(dev_t device, ino_t inode, uint64_t size) {
  std::lock_guard<std::mutex> hold(mappingsLock);
  for (const auto& [address, view] : Views())
    if (view.device == device && view.inode == inode && view.end > size) return true;
  for (const Mapping* mapping : Mappings())
    if (mapping->device == device && mapping->inode == inode && mapping->size > size) return true;
  return false;
}

} // namespace winposix

extern "C" HANDLE WINAPI CreateFileMappingA(HANDLE file, LPSECURITY_ATTRIBUTES, DWORD protect,
                                            DWORD sizeHigh, DWORD sizeLow, LPCSTR name) {
  if (winposix::ShouldFail(winposix::FailPoint::CreateFileMappingA))
    return FailMapping(ERROR_NOT_ENOUGH_MEMORY);
  if (file == INVALID_HANDLE_VALUE || name != nullptr) return FailMapping(ERROR_INVALID_PARAMETER);
  const DWORD page = protect & 0xFF;
  if (page != PAGE_READONLY && page != PAGE_READWRITE) return FailMapping(ERROR_INVALID_PARAMETER);
  const bool writable = page == PAGE_READWRITE;
  const int fd = winposix::FdFromHandle(file);
  const int flags = fd >= 0 ? fcntl(fd, F_GETFL) : -1;
  if (flags < 0) return FailMapping(ERROR_INVALID_HANDLE);
  const int access = flags & O_ACCMODE;
  if ((flags & O_PATH) != 0 || access == O_WRONLY || (writable && access != O_RDWR))
    return FailMapping(ERROR_ACCESS_DENIED);
  struct stat info;
  if (fstat(fd, &info) != 0) return FailMapping(winposix::ErrorFromErrno(errno));
  const uint64_t fileSize = static_cast<uint64_t>(info.st_size);
  uint64_t size = Join(sizeHigh, sizeLow);
  if (size == 0) {
    if (fileSize == 0) return FailMapping(ERROR_FILE_INVALID);
    size = fileSize;
  }
  if (size > fileSize) {
    if (!writable) return FailMapping(ERROR_NOT_ENOUGH_MEMORY);
    if (ftruncate(fd, static_cast<off_t>(size)) != 0)
      return FailMapping(errno == EFBIG ? ERROR_NOT_ENOUGH_MEMORY
                                        : winposix::ErrorFromErrno(errno));
  }
  const int own = fcntl(fd, F_DUPFD_CLOEXEC, 0);
  if (own < 0) return FailMapping(ERROR_NOT_ENOUGH_MEMORY);
  auto* mapping = new Mapping{own, size, writable, info.st_dev, info.st_ino};
  {
    std::lock_guard<std::mutex> hold(mappingsLock);
    Mappings().insert(mapping);
  }
  SetLastError(ERROR_SUCCESS);
  return mapping;
}

extern "C" LPVOID WINAPI MapViewOfFile(HANDLE handle, DWORD access, DWORD offsetHigh,
                                       DWORD offsetLow, SIZE_T bytes) {
  if (winposix::ShouldFail(winposix::FailPoint::MapViewOfFile))
    return FailMapping(ERROR_NOT_ENOUGH_MEMORY);
  std::lock_guard<std::mutex> hold(mappingsLock);
  auto* mapping = static_cast<Mapping*>(handle);
  if (Mappings().count(mapping) == 0) return FailMapping(ERROR_INVALID_HANDLE);
  const bool write = (access & FILE_MAP_WRITE) != 0;
  if (write && !mapping->writable) return FailMapping(ERROR_ACCESS_DENIED);
  const uint64_t offset = Join(offsetHigh, offsetLow);
  if (offset % kGranularity != 0) return FailMapping(ERROR_MAPPED_ALIGNMENT);
  if (offset >= mapping->size) return FailMapping(ERROR_INVALID_PARAMETER);
  const uint64_t length = bytes != 0 ? bytes : mapping->size - offset;
  if (length > mapping->size - offset) return FailMapping(ERROR_ACCESS_DENIED);
  void* view = winposix::MapForProgram(length, write ? PROT_READ | PROT_WRITE : PROT_READ,
                                       MAP_SHARED, mapping->fd, static_cast<off_t>(offset));
  if (view == MAP_FAILED)
    return FailMapping(errno == ENOMEM ? ERROR_NOT_ENOUGH_MEMORY : winposix::ErrorFromErrno(errno));
  Views()[reinterpret_cast<uintptr_t>(view)] = {static_cast<size_t>(length), mapping->device,
                                                mapping->inode, offset + length};
  return view;
}

extern "C" BOOL WINAPI UnmapViewOfFile(LPCVOID address) {
  std::lock_guard<std::mutex> hold(mappingsLock);
  const auto found = Views().find(reinterpret_cast<uintptr_t>(address));
  if (found == Views().end()) {
    SetLastError(ERROR_INVALID_ADDRESS);
    return FALSE;
  }
  munmap(const_cast<void*>(address), found->second.length);
  Views().erase(found);
  return TRUE;
}
