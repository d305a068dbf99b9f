#include "platform/wall_clock.h"

#include <time.h>

namespace wl::platform {

std::int64_t WallClockMicroseconds() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  return static_cast<std::int64_t>(now.tv_sec) * 1'000'000 + now.tv_nsec / 1000;
}

CivilTime LocalCivilTime(std::int64_t microseconds) {
  std::int64_t seconds = microseconds / 1'000'000;
  std::int64_t fraction = microseconds % 1'000'000;
  if (fraction < 0) {
    fraction += 1'000'000;
    --seconds;
  }
  time_t whole = static_cast<time_t>(seconds);
  tm local{};
  localtime_r(&whole, &local);
  return CivilTime{local.tm_year + 1900,
                   local.tm_mon + 1,
                   local.tm_mday,
                   local.tm_hour,
                   local.tm_min,
                   local.tm_sec,
                   static_cast<int>(fraction),
                   static_cast<int>(local.tm_gmtoff / 60)};
}

}  // namespace wl::platform
