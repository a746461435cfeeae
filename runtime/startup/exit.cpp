#include "runtime/startup/exit.h"

#include "runtime/memory/memory.h"
#include "runtime/startup/runtime_state.h"
#include "winposix/win32.h"

namespace {

void ReleaseLists() {
  RuntimeStateRecord& s = RuntimeState;
  for (uint32_t i = 0; i < s.OptionCount; ++i) {
    FreeMem(s.OptionList[i]);
    s.OptionList[i] = nullptr;
  }
  s.OptionCount = 0;
  for (char*& arg : s.Args) {
    FreeString(arg);
    arg = nullptr;
  }
  s.ArgCount = 0;
  FreeString(s.CommandLine);
  s.CommandLine = nullptr;
}

} // namespace

void ExitProgram(int32_t code) {
  ReleaseLists();
  DoneMem();
  ExitProcess(static_cast<UINT>(code));
  __builtin_unreachable();
}
