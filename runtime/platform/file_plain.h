// The plain file functions: thin calls of the system's file functions that answer with the
// result codes of file_basics.h and count themselves in the I/O statistics.
#pragma once

#include "runtime/platform/file_basics.h"

#include <stdint.h>

// Open mode bits of OpenExistingFile, CreateNewFile, TDiskFile::Open and TDiskFile::Create.
enum FileMode : uint16_t {
  kModeAccess = 0x0003, // 0 read, 1 write, 2 read and write, 3 no data access
  kModeRead = 0,
  kModeWrite = 1,
  kModeReadWrite = 2,
  kModeNoAccess = 3,
  kModeShare = 0x0070, // 0x20 others may read, 0x30 write, 0x40 both; else exclusive
  kModeShareRead = 0x0020,
  kModeShareWrite = 0x0030,
  kModeShareReadWrite = 0x0040,
  kModeNoLink = 0x0200,     // open the file itself even when it has a link stream
  kModeSequential = 0x0400, // sequential-scan caching
  kModeOnlyNew = 0x0800,    // Create fails where a file of that name exists
};

// The first counter of each pair in RuntimeState.IoStats; reads and writes add their bytes to
// the second.
enum IoCounter : uint32_t {
  kIoOpens = 0,
  kIoCreates = 2,
  kIoSeeks = 4,
  kIoReads = 6,
  kIoWrites = 8,
};

// Counts one operation (and bytes, for reads and writes) while the statistics are on.
void CountIo(IoCounter counter, uint32_t bytes);

// Opens an existing file. Unless the mode says kModeNoLink, on the NT family the stream
// "name:SymLink" may name the file to open instead; its first line (up to a carriage return or
// line feed) is that name. The name opened goes to target when one is given (a target that does
// not fit fails the open with kFileNotFound instead of opening a cut name).
int32_t OpenExistingFile(const char* name, uint16_t mode, void** handle, char* target,
                         uint32_t targetLength, bool* redirected);

// Creates the file, replacing one of that name; a hidden one is unhidden and replaced.
int32_t CreateNewFile(const char* name, void** handle, bool compress, bool temporary, uint16_t mode,
                      bool* redirected);

// kFileAccessDenied without a buffer, kFileReadFailed when the system fails.
int32_t ReadPlain(void* handle, void* buffer, uint32_t count, uint32_t* read);
int32_t WritePlain(void* handle, const void* buffer, uint32_t count, uint32_t* written);
// Absolute seeks; kFileSeekFailed unless the system reports the position asked for.
int32_t SeekPlain(void* handle, uint32_t offset);
int32_t SeekPlain64(void* handle, uint32_t low, uint32_t high);
// kFileArgumentMissing without out, kFileAccessDenied when the system fails.
int32_t PositionPlain64(void* handle, uint64_t* position);
int32_t SizePlain64(void* handle, uint64_t* size);

// The pause of the slow-read switch after every plain read; null waits with Sleep.
extern void (*SlowReadWait)(uint32_t milliseconds);
