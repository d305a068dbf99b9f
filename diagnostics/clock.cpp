#include "diagnostics/clock.h"

#include <atomic>
#include <mutex>

#include "platform/system.h"

namespace wl {
namespace {

std::atomic<ClockSource*> installedClock{nullptr};

}  // namespace

std::int64_t SteadyNow() {
  ClockSource* source = installedClock.load(std::memory_order_acquire);
  return source != nullptr ? source->SteadyNanoseconds() : platform::SteadyClockNanoseconds();
}

LocalTime LocalNow() {
  ClockSource* source = installedClock.load(std::memory_order_acquire);
  return source != nullptr ? source->LocalNow() : platform::GetLocalTime();
}

void SetClockSource(ClockSource* source) { installedClock.store(source, std::memory_order_release); }

namespace {
// ManualClock is read by background threads while a test moves it.
std::mutex manualClockMutex;
}  // namespace

ManualClock::ManualClock(std::int64_t steadyStart, LocalTime local) : steady_(steadyStart), local_(local) {
  if (local_.year == 0) local_ = LocalTime{2026, 12, 5, 4, 10, 34, 55, 123};
}

std::int64_t ManualClock::SteadyNanoseconds() {
  std::lock_guard lock(manualClockMutex);
  return steady_;
}

LocalTime ManualClock::LocalNow() {
  std::lock_guard lock(manualClockMutex);
  return local_;
}

void ManualClock::AdvanceNanoseconds(std::int64_t nanoseconds) {
  std::lock_guard lock(manualClockMutex);
  steady_ += nanoseconds;
}

void ManualClock::SetLocalTime(const LocalTime& local) {
  std::lock_guard lock(manualClockMutex);
  local_ = local;
}

}  // namespace wl
