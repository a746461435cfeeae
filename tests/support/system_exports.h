// The layer's test controls of what the system offers, followed by what the runtime must then
// forget: it keeps every system function it looked up by name.
#pragma once

#include "runtime/text/system_functions.h"
#include "winposix/testctl.h"

inline void RemoveSystemExport(const char* name) {
  winposix::RemoveExport(name);
  ForgetSystemFunctions();
}

inline void RestoreSystemExports() {
  winposix::RestoreExports();
  ForgetSystemFunctions();
}

// Every control of the layer back to its start value.
inline void ResetLayer() {
  winposix::ResetAll();
  ForgetSystemFunctions();
}
