#include "runtime/platform/path_parts.h"

#include "runtime/memory/memory.h"
#include "runtime/text/strings.h"

namespace {

// Room for a combination of parts: never less than this, and always more than the path.
constexpr uint32_t kMinBufferSize = 8192;
constexpr uint32_t kBufferSlack = 128;

bool IsSeparator(char c) {
  return c == '\\' || c == '/';
}

// "C:", or a UNC path's "\\server\share" (the whole path when it ends before the share does).
uint32_t DriveLength(const char* path) {
  const uint8_t letter = CharUpper(static_cast<uint8_t>(path[0]));
  if (letter >= 'A' && letter <= 'Z' && path[1] == ':') return 2;
  if (!IsSeparator(path[0]) || !IsSeparator(path[1])) return 0;
  uint32_t i = 2;
  while (path[i] != 0 && !IsSeparator(path[i])) ++i; // the server
  if (path[i] == 0) return i;
  ++i;
  while (path[i] != 0 && !IsSeparator(path[i])) ++i; // the share
  return i;
}

void Put(char* dst, uint32_t size, const char* src, uint32_t n) {
  if (dst != nullptr && size > 0) StrCopyBlock(dst, size, src, n);
}

} // namespace

bool SplitPath(const char* path, char* drive, uint32_t driveSize, char* dir, uint32_t dirSize,
               char* name, uint32_t nameSize, char* ext, uint32_t extSize) {
  Put(drive, driveSize, "", 0);
  Put(dir, dirSize, "", 0);
  Put(name, nameSize, "", 0);
  Put(ext, extSize, "", 0);
  if (path == nullptr) return false;

  const uint32_t driveEnd = DriveLength(path);
  uint32_t dirEnd = driveEnd, dot = 0, end = driveEnd;
  bool hasDot = false; // a dot behind the last separator
  for (; path[end] != 0; ++end) {
    if (IsSeparator(path[end])) {
      dirEnd = end + 1;
      hasDot = false;
    } else if (path[end] == '.') {
      dot = end;
      hasDot = true;
    }
  }
  const uint32_t extStart = hasDot ? dot : end;

  Put(drive, driveSize, path, driveEnd);
  Put(dir, dirSize, path + driveEnd, dirEnd - driveEnd);
  Put(name, nameSize, path + dirEnd, extStart - dirEnd);
  Put(ext, extSize, path + extStart, end - extStart);
  return true;
}

PathParts::PathParts(const char* path)
    : drive_(EmptyString), dir_(EmptyString), name_(EmptyString), ext_(EmptyString),
      buffer_(nullptr), bufferSize_(0) {
  if (path == nullptr) path = EmptyString;
  const uint32_t length = StrLen(path);
  bufferSize_ = length + kBufferSlack > kMinBufferSize ? length + kBufferSlack : kMinBufferSize;
  buffer_ = static_cast<char*>(AllocMem(bufferSize_));
  if (buffer_ == nullptr) {
    bufferSize_ = 0;
    return;
  }
  // The buffer holds more than the path, so each part fits while it is taken out.
  SplitPath(path, buffer_, bufferSize_, nullptr, 0, nullptr, 0, nullptr, 0);
  drive_ = DupString(buffer_);
  SplitPath(path, nullptr, 0, buffer_, bufferSize_, nullptr, 0, nullptr, 0);
  dir_ = DupString(buffer_);
  SplitPath(path, nullptr, 0, nullptr, 0, buffer_, bufferSize_, nullptr, 0);
  name_ = DupString(buffer_);
  SplitPath(path, nullptr, 0, nullptr, 0, nullptr, 0, buffer_, bufferSize_);
  ext_ = DupString(buffer_);
  buffer_[0] = 0;
}

PathParts::~PathParts() {
  FreeString(drive_);
  FreeString(dir_);
  FreeString(name_);
  FreeString(ext_);
  FreeMem(buffer_);
}

const char* PathParts::NameAndExt() {
  if (buffer_ == nullptr) return EmptyString;
  StrCopyN(buffer_, name_, bufferSize_);
  StrAppendN(buffer_, ext_, bufferSize_);
  return buffer_;
}
