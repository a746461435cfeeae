// The console window's size and place, as the console-window option asks: a value of the form
// [*monitor,]columns,rows where columns and rows may be "max" (rows may then be left out).
#pragma once

#include "winposix/win32.h"

#include <stdint.h>

// Sizes the console's buffer and window and centres the window on the chosen monitor. Nothing
// happens in a GUI program, without the option or with a malformed value.
void SetUpConsoleWindow();

// The console's top-level window, found by a unique temporary title; the old title comes back.
HWND FindOwnConsoleWindow();

// 0 on systems that know only one screen.
uint32_t MonitorCount();

// The whole area of a monitor in virtual-screen coordinates; *out is zero when false.
bool MonitorRect(uint32_t index, RECT* out);
