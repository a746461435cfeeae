// TDiskFile: a file on disk as a TDataStream, read and written either with the plain file
// functions or through a view of a file mapping that moves over the file in steps of its
// window W. Read-only files are mapped with W = 128 allocation granules (8 MiB), writable ones
// with one granule (64 KiB) and a mapping that grows at least one window ahead of the data;
// Close cuts a writable mapped file back to its logical size.
//
// Every failing operation stores a result code of file_basics.h in LastError and returns false.
// One object is used by one thread at a time.
#pragma once

#include "runtime/platform/data_stream.h"

#include <stddef.h>
#include <stdint.h>

// Object options of the constructor.
enum DiskFileOption : uint32_t {
  kFileNoMapping = 1,
  kFileCompress = 4,
  kFileTemporary = 8,
};

struct FileData {
  char* Name;      // owned; null when none was given
  bool Redirected; // the last Open reached the file through a link
  void* Handle;    // null while closed
  uint32_t Options;
  uint16_t Mode; // of the last Open or Create, after the adjustments
  bool Mapped;   // once cleared it stays clear
  bool Writable; // the access bits of the mode are not 0
  uint32_t Window;
  uint64_t ViewOffset; // all ones without a view
  uint64_t MappingSize;
  uint64_t Position; // mapped mode: the position and the logical size
  uint64_t Size;
  void* Mapping;
  uint8_t* View;
};

class TDiskFile : public TDataStream {
public:
  // LastError: 0, kFileAccessDenied (no name) or kFileOutOfMemory (no FileData).
  TDiskFile(const char* name, uint32_t options);
  // Closes the file when it is still open.
  ~TDiskFile() override { Release(); }
  TDiskFile(const TDiskFile&) = delete;
  TDiskFile& operator=(const TDiskFile&) = delete;

  // Opens the existing file; its name becomes the link target when a link was followed. A
  // name of more than 511 characters fails with kFileNotFound.
  bool Open(uint16_t mode);
  // Creates the file, replacing any of that name unless the mode says kModeOnlyNew. A name of more
  // than 511 characters fails with kFileCreateFailed.
  bool Create(uint16_t mode);
  // Drops the handle in any case; false when ending or closing the file failed.
  bool Close();

  bool Read16(void* buffer, uint16_t count, uint16_t* read) override {
    return Read16Data(buffer, count, read);
  }
  bool Write16(const void* buffer, uint16_t count, uint16_t* written) override {
    return Write16Data(buffer, count, written);
  }
  bool Read(void* buffer, uint32_t count, uint32_t* read) override {
    return ReadData(buffer, count, read);
  }
  bool Write(const void* buffer, uint32_t count, uint32_t* written) override {
    return WriteData(buffer, count, written);
  }
  bool Seek(uint32_t offset) override { return SeekData(offset); }
  bool Seek64(uint32_t low, uint32_t high) override { return Seek64Data(low, high); }
  uint32_t Position() override { return PositionData(); }
  bool Position64(uint64_t* position) override { return Position64Data(position); }
  uint32_t Size() override { return SizeData(); }
  bool Size64(uint64_t* size) override { return Size64Data(size); }
  bool Truncate() override { return TruncateData(); }

  int32_t LastError;
  FileData* Data;

private:
  // The operations proper. The virtual ones are defined in this header, so no file holds the
  // class's tables: programs built with run-time type information can use the class although
  // the runtime has none.
  bool Read16Data(void* buffer, uint16_t count, uint16_t* read);
  bool Write16Data(const void* buffer, uint16_t count, uint16_t* written);
  bool ReadData(void* buffer, uint32_t count, uint32_t* read);
  bool WriteData(const void* buffer, uint32_t count, uint32_t* written);
  bool SeekData(uint32_t offset);
  bool Seek64Data(uint32_t low, uint32_t high);
  uint32_t PositionData();
  bool Position64Data(uint64_t* position);
  uint32_t SizeData();
  bool Size64Data(uint64_t* size);
  bool TruncateData();
  void Release();
  void ResetOpenState();
  bool ChooseMapping(uint16_t* mode);
  bool EnsureView(uint32_t n, bool* lowMemory);
  bool ReleaseView();
  bool ReleaseMapping();
  bool ReadThroughView(uint8_t* buffer, uint32_t count, uint32_t* read);
  bool ReadPlainly(void* buffer, uint32_t count, uint32_t asked, uint32_t* read);
  // The mapping choice and the name in buffer (kNameBufferSize bytes); cutError when it is
  // too long to hold.
  bool Prepare(uint16_t* mode, char* buffer, int32_t cutError);
  // With out the count is delivered; without, a transfer short of wanted fails with shortError.
  bool PlainOutcome(int32_t result, uint32_t done, uint32_t wanted, uint32_t* out,
                    int32_t shortError);
};
