// The current time as the start and end lines of a run show it.
#pragma once

#include <stdint.h>

// "hh:mm:ss dd.mm.yyyy" (for example 14:05:09 06.12.2006) of the local time, or of UTC when
// local is false. False when the text had to be cut to size bytes.
bool FormatTimeStamp(char* dst, int32_t size, bool local);

// The same form for given calendar fields.
bool FormatCalendarTime(char* dst, int32_t size, uint32_t hour, uint32_t minute, uint32_t second,
                        uint32_t day, uint32_t month, uint32_t year);
