// Pinning a thread to processors: SetThreadAffinityMask is missing on Windows 95, so it is found
// by name when wanted.
#pragma once

#include "winposix/win32.h"

typedef DWORD_PTR(WINAPI* SetThreadAffinityMaskFunction)(HANDLE thread, DWORD_PTR mask);

// The system's SetThreadAffinityMask, or null where it is missing.
SetThreadAffinityMaskFunction ResolveSetThreadAffinityMask();
