// The wall clock with microseconds and the local offset from UTC, for time
// stamps that leave the machine (RFC 3339).
#pragma once

#include <cstdint>

namespace wl::platform {

// Microseconds since 1970-01-01 00:00 UTC. Cheap: no time-zone work.
std::int64_t WallClockMicroseconds();

struct CivilTime {
  int year = 0;
  int month = 0;
  int day = 0;
  int hour = 0;
  int minute = 0;
  int second = 0;
  int microsecond = 0;
  // Local time minus UTC at that instant, in minutes (+60 for CET).
  int offsetMinutes = 0;
};

// The local date and time of an instant given as WallClockMicroseconds.
CivilTime LocalCivilTime(std::int64_t microseconds);

}  // namespace wl::platform
