// Critical sections as recursive pthread mutexes, built in the storage of the section itself so
// that initialising one cannot fail for want of memory.
#include "winposix/internal.h"

#include <new>
#include <pthread.h>

namespace {

static_assert(sizeof(pthread_mutex_t) <= sizeof(CRITICAL_SECTION::Mutex));
static_assert(alignof(pthread_mutex_t) <= alignof(CRITICAL_SECTION));

pthread_mutex_t* MutexOf(LPCRITICAL_SECTION section) {
  return std::launder(reinterpret_cast<pthread_mutex_t*>(section->Mutex));
}

} // namespace

extern "C" void WINAPI InitializeCriticalSection(LPCRITICAL_SECTION section) {
  section->SpinCount = 0;
  auto* mutex = new (static_cast<void*>(section->Mutex)) pthread_mutex_t;
  pthread_mutexattr_t attributes;
  pthread_mutexattr_init(&attributes);
  pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_RECURSIVE);
  pthread_mutex_init(mutex, &attributes);
  pthread_mutexattr_destroy(&attributes);
}

extern "C" BOOL WINAPI InitializeCriticalSectionAndSpinCount(LPCRITICAL_SECTION section,
                                                             DWORD spinCount) {
  InitializeCriticalSection(section);
  section->SpinCount = spinCount;
  return TRUE;
}

// The count is kept for the caller's sake; the mutex spins as glibc decides.
extern "C" DWORD WINAPI SetCriticalSectionSpinCount(LPCRITICAL_SECTION section, DWORD spinCount) {
  DWORD previous = static_cast<DWORD>(section->SpinCount);
  section->SpinCount = spinCount;
  return previous;
}

extern "C" void WINAPI EnterCriticalSection(LPCRITICAL_SECTION section) {
  pthread_mutex_lock(MutexOf(section));
}

extern "C" void WINAPI LeaveCriticalSection(LPCRITICAL_SECTION section) {
  pthread_mutex_unlock(MutexOf(section));
}

extern "C" void WINAPI DeleteCriticalSection(LPCRITICAL_SECTION section) {
  pthread_mutex_destroy(MutexOf(section));
}
