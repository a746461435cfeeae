#include "runtime/startup/runtime_state.h"

// constinit: no constructor may run for it; it holds zeros before any code of the image runs.
constinit RuntimeStateRecord RuntimeState;

constinit OsVersionRecord OsVersion;
