// Whether the program was started by the launcher program, which closes its console window as
// soon as the program ends.
#pragma once

// True when the parent of this process is the launcher: the last process in the system's list
// whose executable carries the launcher's file name (any letter case).
bool StartedFromLauncher();

// The same question for a launcher of the given file name and extension.
bool StartedFromLauncherNamed(const char* launcherName);
