#include "runtime/diag/time_stamp.h"

#include "runtime/text/format.h"
#include "winposix/win32.h"

bool FormatCalendarTime(char* dst, int32_t size, uint32_t hour, uint32_t minute, uint32_t second,
                        uint32_t day, uint32_t month, uint32_t year) {
  return FormatString(dst, size, "%02u:%02u:%02u %02u.%02u.%04u", hour, minute, second, day, month,
                      year);
}

bool FormatTimeStamp(char* dst, int32_t size, bool local) {
  SYSTEMTIME now;
  if (local)
    GetLocalTime(&now);
  else
    GetSystemTime(&now);
  return FormatCalendarTime(dst, size, now.wHour, now.wMinute, now.wSecond, now.wDay, now.wMonth,
                            now.wYear);
}
