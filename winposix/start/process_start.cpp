// The process start of the program on Linux. The C library's start-up runs the executable's
// initialisers before main; this one hands the process to the runtime's entry point, which ends
// the process itself, so the C library's own call of main never comes. The layer keeps all its
// state either constant-initialised or built on first use, so nothing it needs is still waiting
// for an initialiser that runs later.
#include "runtime/startup/startup.h"
#include "winposix/fail_env.h"
#include "winposix/internal.h"
#include "winposix/old_systems.h"

namespace {

// The C library hands initialisers the arguments that main would get.
__attribute__((constructor)) void StartProcess(int argc, char** argv, char**) {
  winposix::KeepProcessArguments(argc, argv);
  winposix::ArmFailuresFromEnvironment();
  winposix::ArmSystemFromEnvironment();
  RuntimeStart();
}

} // namespace
