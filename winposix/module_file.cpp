// The program's own file name: read from /proc/self/exe, or the image a loader named.
#include "winposix/internal.h"

#include <climits>
#include <cstring>
#include <mutex>
#include <unistd.h>

namespace {

// Read once: Windows keeps the name the module was loaded from, even when the file is renamed or
// deleted later, where the link would change or gain " (deleted)".
struct ProgramPath {
  const char* text; // null: unreadable
  size_t length;
};

HMODULE loadedModule = nullptr;
ProgramPath loadedPath = {nullptr, 0};

ProgramPath OwnPath() {
  if (loadedModule != nullptr) return loadedPath;
  static std::once_flag once;
  static ProgramPath path = {nullptr, 0};
  std::call_once(once, [] {
    char link[PATH_MAX];
    const ssize_t length = readlink("/proc/self/exe", link, sizeof(link) - 1);
    if (length < 0) return;
    char* copy = new char[length + 1];
    std::memcpy(copy, link, static_cast<size_t>(length));
    copy[length] = 0;
    path = {copy, static_cast<size_t>(length)};
  });
  return path;
}

} // namespace

void winposix::SetProgramModule(HMODULE base, const char* path) {
  const size_t length = std::strlen(path);
  char* copy = new char[length + 1];
  std::memcpy(copy, path, length + 1);
  loadedPath = {copy, length};
  loadedModule = base;
}

HMODULE winposix::LoadedProgramModule() {
  return loadedModule;
}

// Too small a buffer gets the name cut and terminated, size as the result and
// ERROR_INSUFFICIENT_BUFFER, as on Windows Vista and later. Only the program's own module has a
// file here.
extern "C" DWORD WINAPI GetModuleFileNameA(HMODULE module, LPSTR buffer, DWORD size) {
  if (module != nullptr && module != GetModuleHandleA(nullptr)) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return 0;
  }
  const ProgramPath path = OwnPath();
  const size_t length = path.length;
  if (path.text == nullptr) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return 0;
  }
  if (size == 0) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  if (length >= size) {
    std::memcpy(buffer, path.text, size - 1);
    buffer[size - 1] = 0;
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return size;
  }
  std::memcpy(buffer, path.text, length);
  buffer[length] = 0;
  SetLastError(ERROR_SUCCESS);
  return static_cast<DWORD>(length);
}
