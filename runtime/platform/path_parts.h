// Paths taken apart into drive, directory, file name and extension. Backslashes and slashes
// both separate directories, as the Windows API accepts either.
#pragma once

#include <stdint.h>

// "C:\dir\sub\file.ext" gives "C:", "\dir\sub\", "file" and ".ext"; a UNC path's drive is its
// server and share ("\\server\share"). Each output is optional (null or a size of 0 skips it),
// first set to the empty text, then given its part, cut to fit. False only for a null path.
bool SplitPath(const char* path, char* drive, uint32_t driveSize, char* dir, uint32_t dirSize,
               char* name, uint32_t nameSize, char* ext, uint32_t extSize);

// A path's parts, each held as a copy, and room to put parts together again.
class PathParts {
public:
  explicit PathParts(const char* path);
  ~PathParts();
  PathParts(const PathParts&) = delete;
  PathParts& operator=(const PathParts&) = delete;

  const char* Drive() const { return drive_; }
  const char* Dir() const { return dir_; }
  const char* Name() const { return name_; }
  const char* Ext() const { return ext_; }

  // The file name followed by its extension; empty when the memory ran out. Valid until the next
  // call or the object's end.
  const char* NameAndExt();

private:
  const char* drive_;
  const char* dir_;
  const char* name_;
  const char* ext_;
  char* buffer_;
  uint32_t bufferSize_;
};
