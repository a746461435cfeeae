// Checks of what only the 32-bit image carries, run through the 32-bit runner. The last line is
// "N passed, N failed"; the exit code is 0 only when nothing failed.
#include "runtime/diag/console.h"
#include "runtime/memory/pool.h"
#include "runtime/platform/thread.h"
#include "runtime/startup/runtime_state.h"
#include "runtime/text/fault_guard.h"
#include "runtime/text/format.h"
#include "runtime/text/strings.h"

// fault_probes.x86.S: the guard's result on a step that changes ebx, esi, edi, ebp and esp before
// it faults, or-ed with how far esp moved and how those four registers came back changed.
extern "C" uint32_t GuardKeepsRegisters(bool (*guard)(GuardedStep, void*));

namespace {

uint32_t passed, failed;
char name[160];

bool ExpectEq(const char* check, uint32_t expected, uint32_t got) {
  ++(expected == got ? passed : failed);
  if (expected != got) PrintMessage("FAIL %s: expected 0x%X, got 0x%X\n", check, expected, got);
  return expected == got;
}

void ExpectText(const char* check, const char* expected, const char* got) {
  if (!ExpectEq(check, 1, StrEqual(expected, got)))
    PrintMessage("  expected \"%s\", got \"%s\"\n", expected, got);
}

// A check name from a format, valid until the next call.
const char* Named(const char* format, ...) {
  ArgCursor args;
  __builtin_va_start(args.list, format);
  FormatText(name, args, sizeof name, format);
  __builtin_va_end(args.list);
  return name;
}

uint32_t Address(const void* p) {
  return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(p));
}

// Arguments take 4-byte slots: a pointer one, a 64-bit integer two, low half first. "|%u" shows
// that each directive took exactly its own.
void CheckFormats() {
  char text[64];
  FormatString(text, sizeof text, "[%12p]|%u", reinterpret_cast<void*>(0x1234), 7u);
  ExpectText("%12p", "[  0x00001234]|7", text);
  const uint64_t values[] = {0xFFFFFFFFFFFFFFFFu, 0x8000000000000000u, 0x123456789ABCDEF0u};
  const char* const cases[][2] = {{"%Hu|%u", "18446744073709551615|7"},
                                  {"%Hd|%u", "-9223372036854775808|7"},
                                  {"%HX|%u", "123456789ABCDEF0|7"}};
  for (int i = 0; i < 3; ++i) {
    FormatString(text, sizeof text, cases[i][0], values[i], 7u);
    ExpectText(cases[i][0], cases[i][1], text);
  }
}

// A fresh pool carves its first region front to back, behind the 16-byte region header: each
// block where the one before ends, its 4-byte size word in front of the caller's bytes.
void CheckPoolLayout() {
  const uint32_t requests[8] = {0, 1, 8, 9, 12, 13, 16, 17},
                 sizes[8] = {12, 12, 12, 16, 16, 20, 20, 24};
  PoolControl* pool = PoolCreate();
  uint8_t* blocks[8];
  for (uint32_t i = 0; i < 8; ++i) {
    blocks[i] = static_cast<uint8_t*>(PoolAlloc(pool, requests[i]));
    if (!ExpectEq("pool block given", 1, blocks[i] != nullptr)) return;
  }
  ExpectEq("first pool block's offset in its page", 20, Address(blocks[0]) & 0xFFF);
  for (uint32_t i = 0; i < 8; ++i) {
    for (uint32_t k = 0; k < requests[i]; ++k) blocks[i][k] = 0xA5; // up to the next size word
    ExpectEq(Named("size word of block %u", i), sizes[i], ReadBlockSize(blocks[i] - 4));
    if (i < 7)
      ExpectEq(Named("block %u's distance to the next", i), sizes[i],
               Address(blocks[i + 1]) - Address(blocks[i]));
  }
  PoolDone(pool);
}

// A hole between two blocks takes a smaller block; the rest becomes free only from 16 bytes on.
void CheckPoolSplits() {
  const uint32_t cases[][3] = {{24, 12, 24}, {28, 12, 12}, {28, 16, 28}, {32, 16, 16}};
  for (const auto& [hole, block, size] : cases) {
    PoolControl* pool = PoolCreate();
    uint32_t given = 0;
    auto* at = static_cast<uint8_t*>(CarveBlock(pool, hole, &given));
    CarveBlock(pool, 12, &given);
    MergeFree(pool, nullptr, at + 4);
    ExpectEq(Named("%u-byte block in a %u-byte hole: place", block, hole), Address(at),
             Address(CarveBlock(pool, block, &given)));
    ExpectEq(Named("%u-byte block in a %u-byte hole: size", block, hole), size, given);
    PoolDone(pool);
  }
}

// Page mode: the requested size alone in front of the caller's bytes.
void CheckPageBlocks() {
  auto* block = static_cast<uint8_t*>(PageAlloc(10));
  ExpectEq("page block's offset in its page", 4, Address(block) % SystemPageSize());
  if (block != nullptr)
    ExpectEq("page block's size word", 10, *reinterpret_cast<uint32_t*>(block - 4));
  PageFree(block);
}

// The thread block: the guards' chain at fs:[0], the stack bounds the runtime reads at [4], [8].
struct ThreadBlock {
  uint32_t chain, base, limit, self;
};

ThreadBlock ReadThreadBlock() {
  ThreadBlock b;
  asm volatile("movl %%fs:0, %0\n\tmovl %%fs:4, %1\n\tmovl %%fs:8, %2\n\tmovl %%fs:0x18, %3"
               : "=r"(b.chain), "=r"(b.base), "=r"(b.limit), "=r"(b.self));
  return b;
}

// The fault guard: a frame on fs:[0]'s chain whose handler resumes at the guard's epilogue.
struct StepRecord {
  int reached;
  int inner; // what a nested guard gave: 1 completed, 0 faulted, -1 none ran
};

void Reached(void* context) {
  static_cast<StepRecord*>(context)->reached = 1;
}

void IllegalInstruction(void* context) {
  asm volatile("ud2");
  Reached(context);
}

// Volatile operands: the compiler must emit the read and the division, knowing no operand.
void ReadNull(void* context) {
  const volatile int* volatile address = nullptr;
  if (*address != 2) Reached(context);
}

void DivideByZero(void* context) {
  volatile int32_t dividend = 1, divisor = 0;
  if (dividend / divisor != 2) Reached(context);
}

void InnerFaults(void* context) {
  StepRecord inner = {0, -1};
  static_cast<StepRecord*>(context)->inner = FaultGuard(&IllegalInstruction, &inner);
  Reached(context);
}

// Once the inner guard is done, the outer frame must be the one that catches.
void InnerCompletesThenFaults(void* context) {
  StepRecord inner = {0, -1};
  static_cast<StepRecord*>(context)->inner = FaultGuard(&Reached, &inner);
  IllegalInstruction(context);
}

void CheckFaultGuard() {
  const struct {
    const char* name;
    GuardedStep step;
    bool completes;
    int inner;
  } cases[] = {{"clean step", &Reached, true, -1},
               {"ud2", &IllegalInstruction, false, -1},
               {"null read", &ReadNull, false, -1},
               {"division by zero", &DivideByZero, false, -1},
               {"inner guard faults", &InnerFaults, true, 0},
               {"inner guard completes, outer faults", &InnerCompletesThenFaults, false, 1}};
  for (const auto& c : cases) {
    const uint32_t chain = ReadThreadBlock().chain;
    StepRecord record = {0, -1};
    ExpectEq(Named("%s: completed", c.name), c.completes, FaultGuard(c.step, &record));
    ExpectEq(Named("%s: ran past the fault", c.name), c.completes, record.reached);
    ExpectEq(Named("%s: nested guard", c.name), c.inner, record.inner);
    ExpectEq(Named("%s: fs:[0] afterwards", c.name), chain, ReadThreadBlock().chain);
  }
  const uint32_t chain = ReadThreadBlock().chain;
  uint32_t lost = 0; // rounds that lost a callee-saved register or the stack pointer
  for (int i = 0; i < 100; ++i) lost += GuardKeepsRegisters(&FaultGuard) != 0;
  ExpectEq("rounds that lost a register or the stack", 0, lost);
  ExpectEq("fs:[0] after those rounds", chain, ReadThreadBlock().chain);
}

char traced[128];

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
  // The thread-info line on its way to standard error; the first one grows the stack it needs.
  const LineSink sink = RuntimeState.TraceSink;
  RuntimeState.TraceSink = [](const char* text) { StrCopyN(traced, text, sizeof traced); };
  ReportThreadInfo();
  traced[0] = 0;
  ReportThreadInfo();
  RuntimeState.TraceSink = sink;
  const uint32_t kib = (ReadThreadBlock().base - ReadThreadBlock().limit) / 1024;
  ExpectText("thread-info line", Named("ThreadId: %u, Stack: %u KiB", GetCurrentThreadId(), kib),
             traced);
  return b;
}

class Worker : public TThread {
public:
  Worker() : TThread(false, 0) {}
  uint32_t Execute() override {
    block = CheckThreadBlock("second thread");
    for (int i = 0; i < 10; ++i) lostRounds += GuardKeepsRegisters(&FaultGuard) != 0;
    return 0x5EED;
  }
  ThreadBlock block = {};
  uint32_t lostRounds = 0;
};

void CheckThreads() {
  char option[] = "-~ThreadInfo";
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

} // namespace

int main(int, char**) {
  RegisterInt64Directive();
  CheckFormats();
  CheckPoolLayout();
  CheckPoolSplits();
  CheckPageBlocks();
  CheckFaultGuard();
  CheckThreads();
  PrintMessage("%u passed, %u failed\n", passed, failed);
  return failed == 0 ? 0 : 1;
}
