// The diagnostic channel: messages for the user and trace lines ("label: value").
#pragma once

#include <stdint.h>

// True for a GUI-subsystem program (messages in a box), false for a console program.
bool IsGuiProgram();

// A message box for a GUI program; the text and a line break on standard error otherwise.
void ShowMessage(const char* text, const char* caption);

// The one path of every trace line: offered to the error-copy file, then shown.
void TraceLine(const char* text, const char* caption);

// A trace line made by the formatter (at most 255 characters).
void TraceFormat(const char* format, ...);

// "label: 42", or with hex "label: 0000002A".
void TraceValue(const char* label, uint32_t value, bool hex);
void TracePointer(const char* label, uint32_t value);

// Beep(440, 500) unless the quiet option is given.
void SignalBeep();

// Receives every trace line for the error-copy file; null until the copy files are in place.
typedef void (*TraceCopyHook)(const char* text);
extern TraceCopyHook TraceCopy;
