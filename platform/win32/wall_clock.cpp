#include "platform/wall_clock.h"

#include <windows.h>

namespace wl::platform {
namespace {

// 100-nanosecond intervals between 1601-01-01 and 1970-01-01.
constexpr std::int64_t kUnixEpochTicks = 116444736000000000;

std::int64_t TicksOf(const FILETIME& time) {
  return static_cast<std::int64_t>((static_cast<std::uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime);
}

}  // namespace

std::int64_t WallClockMicroseconds() {
  FILETIME now;
  ::GetSystemTimePreciseAsFileTime(&now);
  return (TicksOf(now) - kUnixEpochTicks) / 10;
}

CivilTime LocalCivilTime(std::int64_t microseconds) {
  std::int64_t ticks = microseconds * 10 + kUnixEpochTicks;
  FILETIME utcFile{static_cast<DWORD>(ticks & 0xFFFFFFFF), static_cast<DWORD>(ticks >> 32)};
  SYSTEMTIME utc{};
  SYSTEMTIME local{};
  ::FileTimeToSystemTime(&utcFile, &utc);
  if (!::SystemTimeToTzSpecificLocalTime(nullptr, &utc, &local)) local = utc;
  FILETIME localFile{};
  ::SystemTimeToFileTime(&local, &localFile);
  // Both times are whole milliseconds; the offset is a whole number of minutes.
  std::int64_t offsetTicks = TicksOf(localFile) - (ticks - ticks % 10000);
  return CivilTime{local.wYear,
                   local.wMonth,
                   local.wDay,
                   local.wHour,
                   local.wMinute,
                   local.wSecond,
                   static_cast<int>(microseconds % 1'000'000),
                   static_cast<int>(offsetTicks / 600'000'000)};
}

}  // namespace wl::platform
