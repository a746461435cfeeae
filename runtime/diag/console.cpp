#include "runtime/diag/console.h"

#include "runtime/memory/memory.h"
#include "runtime/text/format.h"
#include "runtime/text/memory_ops.h"
#include "runtime/text/strings.h"
#include "winposix/win32.h"

namespace {

constexpr int32_t kPrintBufferSize = 32767;
constexpr uint32_t kChunkSize = 8192;

// The handle is asked for anew each time: the program may have been given another meanwhile.
void WriteStd(DWORD which, const char* text, uint32_t len) {
  DWORD written;
  WriteFile(GetStdHandle(which), text, len, &written, nullptr);
}

// A function of its own, so that the 8 KiB buffer is on the stack only for long texts: every
// short write would otherwise reach into stack pages the program has not touched yet.
__attribute__((noinline)) void PutInChunks(DWORD which, const char* text, uint32_t len) {
  char chunk[kChunkSize + 1];
  while (len > 0) {
    const uint32_t n = len < kChunkSize ? len : kChunkSize;
    CopyMem(chunk, text, n);
    chunk[n] = 0;
    WriteStd(which, chunk, n);
    text += n;
    len -= n;
  }
}

void Put(DWORD which, ConsoleCopyHook hook, const char* text) {
  if (text == nullptr) return;
  if (hook != nullptr) hook(text);
  const uint32_t len = StrLen(text);
  if (len < kChunkSize)
    WriteStd(which, text, len);
  else
    PutInChunks(which, text, len);
}

void Print(DWORD which, ConsoleCopyHook hook, const char* format, ArgCursor args) {
  char* buffer = static_cast<char*>(AllocMem(kPrintBufferSize));
  if (buffer == nullptr) return;
  FormatText(buffer, args, kPrintBufferSize, format);
  Put(which, hook, buffer);
  FreeMem(buffer);
}

} // namespace

void PrintMessage(const char* format, ...) {
  ArgCursor args;
  __builtin_va_start(args.list, format);
  Print(STD_OUTPUT_HANDLE, StdOutCopyHook, format, args);
  __builtin_va_end(args.list);
}

void PrintError(const char* format, ...) {
  ArgCursor args;
  __builtin_va_start(args.list, format);
  Print(STD_ERROR_HANDLE, StdErrCopyHook, format, args);
  __builtin_va_end(args.list);
}

void PutStdOut(const char* text) {
  Put(STD_OUTPUT_HANDLE, StdOutCopyHook, text);
}

void PutStdErr(const char* text) {
  Put(STD_ERROR_HANDLE, StdErrCopyHook, text);
}

void WriteStdOut(const char* text) {
  if (text != nullptr) WriteStd(STD_OUTPUT_HANDLE, text, StrLen(text));
}

void WriteStdErr(const char* text) {
  if (text != nullptr) WriteStd(STD_ERROR_HANDLE, text, StrLen(text));
}
