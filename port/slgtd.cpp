// Local time stamp.
#include "port/slgtd.h"

#include <errno.h>
#include <sys/time.h>
#include <time.h>

namespace {

constexpr long kMicrosPerMilli = 1000;

}  // namespace

uint32_t slgtds(slgtdErr* err, slgtdStamp* stamp) {
  stamp->millisecond = 0;
  stamp->microsecond = 0;
  err->code = 0;
  timeval now{};
  if (gettimeofday(&now, nullptr) != 0) {
    err->code = kSlgtdClockFailed;
    err->osError = errno;
    return 0;
  }
  stamp->millisecond = static_cast<int16_t>(now.tv_usec / kMicrosPerMilli);
  stamp->microsecond = static_cast<int16_t>(now.tv_usec % kMicrosPerMilli);
  const auto seconds = static_cast<uint32_t>(now.tv_sec);
  if (seconds == 0) {
    return 0;
  }
  const time_t clock = seconds;
  tm local{};
  if (localtime_r(&clock, &local) == nullptr) {
    err->code = kSlgtdLocalFailed;
    err->osError = errno;
    return 0;
  }
  stamp->year = static_cast<int16_t>(local.tm_year + 1900);
  stamp->month = static_cast<int16_t>(local.tm_mon + 1);
  stamp->day = static_cast<int16_t>(local.tm_mday);
  stamp->hour = static_cast<int16_t>(local.tm_hour);
  stamp->minute = static_cast<int16_t>(local.tm_min);
  stamp->second = static_cast<int16_t>(local.tm_sec);
  return seconds;
}

slgtdStamp* slgtd(slgtdErr* err, slgtdStamp* stamp) {
  (void)slgtds(err, stamp);
  return stamp;
}
