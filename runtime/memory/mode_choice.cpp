// Which mode the manager runs in: "_Heap_Mgr_" first, then the variable named by the program's
// full path followed by "-Heap". An absent or empty variable is not found; the first found wins.
#include "runtime/memory/manager.h"

#include "runtime/text/numbers.h"
#include "runtime/text/strings.h"

namespace {

// False when the variable is absent or empty; text without a number reads as 0.
bool ReadModeVariable(const char* name, int32_t* mode) {
  char value[80];
  value[0] = 0;
  DWORD length = GetEnvironmentVariableA(name, value, sizeof(value));
  if (length == 0) return false;
  // Too long for the buffer, whose contents the system then leaves undefined: no number.
  *mode = length < sizeof(value) ? ParseSigned(value, nullptr) : 0;
  return true;
}

} // namespace

int32_t ReadMemMode() {
  int32_t mode = 0;
  if (ReadModeVariable("_Heap_Mgr_", &mode)) return mode;
  char name[256];
  name[0] = 0;
  DWORD length = GetModuleFileNameA(nullptr, name, sizeof(name));
  name[sizeof(name) - 1] = 0; // older systems leave a cut name unterminated
  // A cut path would name some other variable.
  if (length == 0 || length >= sizeof(name) || !StrAppendN(name, "-Heap", sizeof(name))) return 0;
  if (ReadModeVariable(name, &mode)) return mode;
  return 0;
}
