// Local time stamp with milliseconds, for trace headers.
#ifndef DORQ_PORT_SLGTD_H
#define DORQ_PORT_SLGTD_H

#include <stdint.h>

// Error record of the time-stamp routines: code 0 means no error.
struct slgtdErr {
  int32_t code;
  int32_t osError;
};

// Time-stamp record, filled by slgtds.
struct slgtdStamp {
  int16_t year;   // four digits
  int16_t month;  // 1 to 12
  int16_t day;
  int16_t hour;
  int16_t minute;
  int16_t second;
  int16_t millisecond;  // 0 to 999
  int16_t microsecond;  // within the millisecond, 0 to 999
};

inline constexpr int32_t kSlgtdClockFailed = 7206;  // gettimeofday failed
inline constexpr int32_t kSlgtdLocalFailed = 7205;  // localtime_r failed

// Fills the record with the current local time and returns it.
slgtdStamp* slgtd(slgtdErr* err, slgtdStamp* stamp);
// Does the work of slgtd; returns the seconds value it converted, 0 on failure
// or when the clock reads exactly the epoch (the date fields then stay unset).
uint32_t slgtds(slgtdErr* err, slgtdStamp* stamp);

#endif  // DORQ_PORT_SLGTD_H
