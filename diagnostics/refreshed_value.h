// A 32-bit setting cached for the whole process and read again once more
// than a given number of whole seconds have passed since the last read (the
// registry settings: 10, that is 11 seconds or more; the service's global
// level: 60). The last-read time starts at 0 and the steady clock counts from
// the machine's start, so the first Get in a process reads, unless Store
// marked a read first. Any thread; two callers that find the refresh due at
// once both read, which is harmless, and until a first read has ended every
// caller reads, so that none takes the initial 0 for the setting.
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
    bool known = known_.load(std::memory_order_acquire);
    if (!known || (now - lastRead_.load(std::memory_order_relaxed)) / 1'000'000'000 > staleAfterSeconds_) {
      lastRead_.store(now, std::memory_order_relaxed);
      std::optional<std::uint32_t> fresh = read();
      if (fresh) value_.store(*fresh, std::memory_order_relaxed);
      known_.store(true, std::memory_order_release);
      if (fresh) return *fresh;
    }
    return value_.load(std::memory_order_relaxed);
  }

  // The cached value without reading.
  [[nodiscard]] std::uint32_t Peek() const { return value_.load(std::memory_order_relaxed); }

  // Replaces the cached value; with markRead the value counts as read now,
  // so the next read falls due only after the period.
  void Store(std::uint32_t value, bool markRead = false) {
    if (markRead) lastRead_.store(SteadyNow(), std::memory_order_relaxed);
    value_.store(value, std::memory_order_relaxed);
    if (markRead) known_.store(true, std::memory_order_release);
  }

 private:
  const std::int64_t staleAfterSeconds_;
  std::atomic<std::uint32_t> value_{0};
  std::atomic<std::int64_t> lastRead_{0};
  // Set once a read has ended (or Store marked one).
  std::atomic<bool> known_{false};
};

// The period of the registry settings that the library reads again: more
// than 10 whole seconds.
inline constexpr std::int64_t kSettingStaleAfterSeconds = 10;

}  // namespace wl
