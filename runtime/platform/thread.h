// TThread: the runtime's thread class. A derived class supplies Execute; the owner may pin the
// thread to processors, starts it and waits for it before destroying the object.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include "runtime/memory/memory.h"

struct TThreadData {
  bool FreeOnTerminate; // the thread destroys its own object when Execute returns
  uint32_t StackSize;   // 0: DefaultStackSize ()
  uint32_t ThreadId;
  void* Handle;          // null before Start and after a failed creation
  uint32_t AffinityMask; // 0: not pinned
  bool Finished;
};

class TThread;
// The out-of-line parts of the destructor and of Start.
void ReleaseThreadData(TThread* thread);
bool StartThread(TThread* thread);

// The virtual operations are defined here so that no file holds the class's tables: programs
// built with run-time type information can derive from it although the runtime has none.
class TThread : public TMemObject {
public:
  // Switches the memory manager to locked operation before any second thread can exist. When
  // the private record cannot be allocated, Data stays null and the object cannot start.
  TThread(bool freeOnTerminate, uint32_t stackSize);
  // Reports the thread line (thread-info option) and closes the handle; it neither waits for
  // the thread nor stops it.
  virtual ~TThread() { ReleaseThreadData(this); }
  TThread(const TThread&) = delete;
  TThread& operator=(const TThread&) = delete;

  // Creates the system thread; a pinned one is created suspended and resumed once its mask is
  // set, so its first instruction already runs on an allowed processor.
  virtual bool Start() { return StartThread(this); }
  // The thread's work; the result becomes its exit code.
  virtual uint32_t Execute() = 0;

  // Processors for the next Start; 0 is refused and leaves an earlier mask in place.
  bool SetAffinity(uint32_t mask);
  // Waits without a time limit; false without a handle or when the wait fails.
  bool WaitFor();

  // Whether the processors are logical processors of Hyper-Threading packages; count, when
  // given, receives the number of processors to report. Lives with the processor detection.
  static bool SMTSupported(uint32_t* count);

  TThreadData* Data;
};

// The stack size for threads created without one: the stack-size option when it holds a number
// above 4096, else 32768. Read once.
uint32_t DefaultStackSize();

// With the thread-info option: one trace line with the calling thread's identifier and the size
// of its stack in KiB.
void ReportThreadInfo();

// Successive threads start their work this much deeper into their stacks, repeating after
// kStaggerSteps threads, so that threads doing the same work do not share cache sets.
constexpr uint32_t kStaggerStep = 128;
constexpr uint32_t kStaggerSteps = 56;

// Process-wide decisions and counters of the thread class, plain data with load values.
struct TThreadStatics {
  uint32_t DefaultStack;
  bool DefaultStackKept;
  uint32_t StaggerCounter; // 0 .. kStaggerSteps - 1: the next thread's step
  bool StaggerOff;
  bool StaggerChecked;
};
extern TThreadStatics ThreadStatics;
