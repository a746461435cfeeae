// An older Windows arranged from outside a process of the Linux layer, so that a whole program
// (the host program, or calvisto.exe through the runner) meets what that system offers:
//
// CALVISTO_WINDOWS=95|98|Me|NT4 sets the version record and removes what that system lacks:
// the functions and libraries newer than it, the multiple-monitor metrics; 95, 98 and Me stand
// for one processor, whose affinity the process can neither read nor set (95 lacks the setter,
// 98 and Me fail it with ERROR_CALL_NOT_IMPLEMENTED). Any other value changes nothing.
#pragma once

namespace winposix {

// Called once by the process start, before the runtime's entry point.
void ArmSystemFromEnvironment();

} // namespace winposix
