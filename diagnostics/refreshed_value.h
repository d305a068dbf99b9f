// A 32-bit setting cached for the whole process and read again once more
// than a given number of whole seconds have passed since the last read (the
// registry settings: 10, that is 11 seconds or more; the service's global
// level: 60). The last-read time starts at 0 and the steady clock counts from
// the machine's start, so the first Get in a process reads, unless Store
// marked a read first. Any thread; two callers that find the refresh due at
// once both read, which is harmless.
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>

#include "diagnostics/clock.h"

namespace wl {

class RefreshedValue {
 public:
  explicit RefreshedValue(std::int64_t staleAfterSeconds) : staleAfterSeconds_(staleAfterSeconds) {}

  // The cached value, after reading it again when it is stale: read()
  // returns the new value, or nullopt to keep the cached one.
  template <typename Read>
  std::uint32_t Get(Read&& read) {
    std::int64_t now = SteadyNow();
    if ((now - lastRead_.load(std::memory_order_relaxed)) / 1'000'000'000 > staleAfterSeconds_) {
      lastRead_.store(now, std::memory_order_relaxed);
      if (std::optional<std::uint32_t> fresh = read()) value_.store(*fresh, std::memory_order_relaxed);
    }
    return value_.load(std::memory_order_relaxed);
  }

  // The cached value without reading.
  std::uint32_t Peek() const { return value_.load(std::memory_order_relaxed); }

  // Replaces the cached value; with markRead the value counts as read now,
  // so the next read falls due only after the period.
  void Store(std::uint32_t value, bool markRead = false) {
    if (markRead) lastRead_.store(SteadyNow(), std::memory_order_relaxed);
    value_.store(value, std::memory_order_relaxed);
  }

 private:
  const std::int64_t staleAfterSeconds_;
  std::atomic<std::uint32_t> value_{0};
  std::atomic<std::int64_t> lastRead_{0};
};

// The period of the registry settings that the library reads again: more
// than 10 whole seconds.
inline constexpr std::int64_t kSettingStaleAfterSeconds = 10;

}  // namespace wl
