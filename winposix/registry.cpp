// The registry: Linux has none, so no key below a root exists — a Linux host is neither Wine nor
// a preinstallation environment. A root itself opens, as on Windows, to its own handle.
#include "winposix/internal.h"

extern "C" LONG WINAPI RegOpenKeyExA(HKEY root, LPCSTR subKey, DWORD options, REGSAM access,
                                     PHKEY result) {
  LAYER_OVERRIDE(RegOpenKeyExA, root, subKey, options, access, result);
  if (result == nullptr) return ERROR_INVALID_PARAMETER;
  *result = nullptr;
  if (root != HKEY_CURRENT_USER && root != HKEY_LOCAL_MACHINE) return ERROR_INVALID_HANDLE;
  if (subKey != nullptr && *subKey != 0) return ERROR_FILE_NOT_FOUND;
  *result = root;
  return ERROR_SUCCESS;
}

extern "C" LONG WINAPI RegCloseKey(HKEY key) {
  LAYER_OVERRIDE(RegCloseKey, key);
  return key == HKEY_CURRENT_USER || key == HKEY_LOCAL_MACHINE ? ERROR_SUCCESS
                                                               : ERROR_INVALID_HANDLE;
}
