// Result codes of the file operations, and the file services that need no file object.
#pragma once

#include <stdint.h>

enum FileResult : int32_t {
  kFileOk = 0,
  kFileNotFound = 2, // also every open or delete failure not listed here
  kFilePathNotFound = 3,
  kFileAccessDenied = 5, // also a sharing violation, an empty name, a missing buffer
  kFileNotReady = 21,
  kFileReadFailed = 0x100,
  kFileWriteFailed = 0x101, // also a failed close or truncation
  kFileSeekFailed = 0x102,
  kFileOutOfMemory = 0x104,
  kFileCreateFailed = 0x124,
  kFileArgumentMissing = 0x128,
};

// The result code of a failed open or delete, from the system's error code.
int32_t FileResultFromSystem(uint32_t error);

// Deletes the file; kFileNotFound for a null name.
int32_t RemoveFile(const char* name);

// The console's input, opened on the first call that succeeds and closed by an exit callback;
// null when there is no console to read (input redirected, or no console at all).
void* ConsoleInputHandle();
