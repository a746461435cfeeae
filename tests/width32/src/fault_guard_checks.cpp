// The 32-bit fault guard: a frame on the thread's fs:[0] chain whose handler resumes at the
// guard's epilogue, as Windows and the runner dispatch processor faults.
#include "checks.h"

#include "runtime/text/fault_guard.h"

// fault_probes.x86.S: calls guard(WreckAndFault, 0) with known values in ebx, esi, edi and ebp,
// the step changing all four and the stack pointer before it faults. Returns the guard's result
// or-ed with how far the stack pointer moved; seen gets the four registers.
extern "C" uint32_t GuardKeepsRegisters(bool (*guard)(void (*)(void*), void*), uint32_t* seen);

namespace {

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

void ReadNull(void* context) {
  const volatile int* volatile address = nullptr;
  (void)*address;
  Reached(context);
}

// Volatile operands: the compiler must emit the division and cannot know the divisor.
void DivideByZero(void* context) {
  volatile int32_t dividend = 1, divisor = 0;
  volatile int32_t quotient = dividend / divisor;
  (void)quotient;
  Reached(context);
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

uint32_t ExceptionChain() {
  uint32_t chain;
  asm volatile("movl %%fs:0, %0" : "=r"(chain));
  return chain;
}

} // namespace

uint32_t LostRounds(uint32_t rounds) {
  uint32_t lost = 0, seen[4];
  for (uint32_t i = 0; i < rounds; ++i) {
    const uint32_t moved = GuardKeepsRegisters(&FaultGuard, seen);
    lost += moved != 0 || seen[0] != 0x600DB001 || seen[1] != 0x600DB002 || seen[2] != 0x600DB003 ||
            seen[3] != 0x600DB004;
  }
  return lost;
}

void CheckFaultGuard() {
  const struct {
    const char* name;
    GuardedStep step;
    bool completes;
    int inner;
  } cases[] = {
      {"clean step", &Reached, true, -1},
      {"ud2", &IllegalInstruction, false, -1},
      {"null read", &ReadNull, false, -1},
      {"division by zero", &DivideByZero, false, -1},
      {"inner guard faults", &InnerFaults, true, 0},
      {"inner guard completes, outer faults", &InnerCompletesThenFaults, false, 1},
  };
  for (const auto& c : cases) {
    const uint32_t chain = ExceptionChain();
    StepRecord record = {0, -1};
    ExpectEq(Named("%s: completed", c.name), c.completes, FaultGuard(c.step, &record));
    ExpectEq(Named("%s: ran past the fault", c.name), c.completes, record.reached);
    ExpectEq(Named("%s: nested guard", c.name), c.inner, record.inner);
    ExpectEq(Named("%s: fs:[0] afterwards", c.name), chain, ExceptionChain());
  }
  const uint32_t chain = ExceptionChain();
  ExpectEq("rounds that lost a register or the stack", 0, LostRounds(100));
  ExpectEq("fs:[0] after those rounds", chain, ExceptionChain());
}
