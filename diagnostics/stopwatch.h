// A start time on the steady clock.
#pragma once

#include <cstdint>

#include "diagnostics/clock.h"

namespace wl {

class Stopwatch {
 public:
  // With start set the start time is now, otherwise 0.
  explicit Stopwatch(bool start = true) : startTime_(start ? SteadyNow() : 0) {}
  void Restart() { startTime_ = SteadyNow(); }
  std::int64_t StartTime() const { return startTime_; }
  std::int64_t ElapsedNanoseconds() const { return SteadyNow() - startTime_; }

 private:
  std::int64_t startTime_;
};

}  // namespace wl
