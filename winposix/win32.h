// The one header through which runtime code reaches the Windows API. On Windows it is the
// system's own; elsewhere it is the layer in this folder, which implements the same names over
// POSIX.
#pragma once

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
// The runtime has its own CharUpper; the system's is a macro for CharUpperA.
#undef CharUpper
#else
#include "winposix/api.h"
#endif
