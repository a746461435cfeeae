// Processor faults of 32-bit code, dispatched as 32-bit Windows does: an exception record and an
// x86 context on the thread's stack, the fs:[0] chain walked from the innermost frame.
#pragma once

#include <stdint.h>

namespace winrun {

// The x86 CONTEXT a handler gets.
struct Context32 {
  uint32_t ContextFlags;
  uint32_t Dr0, Dr1, Dr2, Dr3, Dr6, Dr7;
  uint8_t FloatSave[112];
  uint32_t SegGs, SegFs, SegEs, SegDs;
  uint32_t Edi, Esi, Ebx, Edx, Ecx, Eax;
  uint32_t Ebp, Eip, SegCs, EFlags, Esp, SegSs;
  uint8_t ExtendedRegisters[512];
};
static_assert(sizeof(Context32) == 716 && __builtin_offsetof(Context32, Edi) == 0x9C &&
                  __builtin_offsetof(Context32, Eip) == 0xB8 &&
                  __builtin_offsetof(Context32, Esp) == 0xC4,
              "the offsets Resume32 reads");

struct ExceptionRecord32 {
  uint32_t ExceptionCode, ExceptionFlags, ExceptionRecord, ExceptionAddress;
  uint32_t NumberParameters;
  uint32_t ExceptionInformation[15];
};

// Installs the handlers of SIGSEGV, SIGILL, SIGFPE and SIGBUS.
void CatchFaults();

} // namespace winrun
