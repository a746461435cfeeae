#include "runtime/diag/copy_files.h"

#include "runtime/diag/log_file.h"
#include "runtime/diag/trace.h"
#include "runtime/startup/options.h"
#include "runtime/startup/runtime_state.h"
#include "runtime/diag/console.h"

CopyState OutCopyState;
CopyState ErrCopyState;

// Constant-initialised: the product runs no static constructors.
ConsoleCopyHook StdOutCopyHook = &CopyToOutputFile;
ConsoleCopyHook StdErrCopyHook = &CopyToErrorFile;
TraceCopyHook TraceCopy = &CopyTraceLine;

namespace {

// The option is looked up again for every text while it is active: its value is the path.
void Copy(CopyState& state, const char* option, const char* text, bool lineBreak) {
  if (state.Decided && !state.Active) return;
  const char* path = nullptr;
  if (FindOption(option, &path, kFindUnscramble) && path != nullptr && *path != 0) {
    LogWrite(path, text, lineBreak);
    state.Active = true;
  }
  // A text before the options are in says nothing about them.
  if (RuntimeState.OptionsReady) state.Decided = true;
}

} // namespace

void CopyToOutputFile(const char* text) {
  Copy(OutCopyState, kOptOutCopy.bytes, text, false);
}

void CopyToErrorFile(const char* text) {
  Copy(ErrCopyState, kOptErrCopy.bytes, text, false);
}

void CopyTraceLine(const char* text) {
  Copy(ErrCopyState, kOptErrCopy.bytes, text, true);
}
