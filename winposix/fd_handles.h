// Handles of the layer that stand for a POSIX file descriptor: the standard handles, pipe ends
// and whatever else a layer file opens as a descriptor. ReadFile, WriteFile and CloseHandle
// work on any such handle.
#pragma once

#include "winposix/api.h"

namespace winposix {

// The handle value has its two low bits set, so it can never equal an object's address, and is
// never null or INVALID_HANDLE_VALUE.
HANDLE HandleFromFd(int fd);
// The descriptor a handle stands for, or -1.
int FdFromHandle(HANDLE handle);
// The Win32 error code for an errno value of a failed read or write.
DWORD ErrorFromErrno(int error);

} // namespace winposix
