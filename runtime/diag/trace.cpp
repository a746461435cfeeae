#include "runtime/diag/trace.h"

#include "runtime/startup/options.h"
#include "runtime/startup/runtime_state.h"
#include "runtime/text/fault_guard.h"
#include "runtime/text/format.h"
#include "runtime/text/strings.h"
#include "winposix/win32.h"

namespace {

enum : int32_t { kUndecided = -1, kConsole = 0, kMessageBox = 1 };
int32_t guiDecision = kUndecided;

constexpr uint32_t kLineSize = 256;

// Reads the subsystem from the program's own image header; kUndecided when there is none to
// read. The header is read under the fault guard: a bad base must not end the program.
int32_t SubsystemDecision() {
  const auto* base = static_cast<const uint8_t*>(RuntimeState.ModuleBase);
  if (base == nullptr) return kUndecided;
  uint32_t peOffset = 0;
  if (!SafeCopyMem(&peOffset, base + 60, sizeof peOffset)) return kUndecided;
  uint8_t header[93];
  if (!SafeCopyMem(header, base + peOffset, sizeof header)) return kUndecided;
  if (header[0] != 'P' || header[1] != 'E') return kUndecided;
  return header[92] == 2 ? kMessageBox : kConsole; // 2: Windows GUI subsystem
}

} // namespace

bool IsGuiProgram() {
  if (guiDecision != kUndecided) return guiDecision == kMessageBox;
  const DWORD version = GetVersion();
  if ((version & 0x80000000u) != 0 && (version & 0xFF) < 4)
    guiDecision = kMessageBox; // Win32s has no console
  else
    guiDecision = SubsystemDecision();
  return guiDecision != kConsole;
}

void ShowMessage(const char* text, const char* caption) {
  if (IsGuiProgram()) {
    MessageBoxA(nullptr, text != nullptr ? text : "", caption != nullptr ? caption : "",
                MB_ICONERROR | MB_SETFOREGROUND);
    return;
  }
  HANDLE error = GetStdHandle(STD_ERROR_HANDLE);
  DWORD written;
  if (text != nullptr) WriteFile(error, text, StrLen(text), &written, nullptr);
  WriteFile(error, "\r\n", 2, &written, nullptr);
}

void TraceLine(const char* text, const char* caption) {
  if (TraceCopy != nullptr) TraceCopy(text);
  ShowMessage(text, caption);
}

void TraceFormat(const char* format, ...) {
  ArgCursor args;
  __builtin_va_start(args.list, format);
  char line[kLineSize];
  FormatText(line, args, sizeof line, format);
  __builtin_va_end(args.list);
  TraceLine(line, nullptr);
}

void TraceValue(const char* label, uint32_t value, bool hex) {
  TraceFormat(hex ? "%s: %08X" : "%s: %u", label != nullptr ? label : "", value);
}

void TracePointer(const char* label, uint32_t value) {
  TraceValue(label, value, true);
}

void SignalBeep() {
  if (!HasOption(kOptQuiet)) Beep(440, 500);
}
