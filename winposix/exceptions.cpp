// Vectored exception handlers over the signals Linux raises for processor faults. A handler
// sees the faulting registers as a CONTEXT; when it asks to continue, the changed registers go
// back into the interrupted thread. Faults no handler takes go to whoever handled the signal
// before (a sanitizer, or the default action that ends the process).
#include "winposix/internal.h"

#include <atomic>
#include <signal.h>
#include <ucontext.h>

namespace {

constexpr int kMaxHandlers = 16;
std::atomic<PVECTORED_EXCEPTION_HANDLER> handlers[kMaxHandlers];
std::atomic<bool> installed{false};

constexpr int kSignals[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE};
struct sigaction previous[sizeof(kSignals) / sizeof(kSignals[0])];

} // namespace

DWORD winposix::ExceptionCodeFor(int signal, int code) {
  switch (signal) {
  case SIGILL:
    return code == ILL_PRVOPC ? EXCEPTION_PRIV_INSTRUCTION : EXCEPTION_ILLEGAL_INSTRUCTION;
  case SIGFPE:
    switch (code) {
    case FPE_INTDIV:
      return EXCEPTION_INT_DIVIDE_BY_ZERO;
    case FPE_INTOVF:
      return EXCEPTION_INT_OVERFLOW;
    case FPE_FLTDIV:
      return EXCEPTION_FLT_DIVIDE_BY_ZERO;
    case FPE_FLTOVF:
      return EXCEPTION_FLT_OVERFLOW;
    case FPE_FLTUND:
      return EXCEPTION_FLT_UNDERFLOW;
    case FPE_FLTRES:
      return EXCEPTION_FLT_INEXACT_RESULT;
    default:
      return EXCEPTION_FLT_INVALID_OPERATION;
    }
  case SIGBUS:
    return code == BUS_ADRALN ? EXCEPTION_DATATYPE_MISALIGNMENT : EXCEPTION_IN_PAGE_ERROR;
  default:
    return EXCEPTION_ACCESS_VIOLATION;
  }
}

namespace {

// The register order of CONTEXT's integer fields and the matching mcontext slots.
constexpr int kGregFor[] = {REG_RAX, REG_RCX, REG_RDX, REG_RBX, REG_RSP, REG_RBP,
                            REG_RSI, REG_RDI, REG_R8,  REG_R9,  REG_R10, REG_R11,
                            REG_R12, REG_R13, REG_R14, REG_R15, REG_RIP};

DWORD64* ContextSlot(CONTEXT* context, int i) {
  return &context->Rax + i;
}

void PassOn(int signal, siginfo_t* info, void* uc) {
  for (size_t i = 0; i < sizeof(kSignals) / sizeof(kSignals[0]); ++i) {
    if (kSignals[i] != signal) continue;
    const struct sigaction& old = previous[i];
    if ((old.sa_flags & SA_SIGINFO) && old.sa_sigaction != nullptr) {
      old.sa_sigaction(signal, info, uc);
      return;
    }
    if (old.sa_handler != SIG_DFL && old.sa_handler != SIG_IGN) {
      old.sa_handler(signal);
      return;
    }
  }
  // Returning re-executes the faulting instruction, which now takes the default action.
  struct sigaction fallback = {};
  fallback.sa_handler = SIG_DFL;
  sigaction(signal, &fallback, nullptr);
}

void OnFault(int signal, siginfo_t* info, void* uc) {
  auto* machine = static_cast<ucontext_t*>(uc);
  greg_t* gregs = machine->uc_mcontext.gregs;

  CONTEXT context = {};
  for (int i = 0; i < static_cast<int>(sizeof(kGregFor) / sizeof(kGregFor[0])); ++i)
    *ContextSlot(&context, i) = static_cast<DWORD64>(gregs[kGregFor[i]]);
  context.EFlags = static_cast<DWORD>(gregs[REG_EFL]);

  EXCEPTION_RECORD record = {};
  record.ExceptionCode = winposix::ExceptionCodeFor(signal, info->si_code);
  record.ExceptionAddress = reinterpret_cast<PVOID>(context.Rip);
  if (signal == SIGSEGV || signal == SIGBUS) {
    record.NumberParameters = 2;
    record.ExceptionInformation[0] = (gregs[REG_ERR] & 2) ? 1 : 0; // 1: write
    record.ExceptionInformation[1] = reinterpret_cast<ULONG_PTR>(info->si_addr);
  }
  EXCEPTION_POINTERS pointers = {&record, &context};

  for (auto& slot : handlers) {
    PVECTORED_EXCEPTION_HANDLER handler = slot.load();
    if (handler == nullptr || handler(&pointers) != EXCEPTION_CONTINUE_EXECUTION) continue;
    for (int i = 0; i < static_cast<int>(sizeof(kGregFor) / sizeof(kGregFor[0])); ++i)
      gregs[kGregFor[i]] = static_cast<greg_t>(*ContextSlot(&context, i));
    gregs[REG_EFL] = static_cast<greg_t>(context.EFlags);
    return;
  }
  PassOn(signal, info, uc);
}

void InstallOnce() {
  bool expected = false;
  if (!installed.compare_exchange_strong(expected, true)) return;
  for (size_t i = 0; i < sizeof(kSignals) / sizeof(kSignals[0]); ++i) {
    struct sigaction action = {};
    action.sa_sigaction = OnFault;
    action.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_NODEFER;
    sigemptyset(&action.sa_mask);
    sigaction(kSignals[i], &action, &previous[i]);
  }
}

} // namespace

extern "C" PVOID WINAPI AddVectoredExceptionHandler(ULONG first,
                                                    PVECTORED_EXCEPTION_HANDLER handler) {
  if (handler == nullptr) return nullptr;
  InstallOnce();
  // "first" puts the handler ahead of the others; the slots are scanned in order.
  if (first != 0) {
    for (int i = kMaxHandlers - 1; i > 0; --i) handlers[i].store(handlers[i - 1].load());
    handlers[0].store(handler);
    return reinterpret_cast<PVOID>(handler);
  }
  for (auto& slot : handlers) {
    PVECTORED_EXCEPTION_HANDLER expected = nullptr;
    if (slot.compare_exchange_strong(expected, handler)) return reinterpret_cast<PVOID>(handler);
  }
  return nullptr;
}

extern "C" ULONG WINAPI RemoveVectoredExceptionHandler(PVOID handle) {
  for (auto& slot : handlers) {
    PVECTORED_EXCEPTION_HANDLER expected = reinterpret_cast<PVECTORED_EXCEPTION_HANDLER>(handle);
    if (slot.compare_exchange_strong(expected, nullptr)) return 1;
  }
  return 0;
}
