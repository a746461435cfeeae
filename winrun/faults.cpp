#include "winrun/faults.h"

#include "winposix/loader.h"
#include "winrun/switch.h"
#include "winrun/thread_block.h"
#include "winrun/widths.h"

#include <csignal>
#include <cstdio>
#include <cstring>
#include <ucontext.h>
#include <unistd.h>

namespace winrun {
namespace {

constexpr uint32_t kContextFull = 0x0001001F;     // i386: control, integer, segments, float, debug
constexpr uint32_t kContextExtended = 0x00010020; // i386: the fxsave image
constexpr uint32_t kNonContinuable = 1;
constexpr uint32_t kStackInvalid = 8;
constexpr uint32_t kInvalidDisposition = 0xC0000026;
// Room the dispatch needs below the records: its own frames and the handlers'.
constexpr uint32_t kDispatchRoom = 16 * 1024;

enum Disposition : uint32_t { kContinueExecution = 0, kContinueSearch = 1 };

struct Registration {
  uint32_t next, handler;
};

// What the dispatch leaves on the faulting thread's stack.
struct FaultFrame {
  ExceptionRecord32 record;
  Context32 context;
};

[[noreturn]] void Unhandled(const ExceptionRecord32& record) {
  char line[128];
  const int length = snprintf(line, sizeof line,
                              "winrun: unhandled exception 0x%08X at 0x%08X, ending the process\n",
                              record.ExceptionCode, record.ExceptionAddress);
  if (length > 0) (void)!write(STDERR_FILENO, line, static_cast<size_t>(length));
  ExitProcess(record.ExceptionCode);
}

uint32_t Low(greg_t value) {
  return static_cast<uint32_t>(value);
}

void FillContext(const ucontext_t& uc, Context32* context) {
  const greg_t* r = uc.uc_mcontext.gregs;
  *context = {};
  context->ContextFlags = kContextFull | kContextExtended;
  context->Eax = Low(r[REG_RAX]);
  context->Ebx = Low(r[REG_RBX]);
  context->Ecx = Low(r[REG_RCX]);
  context->Edx = Low(r[REG_RDX]);
  context->Esi = Low(r[REG_RSI]);
  context->Edi = Low(r[REG_RDI]);
  context->Ebp = Low(r[REG_RBP]);
  context->Esp = Low(r[REG_RSP]);
  context->Eip = Low(r[REG_RIP]);
  context->EFlags = Low(r[REG_EFL]);
  context->SegCs = kCode32;
  context->SegDs = context->SegEs = context->SegSs = kData;
  context->SegFs = kData;
  if (uc.uc_mcontext.fpregs != nullptr)
    std::memcpy(context->ExtendedRegisters, uc.uc_mcontext.fpregs,
                sizeof context->ExtendedRegisters);
}

extern "C" void OnSignal(int signal, siginfo_t* info, void* raw, uint32_t block) {
  auto* uc = static_cast<ucontext_t*>(raw);
  greg_t* r = uc->uc_mcontext.gregs;
  const uint32_t code = winposix::ExceptionCodeFor(signal, info->si_code);
  if ((r[REG_CSGSFS] & 0xFFFF) != kCode32 || block == 0) {
    // Not the program's: the runner's own fault takes the signal's usual end.
    ::signal(signal, SIG_DFL);
    return;
  }
  ExceptionRecord32 record = {};
  record.ExceptionCode = code;
  record.ExceptionAddress = Low(r[REG_RIP]);
  if (code == EXCEPTION_ACCESS_VIOLATION) {
    record.NumberParameters = 2;
    record.ExceptionInformation[0] = (r[REG_ERR] & 2) != 0 ? 1 : 0; // a write
    record.ExceptionInformation[1] =
        info->si_code == SI_KERNEL ? 0xFFFFFFFF : Address(info->si_addr);
  }
  const auto* thread = Pointer<ThreadBlock>(block);
  const uint32_t esp = Low(r[REG_RSP]);
  const uint32_t at = (esp - sizeof(FaultFrame)) & ~15u;
  if (esp > thread->StackBase || at < thread->StackLimit + kDispatchRoom) {
    record.ExceptionCode = EXCEPTION_STACK_OVERFLOW;
    Unhandled(record);
  }
  auto* frame = Pointer<FaultFrame>(at);
  frame->record = record;
  FillContext(*uc, &frame->context);
  // Return into the dispatch, in 64-bit code on the same stack.
  r[REG_RIP] = reinterpret_cast<greg_t>(&DispatchEntry);
  r[REG_RSP] = at;
  r[REG_RDI] = reinterpret_cast<greg_t>(&frame->record);
  r[REG_RSI] = reinterpret_cast<greg_t>(&frame->context);
  r[REG_CSGSFS] = (r[REG_CSGSFS] & ~static_cast<greg_t>(0xFFFF)) | kCode64;
}

} // namespace

void CatchFaults() {
  struct sigaction action = {};
  action.sa_sigaction = reinterpret_cast<void (*)(int, siginfo_t*, void*)>(&SignalEntry);
  action.sa_flags = SA_SIGINFO | SA_ONSTACK;
  sigemptyset(&action.sa_mask);
  for (int signal : {SIGSEGV, SIGILL, SIGFPE, SIGBUS}) sigaction(signal, &action, nullptr);
}

} // namespace winrun

using winrun::Context32;
using winrun::ExceptionRecord32;

// Walks the thread's fs:[0] chain as 32-bit Windows does. A frame outside the thread's stack
// ends the walk: the chain is broken.
extern "C" [[noreturn]] void DispatchException(ExceptionRecord32* record, Context32* context) {
  const uint32_t block = winrun::CurrentBlock();
  auto* thread = winrun::Pointer<winrun::ThreadBlock>(block);
  for (uint32_t at = thread->ExceptionList; at != winrun::kEndOfChain;) {
    if (at < thread->StackLimit || at + 8 > thread->StackBase || (at & 3) != 0) {
      record->ExceptionFlags |= winrun::kStackInvalid;
      break;
    }
    const auto* frame = winrun::Pointer<winrun::Registration>(at);
    const uint32_t args[4] = {winrun::Address(record), at, winrun::Address(context), 0};
    const uint32_t disposition = Call32(frame->handler, args, 4, block, 0);
    if (disposition == winrun::kContinueExecution) {
      if ((record->ExceptionFlags & winrun::kNonContinuable) == 0) Resume32(context, block);
      break;
    }
    if (disposition != winrun::kContinueSearch) {
      record->ExceptionCode = winrun::kInvalidDisposition;
      break;
    }
    at = frame->next;
  }
  winrun::Unhandled(*record);
}
