#include "runtime/platform/thread.h"

#include "runtime/memory/memory.h"
#include "runtime/startup/options.h"
#include "runtime/startup/runtime_state.h"
#include "runtime/text/system_functions.h"
#include "runtime/text/format.h"
#include "runtime/text/memory_ops.h"
#include "runtime/text/numbers.h"
#include "runtime/text/strings.h"
#include "winposix/win32.h"
#include "runtime/text/system_functions.h"

TThreadStatics ThreadStatics;

namespace {

constexpr uint32_t kStackFallback = 0x8000;
constexpr uint32_t kSmallestStackOption = 4096;

// The thread information block: its second word is the top of the calling thread's stack, its
// third the bottom. 32-bit ntdll exports the procedure from NT 3.1 on; 64-bit Windows only
// offers the bounds themselves, from Windows 8 on. Windows 95 has neither.
constexpr auto kThreadInfoLine = Scramble("ThreadId: %u, Stack: %u KiB");

typedef const uintptr_t*(WINAPI* InfoBlockProcedure)();
typedef void(WINAPI* StackLimitsProcedure)(ULONG_PTR* low, ULONG_PTR* high);

// The calling thread's stack bounds; false when the system cannot tell them.
bool StackBounds(uintptr_t* lower, uintptr_t* upper) {
  if (const auto infoBlock = FindSystemFunction<InfoBlockProcedure>(SystemFunction::NtCurrentTeb)) {
    const uintptr_t* block = infoBlock();
    if (block == nullptr) return false;
    *upper = block[1];
    *lower = block[2];
    return true;
  }
  if (const auto limits =
          FindSystemFunction<StackLimitsProcedure>(SystemFunction::GetCurrentThreadStackLimits)) {
    ULONG_PTR low = 0, high = 0;
    limits(&low, &high);
    *lower = low;
    *upper = high;
    return true;
  }
  return false;
}

void TakeStaggerStep(uint32_t* depth) {
  uint32_t current = __atomic_load_n(&ThreadStatics.StaggerCounter, __ATOMIC_RELAXED);
  uint32_t next;
  do {
    next = current + 1 == kStaggerSteps ? 0 : current + 1;
  } while (!__atomic_compare_exchange_n(&ThreadStatics.StaggerCounter, &current, next, true,
                                        __ATOMIC_RELAXED, __ATOMIC_RELAXED));
  *depth = current * kStaggerStep;
}

uint32_t RunThreadBody(TThread* thread) {
  const uint32_t result = thread->Execute();
  TThreadData* data = thread->Data;
  // Read first: once Finished is set, an owner may destroy the object.
  const bool freeOnTerminate = data->FreeOnTerminate;
  __atomic_store_n(&data->Finished, true, __ATOMIC_RELEASE);
  if (freeOnTerminate) delete thread;
  return result;
}

// Decided by the first thread; threads that start together may each decide, alike.
bool StaggerDisabled() {
  if (!__atomic_load_n(&ThreadStatics.StaggerChecked, __ATOMIC_ACQUIRE)) {
    if (HasOption(kOptNoStagger))
      __atomic_store_n(&ThreadStatics.StaggerOff, true, __ATOMIC_RELAXED);
    __atomic_store_n(&ThreadStatics.StaggerChecked, true, __ATOMIC_RELEASE);
  }
  return __atomic_load_n(&ThreadStatics.StaggerOff, __ATOMIC_RELAXED);
}

DWORD WINAPI ThreadStart(LPVOID parameter) {
  uint32_t depth = 0;
  if (!StaggerDisabled()) TakeStaggerStep(&depth);
  // Reserved on this stack for the rest of the routine: the body runs below it.
  void* gap = __builtin_alloca(depth);
  asm volatile("" : : "r"(gap) : "memory");
  const uint32_t result = RunThreadBody(static_cast<TThread*>(parameter));
  asm volatile("" : : "r"(gap) : "memory"); // keeps the gap until the body has returned
  return result;
}

} // namespace

uint32_t DefaultStackSize() {
  if (!ThreadStatics.DefaultStackKept) {
    uint32_t size = kStackFallback;
    const char* value = nullptr;
    if (HasOption(kOptStackSize, &value)) {
      bool complete = false;
      const auto parsed = static_cast<uint32_t>(ParseUnsigned(value, &complete));
      if (complete && parsed > kSmallestStackOption) size = parsed;
    }
    ThreadStatics.DefaultStack = size;
    ThreadStatics.DefaultStackKept = true;
  }
  return ThreadStatics.DefaultStack;
}

void ReportThreadInfo() {
  if (!HasOption(kOptThreadInfo) || RuntimeState.TraceSink == nullptr) return;
  uintptr_t lower = 0, upper = 0;
  if (!StackBounds(&lower, &upper) || lower >= upper) return;
  const PlainName format(kThreadInfoLine);
  char line[128];
  FormatString(line, sizeof line, format.text, GetCurrentThreadId(),
               static_cast<uint32_t>((upper - lower) / 1024));
  RuntimeState.TraceSink(line);
}

TThread::TThread(bool freeOnTerminate, uint32_t stackSize) {
  EnableMemLocks();
  Data = static_cast<TThreadData*>(AllocMem(sizeof(TThreadData)));
  if (Data == nullptr) return;
  ZeroMem(Data, sizeof(TThreadData));
  Data->FreeOnTerminate = freeOnTerminate;
  Data->StackSize = stackSize;
}

void ReleaseThreadData(TThread* thread) {
  ReportThreadInfo();
  TThreadData* data = thread->Data;
  if (data == nullptr) return;
  if (data->Handle != nullptr) CloseHandle(data->Handle);
  FreeMem(data);
  thread->Data = nullptr;
}

bool StartThread(TThread* thread) {
  TThreadData* data = thread->Data;
  if (OsVersion.Platform == kPlatformWin32s || data == nullptr) return false;
  const uint32_t mask = data->AffinityMask;
  // A thread that frees itself could be gone, its record with it, before CreateThread returns:
  // it waits, suspended, until its handle is stored.
  const bool suspended = mask != 0 || data->FreeOnTerminate;
  const uint32_t stack = data->StackSize != 0 ? data->StackSize : DefaultStackSize();
  DWORD id = 0;
  HANDLE handle =
      CreateThread(nullptr, stack, ThreadStart, thread, suspended ? CREATE_SUSPENDED : 0, &id);
  if (handle == nullptr) return false;
  data->ThreadId = id;
  data->Handle = handle;
  if (mask != 0) {
    SetThreadAffinityMaskFn pin =
        FindSystemFunction<SetThreadAffinityMaskFn>(SystemFunction::SetThreadAffinityMask);
    if (pin != nullptr) pin(handle, mask);
  }
  // From here on a thread that frees itself may already be gone.
  if (suspended) ResumeThread(handle);
  return true;
}

bool TThread::SetAffinity(uint32_t mask) {
  if (mask == 0 || Data == nullptr) return false;
  Data->AffinityMask = mask;
  return true;
}

bool TThread::WaitFor() {
  if (Data == nullptr || Data->Handle == nullptr) return false;
  return WaitForSingleObject(Data->Handle, INFINITE) != WAIT_FAILED;
}
