#include "runtime/platform/file_basics.h"

#include "runtime/startup/exit_callbacks.h"
#include "winposix/win32.h"

namespace {

HANDLE consoleInput = nullptr;

void CloseConsoleInput(uintptr_t, uintptr_t) {
  if (consoleInput == nullptr) return;
  CloseHandle(consoleInput);
  consoleInput = nullptr;
}

} // namespace

int32_t FileResultFromSystem(uint32_t error) {
  switch (error) {
  case ERROR_PATH_NOT_FOUND:
    return kFilePathNotFound;
  case ERROR_ACCESS_DENIED:
  case ERROR_SHARING_VIOLATION:
    return kFileAccessDenied;
  case ERROR_NOT_READY:
    return kFileNotReady;
  default:
    return kFileNotFound;
  }
}

int32_t RemoveFile(const char* name) {
  if (name == nullptr) return kFileNotFound;
  if (DeleteFileA(name)) return kFileOk;
  return FileResultFromSystem(GetLastError());
}

void* ConsoleInputHandle() {
  if (consoleInput != nullptr) return consoleInput;
  HANDLE input =
      CreateFileA("CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (input == INVALID_HANDLE_VALUE || input == nullptr) return nullptr;
  consoleInput = input;
  // Should the table be full, the system closes the handle with the process.
  AddExitCallback(CloseConsoleInput, 0, 0);
  return input;
}
