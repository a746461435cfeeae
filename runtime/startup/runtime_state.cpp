#include "runtime/startup/runtime_state.h"

// constinit: the state must hold its load values before any code of the image runs.
constinit RuntimeStateRecord RuntimeState;

constinit OsVersionRecord OsVersion;
