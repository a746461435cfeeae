// Ctrl+C: SIGINT wakes a thread of the layer that calls the program's handlers, as Windows calls
// them on a thread of its own; without a handler that takes it, the process ends as Windows
// ends it.
#include "winposix/internal.h"

#include <algorithm>
#include <csignal>
#include <fcntl.h>
#include <mutex>
#include <sys/syscall.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

std::mutex handlersLock;
std::vector<PHANDLER_ROUTINE>& Handlers() {
  static auto* handlers = new std::vector<PHANDLER_ROUTINE>;
  return *handlers;
}
int wake[2] = {-1, -1};

// The signal may interrupt code whose thread pointer is not the C library's (a 32-bit program
// run through the runner): a plain system call, no errno, no stack protector.
__attribute__((no_stack_protector)) void OnInterrupt(int) {
  static const char byte = 0;
#if defined(__x86_64__)
  long result;
  asm volatile("syscall"
               : "=a"(result)
               : "0"(static_cast<long>(SYS_write)), "D"(static_cast<long>(wake[1])), "S"(&byte),
                 "d"(1L)
               : "rcx", "r11", "memory");
  (void)result;
#else
  (void)!write(wake[1], &byte, 1);
#endif
}

void CallHandlers() {
  char byte;
  while (read(wake[0], &byte, 1) == 1) {
    std::vector<PHANDLER_ROUTINE> handlers;
    {
      std::lock_guard<std::mutex> hold(handlersLock);
      handlers = Handlers();
    }
    const bool taken = std::any_of(handlers.rbegin(), handlers.rend(),
                                   [](PHANDLER_ROUTINE h) { return h(CTRL_C_EVENT) != FALSE; });
    if (!taken) ExitProcess(STATUS_CONTROL_C_EXIT);
  }
}

bool StartDispatch() {
  if (pipe2(wake, O_CLOEXEC) != 0) return false;
  std::thread(CallHandlers).detach();
  struct sigaction action = {};
  action.sa_handler = OnInterrupt;
  action.sa_flags = SA_RESTART | SA_ONSTACK;
  sigemptyset(&action.sa_mask);
  return sigaction(SIGINT, &action, nullptr) == 0;
}

} // namespace

extern "C" BOOL WINAPI SetConsoleCtrlHandler(PHANDLER_ROUTINE handler, BOOL add) {
  std::lock_guard<std::mutex> hold(handlersLock);
  std::vector<PHANDLER_ROUTINE>& handlers = Handlers();
  if (handler == nullptr ||
      (!add && std::find(handlers.begin(), handlers.end(), handler) == handlers.end())) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (!add) {
    handlers.erase(std::find(handlers.begin(), handlers.end(), handler));
    return TRUE;
  }
  static const bool dispatching = StartDispatch();
  if (!dispatching) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return FALSE;
  }
  handlers.push_back(handler);
  return TRUE;
}
