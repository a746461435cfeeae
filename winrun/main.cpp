// winrun PROGRAM.exe [ARGUMENTS...]: runs a 32-bit Windows console program on the Win32 layer.
// The image is mapped at its base, its imports bound to 32-bit stubs of the layer's functions,
// and its entry point entered in 32-bit mode; the exit code is the program's.
#include "winposix/fail_env.h"
#include "winposix/loader.h"
#include "winposix/old_systems.h"
#include "winrun/faults.h"
#include "winrun/imports.h"
#include "winrun/pe_image.h"
#include "winrun/switch.h"
#include "winrun/thread_block.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <malloc.h>
#include <sys/auxv.h>
#include <unistd.h>

namespace {

// A 32-bit process on 64-bit Windows sees user space up to 2 GiB.
constexpr uintptr_t kUserSpaceEnd = 0x7FFF0000;
constexpr unsigned long kFsGsBase = 2; // AT_HWCAP2

} // namespace

int main(int argc, char** argv) {
  using winrun::Fatal;
  if (argc < 2) {
    fprintf(stderr, "usage: winrun PROGRAM.exe [ARGUMENTS...]\n");
    return 2;
  }
  if ((getauxval(AT_HWCAP2) & kFsGsBase) == 0)
    Fatal("this system does not let programs set the FS base (FSGSBASE)");
  // Every heap block the program receives must lie below 4 GiB: one arena, grown from the
  // runner's data (which lies low) and never by separate mappings.
  mallopt(M_MMAP_MAX, 0);
  mallopt(M_ARENA_MAX, 1);
  winposix::KeepMappingsBelow(kUserSpaceEnd);
  char path[PATH_MAX];
  if (realpath(argv[1], path) == nullptr) Fatal("%s: cannot find the file", argv[1]);
  if (!winrun::BuildStubs() || !winrun::ReserveThreadBlocks())
    Fatal("no memory below 4 GiB for the program");
  winrun::Image image;
  std::string error;
  if (!winrun::LoadImage(path, &image, &error)) Fatal("%s: %s", argv[1], error.c_str());
  winrun::SetImageBase(image.base);
  winposix::SetProgramModule(winrun::Pointer<HINSTANCE__>(image.base), path);
  // The program's own children that are Windows images run through this runner too.
  static char self[PATH_MAX];
  if (realpath("/proc/self/exe", self) != nullptr) winposix::SetImageLoader(self);
  winposix::KeepProcessArguments(argc - 1, argv + 1);
  winposix::ArmFailuresFromEnvironment();
  winposix::ArmSystemFromEnvironment();
  winrun::SetDefaultStack(image.stackReserve);
  winrun::CatchFaults();
  winrun::Thread32 thread;
  if (!winrun::NewThread(image.stackReserve, &thread))
    Fatal("no memory below 4 GiB for the program's stack");
  winrun::AdoptThread(thread);
  ExitProcess(Call32(image.entry, nullptr, 0, thread.Block(), thread.stackTop));
}
