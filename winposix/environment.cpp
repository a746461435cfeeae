// Environment variables. Windows compares their names without regard to case; an exact match
// is tried first because a Linux environment may hold names that differ only in case.
#include "winposix/internal.h"

#include <cstdlib>
#include <cstring>
#include <strings.h>

extern char** environ;

namespace {

const char* FindValue(const char* name) {
  if (const char* exact = std::getenv(name)) return exact;
  const size_t length = std::strlen(name);
  for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
    if (strncasecmp(*entry, name, length) == 0 && (*entry)[length] == '=')
      return *entry + length + 1;
  }
  return nullptr;
}

} // namespace

// Found and fitting: the length copied, terminator not counted. Too small a buffer: the size
// needed, terminator counted, and the buffer untouched. Missing: 0 and ERROR_ENVVAR_NOT_FOUND.
extern "C" DWORD WINAPI GetEnvironmentVariableA(LPCSTR name, LPSTR buffer, DWORD size) {
  const char* value = name != nullptr && *name != 0 ? FindValue(name) : nullptr;
  if (value == nullptr) {
    SetLastError(ERROR_ENVVAR_NOT_FOUND);
    return 0;
  }
  const size_t length = std::strlen(value);
  if (buffer == nullptr || length >= size) return static_cast<DWORD>(length + 1);
  std::memcpy(buffer, value, length + 1);
  SetLastError(ERROR_SUCCESS); // an empty value answers 0 too, so callers can tell by this
  return static_cast<DWORD>(length);
}

// A null value removes the variable.
extern "C" BOOL WINAPI SetEnvironmentVariableA(LPCSTR name, LPCSTR value) {
  if (name == nullptr || *name == 0 || std::strchr(name, '=') != nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  int result = value == nullptr ? unsetenv(name) : setenv(name, value, 1);
  if (result != 0) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return FALSE;
  }
  return TRUE;
}
