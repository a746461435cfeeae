// What the start of a process tells the layer before the program runs: the arguments, and, when
// a loader runs a Windows image on the layer, which module is the program and where the memory
// handed to the program may lie.
#pragma once

#include "winposix/api.h"

#include <sys/types.h>

namespace winposix {

// The process's arguments as its start received them; GetCommandLineA builds its line from them
// instead of reading /proc. Called before anything asks for the command line.
void KeepProcessArguments(int count, char* const* args);

// The program is the image mapped at base, loaded from path (absolute): GetModuleHandleA(NULL)
// and GetModuleFileNameA answer with them instead of the layer's own header and executable.
void SetProgramModule(HMODULE base, const char* path);

// Every mapping made for the program (reservations, file views) lies below limit from now on:
// a 32-bit program can hold no higher address. 0 puts no limit.
void KeepMappingsBelow(uintptr_t limit);

// The program that runs Windows images: a child process whose file is one (it starts with
// "MZ") is started as that program with the image's path in front of its arguments.
void SetImageLoader(const char* path);

// The exception code Windows reports for a processor fault that arrived as this signal
// (SIGSEGV, SIGBUS, SIGILL, SIGFPE) with this si_code.
DWORD ExceptionCodeFor(int signal, int code);

// mmap for memory the program receives: anywhere, or below the limit, right below the latest
// placement or else in the highest gap that fits.
void* MapForProgram(size_t length, int protection, int flags, int fd, off_t offset);

// True when MapForProgram places below a limit: every mapping then starts on a 64 KiB granule.
bool MappingsOnGranules();

} // namespace winposix
