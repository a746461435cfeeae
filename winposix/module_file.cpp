// The program's own file name, read from /proc/self/exe.
#include "winposix/internal.h"

#include <climits>
#include <cstring>
#include <unistd.h>

// Too small a buffer gets the name cut and terminated, size as the result and
// ERROR_INSUFFICIENT_BUFFER, as on Windows Vista and later. Only the program's own module has a
// file here.
extern "C" DWORD WINAPI GetModuleFileNameA(HMODULE module, LPSTR buffer, DWORD size) {
  if (module != nullptr && module != GetModuleHandleA(nullptr)) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return 0;
  }
  char path[PATH_MAX];
  ssize_t length = readlink("/proc/self/exe", path, sizeof(path) - 1);
  if (length < 0) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return 0;
  }
  if (size == 0) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  if (static_cast<size_t>(length) >= size) {
    std::memcpy(buffer, path, size - 1);
    buffer[size - 1] = 0;
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return size;
  }
  std::memcpy(buffer, path, static_cast<size_t>(length));
  buffer[length] = 0;
  SetLastError(ERROR_SUCCESS);
  return static_cast<DWORD>(length);
}
