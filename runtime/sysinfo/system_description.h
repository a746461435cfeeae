// One line that names the Windows version, the processors and the environment, e.g.
// "Windows XP 5.1 (2x Pentium 4 Hyper-Threading) Build 2600 [Service Pack 2]".
#pragma once

#include <stdint.h>

// Writes at most size - 1 characters and the terminator into out; returns the terminator's
// position (out itself for size 0, when nothing is written).
char* DescribeSystem(char* out, uint32_t size);

// Wine leaves its registry keys; decided once.
bool IsWine();
// The preinstallation environment has its own control key; asked on every call.
bool IsMiniNT();

// IsWine's cache, plain so that a test can put it back.
struct WineCheckRecord {
  bool Decided;
  bool Present;
};
extern WineCheckRecord WineCheck;

// The start-up step: with the system-description option, the line as a trace line.
void ShowSystemDescription();
