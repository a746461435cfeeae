// The 32-bit thread block: the runtime reads a thread's stack bounds from its second and third
// words through the self pointer ntdll's NtCurrentTeb returns; the same words are fs:[4] and
// fs:[8]. Checked on the main thread and on a thread of the runtime's own class.
#include "checks.h"

#include "runtime/diag/trace.h"
#include "runtime/platform/thread.h"
#include "runtime/startup/options.h"
#include "runtime/startup/runtime_state.h"
#include "runtime/text/fault_guard.h"
#include "runtime/text/strings.h"
#include "winposix/win32.h"

namespace {

struct ThreadBlock {
  uint32_t base, limit, self;
};

ThreadBlock ReadThreadBlock() {
  ThreadBlock b;
  asm volatile("movl %%fs:4, %0\n\tmovl %%fs:8, %1\n\tmovl %%fs:0x18, %2"
               : "=r"(b.base), "=r"(b.limit), "=r"(b.self));
  return b;
}

char traced[128];

// The thread-info line, taken on its way to standard error, which is shut for the moment.
const char* ThreadInfoLine() {
  traced[0] = 0;
  const LineSink sink = RuntimeState.TraceSink;
  RuntimeState.TraceSink = [](const char* text) { StrCopyN(traced, text, sizeof traced); };
  ReportThreadInfo();
  RuntimeState.TraceSink = sink;
  return traced;
}

ThreadBlock CheckThreadBlock(const char* where) {
  typedef void*(WINAPI * BlockFunction)();
  const HMODULE ntdll = GetModuleHandleA("ntdll.dll");
  const auto current = reinterpret_cast<BlockFunction>(reinterpret_cast<void (*)()>(
      ntdll != nullptr ? GetProcAddress(ntdll, "NtCurrentTeb") : nullptr));
  const ThreadBlock b = ReadThreadBlock();
  ExpectEq(Named("%s: NtCurrentTeb", where), b.self, current != nullptr ? Address(current()) : 0);
  if (b.self == 0) return b;
  const auto* words = reinterpret_cast<const uint32_t*>(b.self);
  ExpectEq(Named("%s: fs:[4] through the self pointer", where), b.base, words[1]);
  ExpectEq(Named("%s: fs:[8] through the self pointer", where), b.limit, words[2]);
  ExpectEq(Named("%s: stack pointer within [0x%X, 0x%X)", where, b.limit, b.base), 1,
           b.limit < Address(&b) && Address(&b) < b.base);
  ThreadInfoLine(); // the first one grows the stack to the depth it needs
  const char* line = ThreadInfoLine();
  const ThreadBlock now = ReadThreadBlock();
  ExpectText(
      "thread-info line",
      Named("ThreadId: %u, Stack: %u KiB", GetCurrentThreadId(), (now.base - now.limit) / 1024),
      line);
  return b;
}

class Worker : public TThread {
public:
  Worker() : TThread(false, 0) {}
  uint32_t Execute() override {
    block = CheckThreadBlock("second thread");
    lostRounds = LostRounds(10);
    return 0x5EED;
  }
  ThreadBlock block = {};
  uint32_t lostRounds = ~0u;
};

} // namespace

void CheckThreads() {
  char option[32] = "-~";
  StrAppendN(option, PlainName(kOptThreadInfo), sizeof option);
  RuntimeState.OptionList[RuntimeState.OptionCount++] = option;
  const ThreadBlock first = CheckThreadBlock("main thread");
  Worker worker;
  const bool started = worker.Start();
  ExpectEq("second thread ran", 1, started && worker.WaitFor());
  --RuntimeState.OptionCount; // before the destructor reports this thread
  if (!started) return;
  DWORD result = 0;
  GetExitCodeThread(worker.Data->Handle, &result);
  ExpectEq("second thread's exit code", 0x5EED, result);
  ExpectEq("second thread: rounds that lost a register or the stack", 0, worker.lostRounds);
  ExpectEq("threads have blocks of their own", 1, worker.block.self != first.self);
  ExpectEq("threads have stacks of their own", 1,
           worker.block.base <= first.limit || worker.block.limit >= first.base);
}
