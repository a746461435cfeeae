// The stress test's main: reads its two arguments and hands the mask to the driver.
#include "app/stress.h"
#include "runtime/startup/startup.h"
#include "runtime/diag/console.h"
#include "runtime/text/format.h"
#include "runtime/text/numbers.h"
#include "runtime/text/strings.h"

namespace {

const char kBanner[] = "Calvisto 1.1  Processor power stress test";
const char kAffinityPrefix[] = "-Affinity:";
constexpr uint32_t kAffinityPrefixLength = sizeof kAffinityPrefix - 1;

} // namespace

int main(int argc, char** argv) {
  RegisterInt64Directive();
  PrintMessage("%s\n\n", kBanner);
  uint32_t mask = 1;
  for (int i = 1; i < argc; ++i) {
    const char* arg = argv[i];
    if (arg == nullptr || StrEqual(arg, "-v")) continue; // null: its copy could not be made
    if (StrEqualN(arg, kAffinityPrefix, kAffinityPrefixLength)) {
      mask = static_cast<uint32_t>(ParseUnsigned(arg + kAffinityPrefixLength, nullptr));
      continue;
    }
    PrintError("Unknown command-line argument: '%s'\n", arg);
    PrintMessage("Usage: %s [-Affinity:<n>] [-v]]\n", argv[0]);
    return kExitUnknownArgument;
  }
  return static_cast<int>(RunStress(mask));
}
