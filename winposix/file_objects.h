// What the layer's file functions keep about open files, shared between them: the sharing
// record of every descriptor opened by CreateFileA, the file mapping objects and their views, and
// the DOS attributes POSIX has no place for.
#pragma once

#include "winposix/api.h"

#include <stdint.h>
#include <sys/types.h>

namespace winposix {

// Drops the sharing record of a descriptor that is being closed.
void ForgetOpenFile(int fd);

// Closes a file mapping object of the layer; false when the handle names none.
bool CloseMappingHandle(HANDLE handle);

// True when a mapping object or a view of the file (device, inode) reaches beyond size, so that
// the file cannot be cut there (Windows answers ERROR_USER_MAPPED_FILE).
bool MappedBeyond(dev_t device, ino_t inode, uint64_t size);

// The hidden and system attributes kept in the extended attribute "user.DOSATTRIB", as Wine and
// Samba keep them; 0 when there is none or the file system has no extended attributes.
DWORD StoredDosAttributes(const char* path);

// The error of a failed read or write on a descriptor: a descriptor that is open but was not
// opened for that direction is ERROR_ACCESS_DENIED, as for a Windows handle without the access.
DWORD TransferError(int fd, int error);

// Forgets the recorded DeviceIoControl calls.
void ClearDeviceControls();

// The Windows error for errno after a call that named a path (open, stat, chdir, ...).
DWORD PathError(int error, const char* path);

} // namespace winposix
