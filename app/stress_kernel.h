#pragma once

// The power loop. block: 32 bytes at a 16-byte boundary, four 32-bit words 0xAAAAAAAA followed
// by four words 0x55555555; read only. Needs SSE and the time-stamp counter, and never returns:
// the thread stays in the loop until the process is ended from outside.
extern "C" [[noreturn]] void StressKernel(const void* block);
