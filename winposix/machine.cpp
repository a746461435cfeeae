// The machine a test describes with SetSystemRecord: its system record and, with a processor
// count, a process affinity kept here, so that a probe can visit processors the host lacks.
#include "winposix/internal.h"

#include <mutex>
#include <sched.h>

namespace {

std::mutex machineLock;
winposix::SystemRecord record = {0};
DWORD_PTR processMask = 0;

constexpr int kMaskBits = static_cast<int>(sizeof(DWORD_PTR) * 8);

DWORD_PTR AllProcessors(unsigned count) {
  return count >= kMaskBits ? ~static_cast<DWORD_PTR>(0) : (static_cast<DWORD_PTR>(1) << count) - 1;
}

bool IsCurrentProcess(HANDLE process) {
  return process == GetCurrentProcess();
}

} // namespace

namespace winposix {

void SetSystemRecord(const SystemRecord& wanted) {
  std::lock_guard<std::mutex> hold(machineLock);
  record = wanted;
  processMask = AllProcessors(wanted.processors);
}

void ResetSystemRecord() {
  SetSystemRecord(SystemRecord{0});
}

unsigned long long EmulatedProcessMask() {
  std::lock_guard<std::mutex> hold(machineLock);
  return record.processors != 0 ? processMask : 0;
}

bool MachineEmulated() {
  std::lock_guard<std::mutex> hold(machineLock);
  return record.processors != 0;
}

BOOL EmulatedGetProcessAffinityMask(HANDLE process, DWORD_PTR* processMaskOut,
                                    DWORD_PTR* systemMaskOut) {
  std::lock_guard<std::mutex> hold(machineLock);
  if (!IsCurrentProcess(process) || processMaskOut == nullptr || systemMaskOut == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  *processMaskOut = record.affinityUnsupported ? 1 : processMask;
  *systemMaskOut = record.affinityUnsupported ? 1 : AllProcessors(record.processors);
  return TRUE;
}

BOOL EmulatedSetProcessAffinityMask(HANDLE process, DWORD_PTR mask) {
  std::lock_guard<std::mutex> hold(machineLock);
  if (record.affinityUnsupported) {
    SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
    return FALSE;
  }
  if (!IsCurrentProcess(process) || mask == 0 || (mask & ~AllProcessors(record.processors)) != 0 ||
      (mask & ~static_cast<DWORD_PTR>(record.refusedMask)) == 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  processMask = mask;
  return TRUE;
}

void ApplySystemRecord(SYSTEM_INFO* info) {
  std::lock_guard<std::mutex> hold(machineLock);
  if (record.processors != 0) {
    info->dwNumberOfProcessors = record.processors;
    info->dwActiveProcessorMask = AllProcessors(record.processors);
  }
  if (record.architecture != ~0u)
    info->wProcessorArchitecture = static_cast<WORD>(record.architecture);
  if (record.level != ~0u) info->wProcessorLevel = static_cast<WORD>(record.level);
}

} // namespace winposix

extern "C" DWORD WINAPI GetCurrentProcessorNumber(void) {
  {
    std::lock_guard<std::mutex> hold(machineLock);
    if (record.processors != 0) return static_cast<DWORD>(__builtin_ctzll(processMask));
  }
  const int cpu = sched_getcpu();
  return cpu < 0 ? 0 : static_cast<DWORD>(cpu);
}
