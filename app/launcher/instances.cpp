#include "app/launcher/instances.h"

#include "runtime/memory/memory.h"
#include "runtime/text/system_functions.h"
#include "runtime/diag/console.h"
#include "runtime/text/format.h"
#include "runtime/text/strings.h"
#include "winposix/win32.h"

namespace {

typedef BOOL(WINAPI* ProcessTimesFunction)(HANDLE, FILETIME*, FILETIME*, FILETIME*, FILETIME*);

bool BusyUnits(const Instance& instance, uint64_t* units) {
  // NT only: the 9x family cannot tell a process's processor time.
  const auto times = FindSystemFunction<ProcessTimesFunction>(SystemFunction::GetProcessTimes);
  FILETIME created, exited, kernel, user;
  if (times == nullptr || !times(instance.process, &created, &exited, &kernel, &user)) return false;
  *units = (static_cast<uint64_t>(kernel.dwHighDateTime) << 32 | kernel.dwLowDateTime) +
           (static_cast<uint64_t>(user.dwHighDateTime) << 32 | user.dwLowDateTime);
  return true;
}

uint32_t Share(uint64_t busyUnits, uint32_t ms) {
  return ms != 0 ? static_cast<uint32_t>(busyUnits / 100 / ms) : 0; // 10,000 units a ms, in %
}

void Release(Instance& instance) {
  CloseHandle(instance.process);
  instance.process = nullptr;
}

} // namespace

bool StartInstances(Instances* all, const char* program, const char* arguments, uint32_t mask,
                    bool sharedConsole) {
  const uint32_t size = StrLen(program) + StrLen(arguments) + 40;
  char* line = static_cast<char*>(AllocMem(size));
  if (line == nullptr) return false;
  all->count = 0;
  for (uint32_t processor = 0; processor < kMostInstances; ++processor) {
    if ((mask & (1u << processor)) == 0) continue;
    FormatString(line, size, "\"%s\" -Affinity:0x%X%s", program, 1u << processor, arguments);
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION started = {};
    if (!CreateProcessA(nullptr, line, nullptr, nullptr, FALSE,
                        sharedConsole ? 0 : CREATE_NEW_CONSOLE, nullptr, nullptr, &startup,
                        &started)) {
      PrintError("Processor %u: cannot start %s (error %u)\n", processor, program, GetLastError());
      continue;
    }
    CloseHandle(started.hThread);
    Instance& instance = all->list[all->count++];
    instance = {processor, started.hProcess, started.dwProcessId, false, 0, 0, 0, 0};
    BusyUnits(instance, &instance.firstUnits);
    instance.busyUnits = instance.firstUnits;
    PrintMessage("Processor %u: process %u\n", processor, started.dwProcessId);
  }
  FreeMem(line);
  return all->count != 0;
}

bool PollInstances(Instances* all, uint32_t* firstFailure) {
  bool running = false;
  for (uint32_t i = 0; i < all->count; ++i) {
    Instance& instance = all->list[i];
    if (instance.process == nullptr) continue;
    if (WaitForSingleObject(instance.process, 0) != WAIT_OBJECT_0) {
      running = true;
      continue;
    }
    DWORD code = 0;
    GetExitCodeProcess(instance.process, &code);
    instance.ended = true;
    instance.exitCode = code;
    // Ctrl+C in a shared console reaches the instances as well: that is a stop, not a failure.
    if (code != 0 && code != STATUS_CONTROL_C_EXIT && *firstFailure == 0) *firstFailure = code;
    PrintMessage("Processor %u: process %u ended with exit code %u\n", instance.processor,
                 instance.processId, code);
    Release(instance);
  }
  return running;
}

bool MeasureShares(Instances* all, uint32_t intervalMs) {
  bool measured = false;
  for (uint32_t i = 0; i < all->count; ++i) {
    Instance& instance = all->list[i];
    uint64_t units;
    if (instance.process == nullptr || !BusyUnits(instance, &units)) continue;
    instance.lastShare = Share(units - instance.busyUnits, intervalMs);
    instance.busyUnits = units;
    measured = true;
  }
  return measured;
}

void StopInstances(Instances* all, uint32_t runMs) {
  for (uint32_t i = 0; i < all->count; ++i) {
    Instance& instance = all->list[i];
    if (instance.process == nullptr) continue;
    uint64_t units = instance.busyUnits;
    const bool known = BusyUnits(instance, &units);
    TerminateProcess(instance.process, STATUS_CONTROL_C_EXIT);
    WaitForSingleObject(instance.process, 5000);
    if (known)
      PrintMessage("Processor %u: process %u stopped, %u%% of its processor on average\n",
                   instance.processor, instance.processId,
                   Share(units - instance.firstUnits, runMs));
    else
      PrintMessage("Processor %u: process %u stopped\n", instance.processor, instance.processId);
    Release(instance);
  }
}
