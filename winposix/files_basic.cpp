// File attributes and the current directory over stat and chdir. Path names are taken as they
// stand: no drive letters, no backslash translation.
#include "winposix/file_objects.h"
#include "winposix/internal.h"

#include <cerrno>
#include <sys/stat.h>
#include <unistd.h>

// Read-only as Wine maps it: nobody may write. Hidden and system as Wine keeps them (see
// file_create.cpp).
extern "C" DWORD WINAPI GetFileAttributesA(LPCSTR path) {
  if (path == nullptr || *path == 0) {
    SetLastError(ERROR_PATH_NOT_FOUND);
    return INVALID_FILE_ATTRIBUTES;
  }
  struct stat info;
  if (stat(path, &info) != 0) {
    SetLastError(winposix::PathError(errno, path));
    return INVALID_FILE_ATTRIBUTES;
  }
  DWORD attributes = 0;
  if (S_ISDIR(info.st_mode)) attributes |= FILE_ATTRIBUTE_DIRECTORY;
  if ((info.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0) attributes |= FILE_ATTRIBUTE_READONLY;
  attributes |= winposix::StoredDosAttributes(path);
  return attributes != 0 ? attributes : FILE_ATTRIBUTE_NORMAL;
}

extern "C" BOOL WINAPI SetCurrentDirectoryA(LPCSTR path) {
  if (path == nullptr || *path == 0) {
    SetLastError(ERROR_PATH_NOT_FOUND);
    return FALSE;
  }
  if (chdir(path) != 0) {
    SetLastError(winposix::PathError(errno, path));
    return FALSE;
  }
  return TRUE;
}
