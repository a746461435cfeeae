// Block copies and fills in place of the C library's memcpy, memmove and memset.
#pragma once

#include <stdint.h>

// Copies n bytes forward. The ranges may overlap only with dst below src.
void CopyMem(void* dst, const void* src, uint32_t n);

// Copies n bytes so that overlapping ranges come out right in either direction.
void MoveMem(void* dst, const void* src, uint32_t n);

// Sets n bytes to 0.
void ZeroMem(void* p, uint32_t n);
