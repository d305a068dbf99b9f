// Time as the library sees it: the steady nanosecond clock and the local
// time. Both come from the system unless a test installs a ClockSource, which
// lets tests drive the 11-second, 60-second and 5000-millisecond rules and
// the date without waiting.
#pragma once

#include <cstdint>

#include "platform/types.h"

namespace wl {

class ClockSource {
 public:
  virtual ~ClockSource() = default;
  virtual std::int64_t SteadyNanoseconds() = 0;
  virtual LocalTime LocalNow() = 0;
};

// Nanoseconds of the monotonic clock (counts from the machine's start).
std::int64_t SteadyNow();
// The local date and time.
LocalTime LocalNow();

// Installs a clock for the whole process (null restores the system clock).
// The source must outlive its installation.
void SetClockSource(ClockSource* source);

// A clock that tests move by hand. Starts at the given steady time and local
// time; Advance moves both.
class ManualClock : public ClockSource {
 public:
  explicit ManualClock(std::int64_t steadyStart = 1'000'000'000'000, LocalTime local = {});
  std::int64_t SteadyNanoseconds() override;
  LocalTime LocalNow() override;
  void AdvanceNanoseconds(std::int64_t nanoseconds);
  void AdvanceSeconds(std::int64_t seconds) { AdvanceNanoseconds(seconds * 1'000'000'000); }
  void AdvanceMilliseconds(std::int64_t ms) { AdvanceNanoseconds(ms * 1'000'000); }
  void SetLocalTime(const LocalTime& local);

 private:
  std::int64_t steady_;
  LocalTime local_;
};

// Installs a clock for the lifetime of the object.
class ScopedClock {
 public:
  explicit ScopedClock(ClockSource& source) { SetClockSource(&source); }
  ~ScopedClock() { SetClockSource(nullptr); }
  ScopedClock(const ScopedClock&) = delete;
  ScopedClock& operator=(const ScopedClock&) = delete;
};

}  // namespace wl
