// The copy files: each text is appended by a complete open, seek, write and close, and every
// append of the process goes through one lock, so lines of different threads never mix.
// Failures are silent: the caller's own output goes on unaffected.
#pragma once

class TLock;

// Appends text, and a carriage return and line feed when lineBreak is set, to the file path
// (created when missing, never truncated). A null or empty text touches nothing.
void LogWrite(const char* path, const char* text, bool lineBreak);
void LogWriteText(const char* text, const char* path);
void LogWriteLine(const char* text, const char* path);

// The lock of all appends: made by the first append and removed by an exit callback; null
// before and after.
extern TLock* LogLock;
