// The output-copy and error-copy options: copies of standard output, and of standard error with
// every trace line, appended to the files the options name. Each option is looked at on the
// first text of its stream after the start-up has put all options in the list; when it is
// absent or empty then, it is never looked at again.
#pragma once

struct CopyState {
  bool Decided;
  bool Active;
};
// Plain data with load values; the error-copy state is shared by standard error and the trace.
extern CopyState OutCopyState;
extern CopyState ErrCopyState;

// The hooks the console writers and TraceLine call (StdOutCopyHook, StdErrCopyHook, TraceCopy).
void CopyToOutputFile(const char* text);
void CopyToErrorFile(const char* text);
void CopyTraceLine(const char* text);
