#include "runtime/text/fault_guard.h"

#include "winposix/win32.h"

namespace {

// Hardware faults only: breakpoints, single steps, stack overflow and software exceptions keep
// their usual handling.
bool IsProcessorFault(DWORD code) {
  switch (code) {
  case EXCEPTION_ACCESS_VIOLATION:
  case EXCEPTION_DATATYPE_MISALIGNMENT:
  case EXCEPTION_ARRAY_BOUNDS_EXCEEDED:
  case EXCEPTION_FLT_DENORMAL_OPERAND:
  case EXCEPTION_FLT_DIVIDE_BY_ZERO:
  case EXCEPTION_FLT_INEXACT_RESULT:
  case EXCEPTION_FLT_INVALID_OPERATION:
  case EXCEPTION_FLT_OVERFLOW:
  case EXCEPTION_FLT_STACK_CHECK:
  case EXCEPTION_FLT_UNDERFLOW:
  case EXCEPTION_INT_DIVIDE_BY_ZERO:
  case EXCEPTION_INT_OVERFLOW:
  case EXCEPTION_PRIV_INSTRUCTION:
  case EXCEPTION_IN_PAGE_ERROR:
  case EXCEPTION_ILLEGAL_INSTRUCTION:
    return true;
  default:
    return false;
  }
}

} // namespace

extern "C" void FaultGuardResume();

#if defined(__i386__)

extern "C" int FaultGuardCall(GuardedStep step, void* context);

// The handler of the frame FaultGuardCall links into fs:[0]. The frame's own address is the
// stack pointer to resume with.
extern "C" EXCEPTION_DISPOSITION __cdecl FaultGuardSehHandler(EXCEPTION_RECORD* record, void* frame,
                                                              CONTEXT* context,
                                                              void* /*dispatcher*/) {
  if ((record->ExceptionFlags & (EXCEPTION_UNWINDING | EXCEPTION_EXIT_UNWIND)) != 0 ||
      !IsProcessorFault(record->ExceptionCode))
    return ExceptionContinueSearch;
  context->Eip = reinterpret_cast<DWORD>(&FaultGuardResume);
  context->Esp = reinterpret_cast<DWORD>(frame);
  return ExceptionContinueExecution;
}

bool FaultGuard(GuardedStep step, void* context) {
  return FaultGuardCall(step, context) != 0;
}

#else // x86-64: a vectored handler finds the thread's innermost guard through a TLS slot

extern "C" int FaultGuardCall(GuardedStep step, void* context, void** resumeStack);

namespace {

struct GuardFrame {
  void* resumeStack;
  GuardFrame* outer;
};

enum : int { kUnset, kSettingUp, kReady, kUnavailable };
int guardState = kUnset;
DWORD guardSlot = TLS_OUT_OF_INDEXES;

LONG WINAPI OnException(EXCEPTION_POINTERS* info) {
  if (!IsProcessorFault(info->ExceptionRecord->ExceptionCode)) return EXCEPTION_CONTINUE_SEARCH;
  const DWORD lastError = GetLastError();
  auto* frame = static_cast<GuardFrame*>(TlsGetValue(guardSlot));
  SetLastError(lastError);
  if (frame == nullptr) return EXCEPTION_CONTINUE_SEARCH;
  info->ContextRecord->Rip = reinterpret_cast<DWORD64>(&FaultGuardResume);
  info->ContextRecord->Rsp = reinterpret_cast<DWORD64>(frame->resumeStack);
  return EXCEPTION_CONTINUE_EXECUTION;
}

// The slot and the handler are set up once per process; a thread that arrives while another
// sets them up waits for it.
bool GuardReady() {
  int state = __atomic_load_n(&guardState, __ATOMIC_ACQUIRE);
  if (state == kUnset) {
    int expected = kUnset;
    if (__atomic_compare_exchange_n(&guardState, &expected, kSettingUp, false, __ATOMIC_ACQ_REL,
                                    __ATOMIC_ACQUIRE)) {
      guardSlot = TlsAlloc();
      const bool ok = guardSlot != TLS_OUT_OF_INDEXES &&
                      AddVectoredExceptionHandler(1, &OnException) != nullptr;
      __atomic_store_n(&guardState, ok ? kReady : kUnavailable, __ATOMIC_RELEASE);
    }
  }
  while ((state = __atomic_load_n(&guardState, __ATOMIC_ACQUIRE)) == kSettingUp) {
  }
  return state == kReady;
}

} // namespace

bool FaultGuard(GuardedStep step, void* context) {
  if (!GuardReady()) return false;
  GuardFrame frame = {nullptr, static_cast<GuardFrame*>(TlsGetValue(guardSlot))};
  TlsSetValue(guardSlot, &frame);
  const bool completed = FaultGuardCall(step, context, &frame.resumeStack) != 0;
  TlsSetValue(guardSlot, frame.outer);
  return completed;
}

#endif
