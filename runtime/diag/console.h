// The program's formatted console output: PrintMessage to standard output, PrintError to
// standard error. A text is formatted into a heap buffer (so at most 32766 characters), offered
// to the copy hook of its stream, and written to the standard handle, in 8192-byte pieces when
// it is longer than that. Write failures are ignored: there is nobody left to tell.
#pragma once

#include <stdint.h>

// Receives every text before it is written, for copying it elsewhere.
typedef void (*ConsoleCopyHook)(const char* text);
// Null until the copy-file options are in place; whoever installs a hook does so before the
// first output of the process and never changes it again.
extern ConsoleCopyHook StdOutCopyHook;
extern ConsoleCopyHook StdErrCopyHook;

void PrintMessage(const char* format, ...);
void PrintError(const char* format, ...);

// The copy hook, then the text to the standard handle. A null text does nothing.
void PutStdOut(const char* text);
void PutStdErr(const char* text);

// The whole text in one write to the standard handle, without the copy hook.
void WriteStdOut(const char* text);
void WriteStdErr(const char* text);
