// Threads over pthreads: suspended start, waiting on a thread handle, exit codes, per-thread
// affinity and the thread information block with the stack bounds. A thread handle is the
// address of the layer's record of that thread; the record lives until the thread has ended and
// its handle is closed, whichever comes last.
#include "winposix/internal.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <pthread.h>
#include <sched.h>
#include <set>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

// Threads whose routine has not returned; a test waits on it instead of sleeping.
std::atomic<unsigned> liveThreads{0};

struct ThreadRecord {
  std::mutex lock;
  std::condition_variable changed;
  LPTHREAD_START_ROUTINE routine = nullptr;
  LPVOID parameter = nullptr;
  pid_t tid = 0;
  bool started = false; // tid is known
  DWORD suspendCount = 0;
  bool finished = false;
  DWORD exitCode = STILL_ACTIVE;
  int references = 2; // the handle and the running thread
};

// The thread information block as Windows lays out its start: exception list, stack base (the
// top) and stack limit (the bottom).
struct ThreadInfoBlock {
  void* ExceptionList;
  void* StackBase;
  void* StackLimit;
  void* Reserved[4];
};

thread_local ThreadInfoBlock infoBlock;

// Windows reserves at least the image's default stack, whatever smaller size is asked for.
constexpr size_t kMinimumStack = 1 << 20;

HANDLE const kCurrentThread = reinterpret_cast<HANDLE>(static_cast<intptr_t>(-2));

std::mutex handlesLock;
std::set<ThreadRecord*>& Handles() {
  static auto* open = new std::set<ThreadRecord*>;
  return *open;
}

ThreadRecord* RecordOf(HANDLE handle) {
  std::lock_guard<std::mutex> hold(handlesLock);
  auto* record = static_cast<ThreadRecord*>(handle);
  return Handles().count(record) != 0 ? record : nullptr;
}

void Drop(ThreadRecord* record) {
  bool last;
  {
    std::lock_guard<std::mutex> hold(record->lock);
    last = --record->references == 0;
  }
  if (last) delete record;
}

pid_t CurrentTid() {
  return static_cast<pid_t>(syscall(SYS_gettid));
}

void* RunThread(void* argument) {
  auto* record = static_cast<ThreadRecord*>(argument);
  {
    std::unique_lock<std::mutex> hold(record->lock);
    record->tid = CurrentTid();
    record->started = true;
    record->changed.notify_all();
    record->changed.wait(hold, [record] { return record->suspendCount == 0; });
  }
  const DWORD code = record->routine(record->parameter);
  {
    std::lock_guard<std::mutex> hold(record->lock);
    record->exitCode = code;
    record->finished = true;
    record->changed.notify_all();
  }
  Drop(record);
  liveThreads.fetch_sub(1, std::memory_order_release);
  return nullptr;
}

// The thread a handle names: the calling one for the pseudo handle; 0 for no live thread.
pid_t TidOf(HANDLE handle) {
  if (handle == kCurrentThread) return CurrentTid();
  ThreadRecord* record = RecordOf(handle);
  if (record == nullptr) return 0;
  std::lock_guard<std::mutex> hold(record->lock);
  return record->finished ? 0 : record->tid;
}

} // namespace

namespace winposix {

bool CloseThreadHandle(HANDLE handle) {
  auto* record = static_cast<ThreadRecord*>(handle);
  {
    std::lock_guard<std::mutex> hold(handlesLock);
    if (Handles().erase(record) == 0) return false;
  }
  Drop(record);
  return true;
}

} // namespace winposix

extern "C" HANDLE WINAPI CreateThread(LPSECURITY_ATTRIBUTES, SIZE_T stackSize,
                                      LPTHREAD_START_ROUTINE routine, LPVOID parameter, DWORD flags,
                                      LPDWORD threadId) {
  if (winposix::ShouldFail(winposix::FailPoint::CreateThread) || routine == nullptr) {
    SetLastError(routine == nullptr ? ERROR_INVALID_PARAMETER : ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  auto* record = new ThreadRecord;
  record->routine = routine;
  record->parameter = parameter;
  record->suspendCount = (flags & CREATE_SUSPENDED) ? 1 : 0;
  const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  size_t stack = (static_cast<size_t>(stackSize) + page - 1) & ~(page - 1);
  if (stack < kMinimumStack) stack = kMinimumStack;
  pthread_attr_t attributes;
  pthread_attr_init(&attributes);
  pthread_attr_setstacksize(&attributes, stack);
  pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
  pthread_t thread;
  liveThreads.fetch_add(1, std::memory_order_relaxed);
  const int error = pthread_create(&thread, &attributes, RunThread, record);
  pthread_attr_destroy(&attributes);
  if (error != 0) {
    liveThreads.fetch_sub(1, std::memory_order_relaxed);
    delete record;
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  pid_t tid;
  {
    std::unique_lock<std::mutex> hold(record->lock);
    record->changed.wait(hold, [record] { return record->started; });
    tid = record->tid;
  }
  {
    std::lock_guard<std::mutex> hold(handlesLock);
    Handles().insert(record);
  }
  if (threadId != nullptr) *threadId = static_cast<DWORD>(tid);
  return record;
}

extern "C" DWORD WINAPI ResumeThread(HANDLE thread) {
  ThreadRecord* record = RecordOf(thread);
  if (record == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return static_cast<DWORD>(-1);
  }
  std::lock_guard<std::mutex> hold(record->lock);
  const DWORD previous = record->suspendCount;
  if (previous > 0 && --record->suspendCount == 0) record->changed.notify_all();
  return previous;
}

extern "C" DWORD WINAPI WaitForSingleObject(HANDLE object, DWORD milliseconds) {
  if (winposix::IsChildHandle(object)) return winposix::WaitForChild(object, milliseconds);
  ThreadRecord* record = RecordOf(object);
  if (record == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return WAIT_FAILED;
  }
  std::unique_lock<std::mutex> hold(record->lock);
  auto done = [record] { return record->finished; };
  if (milliseconds == INFINITE) {
    record->changed.wait(hold, done);
    return WAIT_OBJECT_0;
  }
  return record->changed.wait_for(hold, std::chrono::milliseconds(milliseconds), done)
             ? WAIT_OBJECT_0
             : WAIT_TIMEOUT;
}

extern "C" BOOL WINAPI GetExitCodeThread(HANDLE thread, LPDWORD code) {
  ThreadRecord* record = RecordOf(thread);
  if (record == nullptr || code == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  std::lock_guard<std::mutex> hold(record->lock);
  *code = record->exitCode;
  return TRUE;
}

extern "C" DWORD WINAPI GetCurrentThreadId(void) {
  return static_cast<DWORD>(CurrentTid());
}

extern "C" HANDLE WINAPI GetCurrentThread(void) {
  return kCurrentThread;
}

// The previous mask, or 0 when the thread or the mask is refused.
extern "C" DWORD_PTR WINAPI SetThreadAffinityMask(HANDLE thread, DWORD_PTR mask) {
  const pid_t tid = TidOf(thread);
  if (tid == 0) {
    SetLastError(ERROR_INVALID_HANDLE);
    return 0;
  }
  cpu_set_t set;
  if (mask == 0 || sched_getaffinity(tid, sizeof set, &set) != 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  const DWORD_PTR previous = winposix::MaskOfSet(set);
  set = winposix::SetOfMask(mask);
  if (sched_setaffinity(tid, sizeof set, &set) != 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  return previous;
}

// The calling thread's information block; its stack fields describe the whole stack.
extern "C" PVOID WINAPI NtCurrentTeb(void);

extern "C" void WINAPI GetCurrentThreadStackLimits(PULONG_PTR low, PULONG_PTR high) {
  const auto* block = static_cast<const ThreadInfoBlock*>(NtCurrentTeb());
  *low = reinterpret_cast<ULONG_PTR>(block->StackLimit);
  *high = reinterpret_cast<ULONG_PTR>(block->StackBase);
}

extern "C" PVOID WINAPI NtCurrentTeb(void) {
  ThreadInfoBlock* block = &infoBlock;
  if (block->StackBase == nullptr) {
    pthread_attr_t attributes;
    void* low = nullptr;
    size_t size = 0;
    if (pthread_getattr_np(pthread_self(), &attributes) == 0) {
      pthread_attr_getstack(&attributes, &low, &size);
      pthread_attr_destroy(&attributes);
    }
    block->StackLimit = low;
    block->StackBase = static_cast<char*>(low) + size;
  }
  return block;
}

unsigned winposix::LiveThreads() {
  return liveThreads.load(std::memory_order_acquire);
}
