// The command line split into argument texts, and the runtime options ("-~name[:value]")
// separated from the program's own arguments.
#pragma once

#include <stdint.h>

// Appends the arguments of text to slots from *count on. Blanks and tabs separate arguments
// except inside double quotes; quotes are dropped and there is no escape character. An argument
// beyond capacity is dropped and sets *overflow (when given). All capacity slots are cleared
// first; a failed allocation leaves its slot null.
void SplitArgs(const char* text, char** slots, uint32_t capacity, uint32_t* count, bool* overflow);

// Moves every "-~" argument after Args[0] into the option list, keeping both orders.
void MoveOptions();
