// Shared by the layer's own files.
#pragma once

#include "winposix/api.h"
#include "winposix/loader.h"
#include "winposix/testctl.h"

#include <sched.h>
#include <string>

namespace winposix {

// Counts the call and says whether a test arranged for it to fail.
bool ShouldFail(FailPoint point);

// Closes a thread handle of the layer; false when the handle names no thread.
bool CloseThreadHandle(HANDLE handle);

// Child processes (child_processes.cpp): whether a handle names one, closing it, waiting for it
// (a WaitForSingleObject result) and its processor times in 100-ns units.
bool IsChildHandle(HANDLE handle);
bool CloseChildHandle(HANDLE handle);
DWORD WaitForChild(HANDLE handle, DWORD milliseconds);
bool ChildTimes(HANDLE handle, uint64_t* kernel, uint64_t* user);
// The program a loader named to run Windows images (null without one).
const char* ImageLoader();

// Puts the emulated version record back to its default.
void ResetVersion();

// The emulated machine of SetSystemRecord. The affinity functions hand their call to the
// Emulated* ones while MachineEmulated is true.
bool MachineEmulated();
BOOL EmulatedGetProcessAffinityMask(HANDLE process, DWORD_PTR* processMask, DWORD_PTR* systemMask);
BOOL EmulatedSetProcessAffinityMask(HANDLE process, DWORD_PTR mask);
// A Windows affinity mask and the processor set Linux keeps, both ways (the first 64 only).
DWORD_PTR MaskOfSet(const cpu_set_t& set);
cpu_set_t SetOfMask(DWORD_PTR mask);

// Puts the record's fields over what the host reported.
void ApplySystemRecord(SYSTEM_INFO* info);
void ResetSystemRecord();

// The program's module: the image a loader named, or else the synthetic image header.
HMODULE ProgramImage();
// The image a loader named with SetProgramModule; null without one.
HMODULE LoadedProgramModule();
void ResetUserInterface();
void ResetConsole();

// The replacement a test gave for a function (winposix::Override), or null.
void (*OverrideOf(const char* name))();

// The processors online, read once: Windows fixes its count at boot, and each read of it here
// costs a file of /sys.
long OnlineProcessors();

// A whole file of /proc read with plain system calls (empty when it cannot be read): a C++
// stream would set up the library's locales first, half the start-up time of the program.
std::string ReadSystemFile(const char* path);

} // namespace winposix

// The first statement of a layer function that a test may replace with a fake.
#define LAYER_OVERRIDE(function, ...)                                                              \
  if (const auto replaced = winposix::OverrideOf(#function))                                       \
  return reinterpret_cast<decltype(&function)>(replaced)(__VA_ARGS__)
