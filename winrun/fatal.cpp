#include "winrun/widths.h"

#include <cstdarg>
#include <cstdio>
#include <unistd.h>

namespace winrun {

// The runner's own failures end the process with this code, as a shell does for a command it
// cannot execute.
constexpr int kCannotRun = 126;

void Fatal(const char* format, ...) {
  char line[512];
  va_list args;
  va_start(args, format);
  vsnprintf(line, sizeof line, format, args);
  va_end(args);
  fprintf(stderr, "winrun: %s\n", line);
  _exit(kCannotRun);
}

} // namespace winrun
